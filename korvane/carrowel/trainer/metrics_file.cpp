// Progress records for plotting and scraping: with metrics_file set, each training step
// appends one JSON line (training::StepRecord), and log_metrics adds lines of the
// caller's own, such as a held-out evaluation.
#include "korvane/carrowel/trainer/metrics_file.hpp"

#include <pybind11/stl.h>

#include <cerrno>
#include <system_error>

#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"

namespace korvane::carrowel {
using nlohmann::ordered_json;

namespace {
constexpr int kMaxDepth = 64;

std::string key_text(py::handle key) {
  if (py::isinstance<py::str>(key)) return key.cast<std::string>();
  if (key.is_none()) return "null";
  if (py::isinstance<py::bool_>(key)) return key.cast<bool>() ? "true" : "false";
  if (py::isinstance<py::int_>(key)) return py::str(key).cast<std::string>();
  if (py::isinstance<py::float_>(key)) return float_repr(key.cast<double>());
  throw TypeError("keys must be str, int, float, bool or None, not " + python_type_name(key));
}

// An int beyond 64 bits has no exact JSON number here; it keeps its magnitude as a double.
ordered_json integer(py::handle v) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (!overflow) return value;
  if (overflow > 0) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(v.ptr());
    if (!PyErr_Occurred()) return u;
    PyErr_Clear();
  }
  const double d = PyLong_AsDouble(v.ptr());
  if (PyErr_Occurred()) throw py::error_already_set();
  return d;
}

ordered_json convert(py::handle v, int depth) {
  if (depth > kMaxDepth) throw ValueError("Circular reference detected");
  if (v.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>();
  if (py::isinstance<py::int_>(v)) return integer(v);
  if (py::isinstance<py::float_>(v)) return v.cast<double>();
  if (py::isinstance<py::str>(v)) return v.cast<std::string>();
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    ordered_json out = ordered_json::array();
    for (py::handle item : v) out.push_back(convert(item, depth + 1));
    return out;
  }
  if (py::isinstance<py::dict>(v)) {
    ordered_json out = ordered_json::object();
    for (auto [key, item] : py::reinterpret_borrow<py::dict>(v)) out[key_text(key)] = convert(item, depth + 1);
    return out;
  }
  throw TypeError("Object of type " + python_type_name(v) + " is not JSON serializable");
}
}  // namespace

ordered_json json_of(py::handle value) { return convert(value, 0); }

void append_metrics_record(const Trainer& t, const ordered_json& record) {
  if (!t.metrics.file) return;
  try {
    t.metrics.file->append(record);
  } catch (const std::system_error& e) {
    errno = e.code().value();
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, t.metrics.file->path().c_str());
    throw py::error_already_set();
  }
}

void bind_metrics_file(TrainerClass& cls) {
  cls.def_property_readonly(
         "metrics_file",
         [](const Trainer& t) -> std::optional<std::string> {
           if (!t.metrics.file) return std::nullopt;
           return t.metrics.file->path();
         },
         "The file each step appends its JSON line to (a str), or None.")
      .def_property_readonly("bytes_sent", [](const Trainer& t) { return t.metrics.steps.bytes_sent(); },
                             "Relay body bytes this trainer has posted.")
      .def_property_readonly("bytes_received", [](const Trainer& t) { return t.metrics.steps.bytes_received(); },
                             "Relay body bytes this trainer has fetched.")
      .def(
          "log_metrics",
          [](const Trainer& t, py::dict record) {
            if (!t.metrics.file) return;
            ordered_json line;
            line["trainer_id"] = t.trainer_id;
            line["step"] = t.metrics.steps.latest_step();  // the step it follows
            for (auto [key, value] : record) line[key_text(key)] = json_of(value);
            append_metrics_record(t, line);
          },
          py::arg("record"),
          "Appends the record (a dict) as one line of the metrics file, after the latest step; "
          "does nothing without a metrics file.");
}

}  // namespace korvane::carrowel
