#include "korvane/carrowel/cli/user_model.hpp"

#include <tuple>
#include <utility>

#include "korvane/carrowel/trainer/layer_assignment.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
constexpr int kBatchesCompared = 2;

py::object load_callable(const std::string& target) {
  const size_t colon = target.rfind(':');
  const std::string module = target.substr(0, colon), name = target.substr(colon + 1);
  if (module.empty() || name.empty()) throw ValueError("--model expects MODULE:FUNCTION, got '" + target + "'");
  py::object fn = py::module_::import(module.c_str());
  size_t start = 0;  // FUNCTION may be a dotted path inside the module
  while (true) {
    const size_t dot = name.find('.', start);
    fn = fn.attr(name.substr(start, dot - start).c_str());
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (!PyCallable_Check(fn.ptr())) throw TypeError("--model: '" + target + "' is not callable");
  return fn;
}

py::object item_or_none(py::handle mapping, const char* key) {
  py::object get = mapping.attr("get");
  return get(key, py::none());
}

UserStage read_answer(py::object answer, const std::string& target, const LayerAssignment& a) {
  UserStage s;
  py::object layers = answer;
  if (py::isinstance(answer, py::module_::import("collections.abc").attr("Mapping"))) {
    layers = item_or_none(answer, "layers");
    if (layers.is_none()) throw ValueError("--model: the mapping returned by " + target + " has no \"layers\"");
    s.train_data = item_or_none(answer, "train_data");
    s.eval_data = item_or_none(answer, "eval_data");
    s.optimizer = item_or_none(answer, "optimizer");
    s.loss_fn = item_or_none(answer, "loss_fn");
    s.lr_scheduler = item_or_none(answer, "lr_scheduler");
    for (auto [given, what] : {std::pair{s.optimizer, "optimizer"}, std::pair{s.loss_fn, "loss_fn"},
                               std::pair{s.lr_scheduler, "lr_scheduler"}})
      if (!given.is_none() && !PyCallable_Check(given.ptr()))
        throw TypeError("--model: \"" + std::string(what) + "\" of " + target + " is not callable");
    if (!s.lr_scheduler.is_none() && s.optimizer.is_none())
      throw ValueError("--model: " + target + " gives \"lr_scheduler\" without \"optimizer\": plain SGD has no "
                       "schedule to follow");
    py::object count = item_or_none(answer, "eval_batches");
    if (!count.is_none()) s.eval_batches = count.cast<long long>();
    else if (!s.eval_data.is_none() && py::hasattr(s.eval_data, "__len__")) s.eval_batches = py::len(s.eval_data);
  }
  py::object nn = py::module_::import("torch.nn");
  py::list modules;
  for (py::handle layer : layers) {
    if (!py::isinstance(layer, nn.attr("Module")))
      throw TypeError("--model: " + target + " returned a layer that is not an nn.Module");
    modules.append(layer);
  }
  if (static_cast<long long>(py::len(modules)) != a.layer_count())
    throw ValueError("--model: " + target + " returned " + std::to_string(py::len(modules)) +
                     " layers for the slice " + std::to_string(a.layer_start) + "-" + std::to_string(a.layer_end) +
                     " (" + std::to_string(a.layer_count()) + " layers)");
  s.layers = nn.attr("ModuleList")(modules);
  return s;
}

// The first batches of two data sources, element by element (input, then labels).
bool same_first_batches(py::handle one, py::handle two) {
  py::object torch = py::module_::import("torch");
  py::iterator a = py::iter(one), b = py::iter(two);
  for (int i = 0; i < kBatchesCompared; ++i) {
    const bool a_end = a == py::iterator::sentinel(), b_end = b == py::iterator::sentinel();
    if (a_end || b_end) return a_end == b_end;
    py::object x = py::reinterpret_borrow<py::object>(*a), y = py::reinterpret_borrow<py::object>(*b);
    py::list xs, ys;
    if (py::isinstance<py::tuple>(x) || py::isinstance<py::list>(x)) xs = py::list(x); else xs.append(x);
    if (py::isinstance<py::tuple>(y) || py::isinstance<py::list>(y)) ys = py::list(y); else ys.append(y);
    if (py::len(xs) != py::len(ys)) return false;
    for (size_t k = 0; k < py::len(xs); ++k)
      if (!torch.attr("equal")(xs[k], ys[k]).cast<bool>()) return false;
    ++a;
    ++b;
  }
  return true;
}
}  // namespace

UserStage load_user_stage(const std::string& target, py::object assignment) {
  const LayerAssignment& a = assignment.cast<const LayerAssignment&>();
  py::object fn = load_callable(target);
  UserStage s = read_answer(fn(assignment), target, a);
  for (auto [data, what] : {std::pair{s.train_data, "train_data"}, std::pair{s.eval_data, "eval_data"}}) {
    // An iterator is its own __iter__; asked without calling iter(), which would draw a
    // DataLoader's shuffle for its first pass.
    if (!data.is_none() && py::hasattr(data, "__next__"))
      throw TypeError(std::string("--model: ") + what + " of " + target +
                      " is a one-shot iterator; give something that iterates again from its first batch "
                      "(a list, a DataLoader)");
  }
  if ((a.is_first_stage() || a.is_last_stage()) && !(a.is_first_stage() && a.is_last_stage()) &&
      !(s.train_data.is_none() && s.eval_data.is_none())) {
    // Two further answers are compared, so that the first one's data stays unread.
    UserStage one = read_answer(fn(assignment), target, a), again = read_answer(fn(assignment), target, a);
    for (auto [mine, other, what] : {std::tuple{one.train_data, again.train_data, "train_data"},
                                     std::tuple{one.eval_data, again.eval_data, "eval_data"}}) {
      if (mine.is_none() != other.is_none() || (!mine.is_none() && !same_first_batches(mine, other)))
        throw ValueError(std::string("--model: two calls of ") + target + " gave different " + what +
                         ". The first and last stages each call it in their own process and pair inputs "
                         "with labels by order alone, so the data must come out the same every time: "
                         "seed its shuffling (for example DataLoader(..., generator=torch.Generator()"
                         ".manual_seed(0)) created inside the function)");
    }
  }
  return s;
}

}  // namespace korvane::carrowel
