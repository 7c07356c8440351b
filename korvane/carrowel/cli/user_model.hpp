// --model MODULE:FUNCTION: the caller's own model and data for this stage.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

namespace korvane::carrowel {
namespace py = pybind11;

struct UserStage {
  py::object layers = py::none();      // an nn.ModuleList of this stage's layers
  py::object train_data = py::none();  // first and last stages: (input, labels) batches
  py::object eval_data = py::none();   // held-out batches, same form
  py::object optimizer = py::none();   // optional factory params -> torch.optim optimizer
  py::object loss_fn = py::none();     // optional (output, labels) -> scalar tensor, last stage
  py::object lr_scheduler = py::none();  // optional factory optimizer -> scheduler
  long long eval_batches = 0;          // how many held-out batches every stage forwards
};

// Imports MODULE, calls FUNCTION(assignment) and reads its answer: a sequence of modules,
// or a mapping with "layers" and optionally "train_data", "eval_data", "optimizer",
// "loss_fn", "lr_scheduler", "eval_batches". On first and last stages with data the
// function is called twice more and the first batches of those two answers must be equal:
// the two stages run in different processes and pair inputs with labels only by order, so
// data that is not reproducible would misalign them silently. The first answer's data is
// never read by the check (a DataLoader's first pass would draw its shuffle), so training
// starts on its first batch.
UserStage load_user_stage(const std::string& target, py::object assignment);

}  // namespace korvane::carrowel
