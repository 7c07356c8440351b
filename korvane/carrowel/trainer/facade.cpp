// OrvynPipelineTrainerSync: the trainer for callers without an event loop. Each call runs
// the trainer's operation to completion on a private loop that is never installed as the
// thread's current loop and never closed by the facade.
#include <pybind11/pybind11.h>

#include "korvane/carrowel/trainer/trainer.hpp"

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
  py::class_<TrainerSync>(m, "OrvynPipelineTrainerSync", py::dynamic_attr(),
                          "Blocking facade over OrvynPipelineTrainer with a private event loop.")
      .def(py::init([m](py::args args, py::kwargs kwargs) {
        // The trainer first: a constructor error leaves no facade (and no loop).
        py::object trainer = m.attr("OrvynPipelineTrainer")(*args, **kwargs);
        py::object loop = py::module_::import("asyncio").attr("new_event_loop")();
        return TrainerSync(std::move(trainer), std::move(loop));
      }))
      .def_readonly("_trainer", &TrainerSync::trainer_)
      .def_readonly("_loop", &TrainerSync::loop_)
      .def("_run", &TrainerSync::run, py::arg("coro"))
      .def("join_pipeline",
           [](py::object self, py::object task_id) {
             py::object t = self.cast<TrainerSync&>().trainer_;
             return self.attr("_run")(t.attr("join_pipeline")(task_id));
           },
           py::arg("task_id"))
      .def("run_pipeline_round", [](py::object self, py::kwargs kw) { return forward(self, "run_pipeline_round", kw); })
      .def("run_training_loop", [](py::object self, py::kwargs kw) { return forward(self, "run_training_loop", kw); })
      .def("run_evaluation", [](py::object self, py::kwargs kw) { return forward(self, "run_evaluation", kw); })
      .def_property_readonly("layer_assignment",
                             [](const TrainerSync& s) { return s.trainer_.attr("layer_assignment"); })
      .def_property_readonly("layers", [](const TrainerSync& s) { return s.trainer_.attr("layers"); });
}

}  // namespace korvane::carrowel
