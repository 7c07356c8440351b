#include "korvane/carrowel/trainer/checkpoint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "korvane/carrowel/trainer/pipeline_step.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
namespace fs = std::filesystem;

namespace {
constexpr const char* kPrefix = "checkpoint-";
constexpr const char* kSuffix = ".pt";
constexpr const char* kSecretFile = "member_secret";

py::module_ torch() { return py::module_::import("torch"); }

[[noreturn]] void fail_io(const std::string& what, const std::string& path) {
  throw Error("checkpoint: " + what + " " + path + ": " + std::strerror(errno));
}

void fsync_path(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) fail_io("cannot open", path);
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  errno = err;
  if (rc != 0) fail_io("cannot fsync", path);
}

// Renames a finished temporary file into place and makes both durable: the file's data
// before the rename, the directory entry after it.
void publish(const std::string& tmp, const std::string& path, const std::string& dir) {
  fsync_path(tmp, O_RDONLY);
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail_io("cannot rename into", path);
  fsync_path(dir, O_RDONLY | O_DIRECTORY);
}

std::string temp_name(const std::string& dir, const std::string& name) {
  return (fs::path(dir) / ("." + name + ".tmp-" + std::to_string(::getpid()))).string();
}

// The plain layers' parameters in the order update_layers hands them to the optimizer.
py::list plain_parameters(const Trainer& t) {
  py::list params;
  for (py::handle layer : py::list(t.layers)) {
    if (py::hasattr(layer, "update_from_gradient")) continue;
    for (py::handle p : layer.attr("parameters")()) params.append(p);
  }
  return params;
}

// Some torch releases' weights_only loader knows no Python floats, so floats travel as
// float64 scalars: bare where the key says what it is, else wrapped in {"float64": t}.
constexpr const char* kFloatTag = "float64";

py::object float_tensor(double v) {
  return torch().attr("tensor")(v, py::arg("dtype") = torch().attr("float64"));
}

py::object encode_floats(py::handle v) {
  if (py::isinstance<py::float_>(v)) {
    py::dict d;
    d[kFloatTag] = float_tensor(v.cast<double>());
    return d;
  }
  if (py::isinstance<py::dict>(v)) {
    py::dict out;
    for (auto [k, x] : py::reinterpret_borrow<py::dict>(v)) out[k] = encode_floats(x);
    return out;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    py::list out;
    for (py::handle x : v) out.append(encode_floats(x));
    if (py::isinstance<py::tuple>(v)) return py::tuple(out);
    return out;
  }
  return py::reinterpret_borrow<py::object>(v);
}

py::object decode_floats(py::handle v) {
  if (py::isinstance<py::dict>(v)) {
    py::dict d = py::reinterpret_borrow<py::dict>(v);
    if (d.size() == 1 && d.contains(kFloatTag)) return py::float_(py::object(d[kFloatTag]).attr("item")());
    py::dict out;
    for (auto [k, x] : d) out[k] = decode_floats(x);
    return out;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    py::list out;
    for (py::handle x : v) out.append(decode_floats(x));
    if (py::isinstance<py::tuple>(v)) return py::tuple(out);
    return out;
  }
  return py::reinterpret_borrow<py::object>(v);
}

py::dict rng_states() {
  py::dict rng;
  rng["torch"] = torch().attr("get_rng_state")();
  py::object cuda = torch().attr("cuda");
  if (cuda.attr("is_available")().cast<bool>() && cuda.attr("is_initialized")().cast<bool>())
    rng["cuda"] = cuda.attr("get_rng_state_all")();
  rng["python"] = encode_floats(py::module_::import("random").attr("getstate")());  // gauss_next may be a float
  return rng;
}

void set_rng_states(py::dict rng) {
  if (rng.contains("torch")) torch().attr("set_rng_state")(rng["torch"]);
  if (rng.contains("cuda")) torch().attr("cuda").attr("set_rng_state_all")(rng["cuda"]);
  if (rng.contains("python")) {
    // weights_only loading gives lists where getstate() had tuples.
    py::object s = decode_floats(rng["python"]);
    py::object builtins = py::module_::import("builtins");
    py::list parts(s);
    py::object state = py::make_tuple(parts[0], builtins.attr("tuple")(parts[1]), parts[2]);
    py::module_::import("random").attr("setstate")(state);
  }
}

void write_secret(const std::string& dir, const std::string& secret) {
  const std::string path = (fs::path(dir) / kSecretFile).string();
  if (auto old = read_member_secret(dir); old && *old == secret) return;
  const std::string tmp = temp_name(dir, kSecretFile);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) fail_io("cannot create", tmp);
  bool ok = ::fchmod(fd, 0600) == 0;  // whatever the umask left
  size_t done = 0;
  while (ok && done < secret.size()) {
    const ssize_t n = ::write(fd, secret.data() + done, secret.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  const int err = errno;
  ::close(fd);
  errno = err;
  if (!ok) {
    ::unlink(tmp.c_str());
    fail_io("cannot write", tmp);
  }
  publish(tmp, path, dir);
}
}  // namespace

std::string checkpoint_path(const std::string& dir, long long step) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%08lld%s", kPrefix, step, kSuffix);
  return (fs::path(dir) / name).string();
}

std::vector<long long> checkpoint_steps(const std::string& dir) {
  std::vector<long long> steps;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::string pre = kPrefix, suf = kSuffix;
    if (name.size() <= pre.size() + suf.size() || name.rfind(pre, 0) != 0 ||
        name.compare(name.size() - suf.size(), suf.size(), suf) != 0)
      continue;
    const std::string digits = name.substr(pre.size(), name.size() - pre.size() - suf.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    steps.push_back(std::stoll(digits));
  }
  std::sort(steps.begin(), steps.end());
  return steps;
}

void save_checkpoint(Trainer& t, const LoopPosition& pos) {
  const std::string dir = *t.checkpoint_dir;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Error("checkpoint: cannot create directory " + dir + ": " + ec.message());
  if (t.member_secret) write_secret(dir, *t.member_secret);

  py::dict state;
  state["layers"] = t.layers.attr("state_dict")();
  state["micro_batch_idx"] = t.micro_batch_idx;
  state["step"] = pos.step;
  state["last_loss"] = t.last_loss ? float_tensor(*t.last_loss) : py::object(py::none());
  state["batches_drawn"] = pos.batches_drawn;
  state["source_spent"] = pos.source_spent;
  state["losses"] = torch().attr("tensor")(pos.losses, py::arg("dtype") = torch().attr("float64"));
  state["optimizer"] = t.plain_optimizer.is_none() ? py::object(py::none())
                                                   : encode_floats(t.plain_optimizer.attr("state_dict")());
  py::dict counters;  // per-layer counters that live outside the state_dict
  py::list layers(t.layers);
  for (size_t i = 0; i < layers.size(); ++i)
    if (py::hasattr(layers[i], "update_count")) counters[py::str(std::to_string(i))] = layers[i].attr("update_count");
  state["layer_counters"] = counters;
  state["rng"] = rng_states();

  const std::string path = checkpoint_path(dir, pos.step);
  const std::string tmp = temp_name(dir, fs::path(path).filename().string());
  try {
    torch().attr("save")(state, tmp);
    publish(tmp, path, dir);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  std::vector<long long> steps = checkpoint_steps(dir);
  for (size_t i = 0; i + 2 < steps.size(); ++i) fs::remove(checkpoint_path(dir, steps[i]), ec);
}

LoopPosition restore_checkpoint(Trainer& t, long long step) {
  const std::string path = checkpoint_path(*t.checkpoint_dir, step);
  if (!fs::exists(path)) throw Error("checkpoint: no checkpoint of step " + std::to_string(step) + " in " + *t.checkpoint_dir);
  py::dict state = torch().attr("load")(path, py::arg("map_location") = t.device, py::arg("weights_only") = true);
  for (const char* key : {"layers", "micro_batch_idx", "step"})
    if (!state.contains(key)) throw ValueError("checkpoint " + path + " lacks '" + key + "'");

  discard_pending(t.layers);  // nothing of an unfinished step survives a roll-back
  t.stage_tape = py::none();
  t.layers.attr("load_state_dict")(state["layers"]);
  py::list layers(t.layers);
  if (state.contains("layer_counters")) {
    py::dict counters = state["layer_counters"];
    for (size_t i = 0; i < layers.size(); ++i) {
      py::str key(std::to_string(i));
      if (counters.contains(key)) layers[i].attr("update_count") = counters[key];
    }
  }
  // Gradients a plain layer summed in an unfinished step belong to the abandoned future.
  for (py::handle p : t.layers.attr("parameters")()) p.attr("grad") = py::none();

  py::object opt = state.contains("optimizer") ? py::object(state["optimizer"]) : py::object(py::none());
  if (!opt.is_none() && !t.optimizer.is_none()) {
    py::list params = plain_parameters(t);
    t.plain_optimizer = t.optimizer(params);
    t.plain_params = params;
    t.plain_optimizer.attr("load_state_dict")(decode_floats(opt));
  } else {
    t.plain_optimizer = py::none();  // built afresh at the next update, as it was then
    t.plain_params = py::none();
  }

  t.micro_batch_idx = state["micro_batch_idx"].cast<long long>();
  py::object last = state.contains("last_loss") ? py::object(state["last_loss"]) : py::object(py::none());
  t.last_loss = last.is_none() ? std::nullopt : std::optional<double>(last.attr("item")().cast<double>());
  if (state.contains("rng")) set_rng_states(state["rng"]);

  LoopPosition pos;
  pos.step = state["step"].cast<long long>();
  if (state.contains("batches_drawn")) pos.batches_drawn = state["batches_drawn"].cast<long long>();
  if (state.contains("source_spent")) pos.source_spent = state["source_spent"].cast<bool>();
  if (state.contains("losses")) pos.losses = py::list(py::object(state["losses"]).attr("tolist")());
  return pos;
}

void drop_checkpoints_after(const std::string& dir, long long step) {
  std::error_code ec;
  for (long long s : checkpoint_steps(dir))
    if (s > step) fs::remove(checkpoint_path(dir, s), ec);
}

std::optional<std::string> read_member_secret(const std::string& dir) {
  const std::string path = (fs::path(dir) / kSecretFile).string();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::string out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out.size() < 4096) out.append(buf, n);
  std::fclose(f);
  return out;
}

}  // namespace korvane::carrowel
