// OrvynPipelineTrainerSync: the trainer for callers without an event loop. Each call runs
// the trainer's operation to completion on a private loop that is never installed as the
// thread's current loop and never closed by the facade.
#include <pybind11/pybind11.h>

#include <stdexcept>

#include "korvane/carrowel/facade/bindings.hpp"
#include "korvane/common/python/signatures.hpp"

namespace korvane::carrowel {

namespace {
class TrainerSync {
 public:
  TrainerSync(py::object trainer, py::object loop) : trainer_(std::move(trainer)), loop_(std::move(loop)) {}

  // Runs one awaitable to completion. If the wait is interrupted (KeyboardInterrupt), the
  // operation is cancelled and run until it has unwound, so nothing stays pending on the
  // loop and its I/O is released.
  py::object run(py::object awaitable) {
    py::object asyncio = py::module_::import("asyncio");
    py::object future = asyncio.attr("ensure_future")(awaitable, py::arg("loop") = loop_);
    try {
      return loop_.attr("run_until_complete")(future);
    } catch (py::error_already_set&) {
      if (!future.attr("done")().cast<bool>()) {
        future.attr("cancel")();
        loop_.attr("run_until_complete")(asyncio.attr("gather")(future, py::arg("return_exceptions") = true));
      }
      throw;
    }
  }

  py::object trainer_;
  py::object loop_;
};

// Only named arguments are forwarded; pybind11 refuses positional ones with a TypeError
// before anything runs.
py::object forward(py::object self, const char* op, py::kwargs kwargs) {
  TrainerSync& s = self.cast<TrainerSync&>();
  py::object awaitable = s.trainer_.attr(op)(**kwargs);
  return self.attr("_run")(awaitable);
}
}  // namespace

void bind_facade(py::module_& m) {
  // The constructor and the two keyword-only calls forward their arguments unchanged, so
  // whatever the trainer accepts the facade accepts; mirror_trainer_signatures shows them.
  py::class_<TrainerSync>(m, "OrvynPipelineTrainerSync", py::dynamic_attr(),
                          "Blocking facade over OrvynPipelineTrainer: every call runs the trainer's operation\n"
                          "to completion on a private event loop. Takes the trainer's constructor arguments.")
      .def(py::init([m](py::args args, py::kwargs kwargs) {
             // The trainer first: a constructor error leaves no facade (and no loop).
             py::object trainer = m.attr("OrvynPipelineTrainer")(*args, **kwargs);
             py::object loop = py::module_::import("asyncio").attr("new_event_loop")();
             return TrainerSync(std::move(trainer), std::move(loop));
           }),
           "Builds the OrvynPipelineTrainer from the same arguments, then the private loop.")
      .def_readonly("_trainer", &TrainerSync::trainer_, "The wrapped OrvynPipelineTrainer.")
      .def_readonly("_loop", &TrainerSync::loop_, "The private event loop (never closed by the facade).")
      .def("_run", &TrainerSync::run, py::arg("coro"), "Runs an awaitable to completion on the private loop.")
      .def("join_pipeline",
           [](py::object self, py::object task_id) {
             py::object t = self.cast<TrainerSync&>().trainer_;
             return self.attr("_run")(t.attr("join_pipeline")(task_id));
           },
           py::arg("task_id"), "Joins the pipeline task and returns the LayerAssignment (blocking).")
      .def("leave_pipeline",
           [](py::object self) {
             py::object t = self.cast<TrainerSync&>().trainer_;
             return self.attr("_run")(t.attr("leave_pipeline")());
           },
           "Tells the coordinator that this trainer's run is over (blocking, best effort).")
      .def("run_pipeline_round", [](py::object self, py::kwargs kw) { return forward(self, "run_pipeline_round", kw); },
           "One training round with the trainer's keyword arguments; returns the loss or None (blocking).")
      .def("run_training_loop", [](py::object self, py::kwargs kw) { return forward(self, "run_training_loop", kw); },
           "The training loop with the trainer's keyword arguments; returns the metrics dict (blocking).")
      .def("run_evaluation", [](py::object self, py::kwargs kw) { return forward(self, "run_evaluation", kw); },
           "A held-out pass through the pipeline with the trainer's keyword arguments; returns its metrics (blocking).")
      .def_property_readonly("layer_assignment",
                             [](const TrainerSync& s) { return s.trainer_.attr("layer_assignment"); },
                             "The trainer's LayerAssignment, or None before joining.")
      .def_property_readonly("layers", [](const TrainerSync& s) { return s.trainer_.attr("layers"); },
                             "The trainer's layers (the very same list object).");
}

void mirror_trainer_signatures(py::module_& m) try {
  using python::signature_of;
  py::object trainer = m.attr("OrvynPipelineTrainer");
  py::object facade = m.attr("OrvynPipelineTrainerSync");
  py::dict members = facade.attr("__dict__");
  const auto init = signature_of(trainer.attr("__dict__")["__init__"]);
  python::set_signature(members["__init__"], init);
  python::set_class_signature(facade, init);
  for (const char* op : {"run_pipeline_round", "run_training_loop", "run_evaluation"})
    python::set_signature(members[op], python::keyword_only_after_self(signature_of(trainer.attr(op))));
} catch (const std::logic_error&) {
  // A pybind11 whose docstrings we cannot read: the facade keeps its own (*args, **kwargs).
}

}  // namespace korvane::carrowel
