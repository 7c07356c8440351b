// Layer provisioning: fetch and deserialise a slice's weights (hooks that fail in this
// system), else fall back to demo layers of width 768; and the memory figure for the join.
#include <exception>

#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::make_op;
using async::Task;

namespace {
constexpr long long kDemoWidth = 768;
constexpr long long kFallbackMemory = 8589934592LL;  // 8 GiB when no GPU can be asked

void require_torch() {
  if (!torch_available()) throw ImportError("PyTorch required for pipeline training");
}

// The text a failed fetch reports in its warning, as str(exc) would give it.
std::string error_text(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (py::error_already_set& err) {
    return py::str(err.value()).cast<std::string>();
  } catch (const std::exception& err) {
    return err.what();
  } catch (...) {
    return "unknown error";
  }
}

// Only ordinary errors fall back to demo layers. Cancellation, KeyboardInterrupt and
// SystemExit are not failures of the fetch and must reach the caller.
bool is_ordinary_error(const std::exception_ptr& e) {
  if (async::is_cancellation(e)) return false;
  try {
    std::rethrow_exception(e);
  } catch (py::error_already_set& err) {
    return err.matches(PyExc_Exception);
  } catch (...) {
    return true;
  }
}

// ZEBTrainableLinear, looked up now (not at import of korvane.carrowel), like
// `from ..zeb_trainable_int8 import ZEBTrainableLinear`: a missing module or a missing
// class is an import error and means "use nn.Linear"; any other error passes on.
py::object int8_layer_class() {
  try {
    py::module_ mod = py::module_::import("korvane.zeb_trainable_int8");
    if (!py::hasattr(mod, "ZEBTrainableLinear")) return py::none();
    return mod.attr("ZEBTrainableLinear");
  } catch (py::error_already_set& err) {
    if (err.matches(PyExc_ImportError)) return py::none();
    throw;
  }
}

Task<py::object> download_layers(py::object self, py::object task_id) {
  require_torch();
  Trainer& t = Trainer::of(self);
  const LayerAssignment& a = t.assignment();
  if (!t.layer_source.is_none()) {
    // The caller's own model (the command line's --model): no download, no demo layers.
    t.model.set_layers(t.layer_source(t.layer_assignment));
    t.model.move_to_device();
    print_line("  Loaded " + std::to_string(t.model.layer_count()) + " layers (" +
               with_thousands(t.model.parameter_count()) + " parameters)");
    co_return py::none();
  }
  print_line("  Downloading layers " + std::to_string(a.layer_start) + "-" + std::to_string(a.layer_end) + "...");

  // Through `self`, so that a subclass or a replaced hook is honoured.
  std::exception_ptr failure;
  try {
    py::object data = co_await await_result(self.attr("_fetch_layer_weights")(task_id));
    t.model.set_layers(self.attr("_deserialize_layers")(data));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (!is_ordinary_error(failure)) std::rethrow_exception(failure);
    print_line("  Warning: Could not fetch layers (" + error_text(failure) + "), creating demo layers...");
    failure = nullptr;  // the Python error object is released here, with the GIL held
    self.attr("_create_demo_layers")();
  }

  t.model.move_to_device();
  print_line("  Loaded " + std::to_string(t.model.layer_count()) + " layers (" + with_thousands(t.model.parameter_count()) +
             " parameters)");
  co_return py::none();
}

Task<py::object> fetch_layer_weights(py::object /*self*/, py::object /*task_id*/) {
  throw NotImplementedError("Implement IPFS/coordinator fetch");
  co_return py::none();
}

py::object deserialize_layers(py::object /*self*/, py::object data) {
  if (!py::isinstance<py::bytes>(data)) raise_argument_type("data", "bytes", data);
  throw NotImplementedError("Implement layer deserialization");
}

void create_demo_layers(py::object self) {
  require_torch();
  Trainer& t = Trainer::of(self);
  const long long count = t.assignment().layer_count();
  py::module_ nn = py::module_::import("torch.nn");
  py::object cls = int8_layer_class();
  if (cls.is_none()) cls = nn.attr("Linear");  // same shape, with bias, torch's own init
  py::list built;
  for (long long i = 0; i < count; ++i) built.append(cls(kDemoWidth, kDemoWidth));
  t.model.set_layers(nn.attr("ModuleList")(built));
}

long long available_memory() {
  if (torch_available()) {
    if (tensors::cuda_available())
      return py::module_::import("torch").attr("cuda").attr("get_device_properties")(0).attr("total_memory").cast<long long>();
  }
  return kFallbackMemory;
}
}  // namespace

void bind_provisioning(TrainerClass& cls) {
  cls.def(
         "_download_layers",
         [](py::object self, py::object task_id) {
           return make_op(download_layers(std::move(self), std::move(task_id)), "_download_layers");
         },
         py::arg("task_id"))
      .def(
          "_fetch_layer_weights",
          [](py::object self, py::object task_id) {
            return make_op(fetch_layer_weights(std::move(self), std::move(task_id)), "_fetch_layer_weights");
          },
          py::arg("task_id"))
      .def("_deserialize_layers", &deserialize_layers, py::arg("data"))
      .def("_create_demo_layers", &create_demo_layers)
      .def("_get_available_memory", [](py::object) { return available_memory(); });
}

}  // namespace korvane::carrowel
