// Progress records for plotting and scraping: with metrics_file set, each training step
// appends one JSON line (step, loss, step time, samples per second, relay bytes), and
// log_metrics adds lines of the caller's own, such as a held-out evaluation. Every line is
// written and flushed on its own, so a reader tailing the file never sees half a record.
#include <pybind11/stl.h>

#include <cmath>

#include "korvane/carrowel/trainer/trainer.hpp"

namespace korvane::carrowel {

void append_metrics_record(const Trainer& t, py::dict record) {
  if (!t.metrics.file) return;
  py::module_ json = py::module_::import("json");
  // NaN and infinities are no JSON; a diverged loss is written as null.
  for (const char* key : {"loss", "step_time_s", "samples_per_s"}) {
    if (!record.contains(key) || record[key].is_none()) continue;
    if (!std::isfinite(py::float_(record[key]).cast<double>())) record[key] = py::none();
  }
  py::str line = json.attr("dumps")(record);
  py::object f = py::module_::import("builtins").attr("open")(*t.metrics.file, "a", py::arg("encoding") = "utf-8");
  try {
    f.attr("write")(line + py::str("\n"));
    f.attr("close")();
  } catch (...) {
    f.attr("close")();
    throw;
  }
}

void bind_metrics_file(TrainerClass& cls) {
  cls.def_property_readonly("metrics_file", [](const Trainer& t) { return t.metrics.file; },
                            "The file each step appends its JSON line to (a str), or None.")
      .def_property_readonly("bytes_sent", [](const Trainer& t) { return t.metrics.bytes_sent; }, "Relay body bytes this trainer has posted.")
      .def_property_readonly("bytes_received", [](const Trainer& t) { return t.metrics.bytes_received; }, "Relay body bytes this trainer has fetched.")
      .def(
          "log_metrics",
          [](py::object self, py::dict record) {
            Trainer& t = Trainer::of(self);
            py::dict line;
            line["trainer_id"] = t.trainer_id;
            line["step"] = t.metrics.steps_recorded - 1;  // the step it follows
            for (auto item : record) line[item.first] = item.second;
            append_metrics_record(t, line);
          },
          py::arg("record"),
          "Appends the record (a dict) as one line of the metrics file, after the latest step; "
          "does nothing without a metrics file.");
}

}  // namespace korvane::carrowel
