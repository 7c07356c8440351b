// The Python side of the progress records: a value a caller gives (an evaluation, a
// record of log_metrics) as the JSON that json.dumps would write, and the append that
// raises the OSError Python's own open() would (FileNotFoundError for a missing folder).
// Thread: the event-loop thread, with the GIL.
#pragma once
#include <pybind11/pybind11.h>

#include <nlohmann/json.hpp>

#include "korvane/carrowel/trainer/trainer.hpp"

namespace korvane::carrowel {

// None, bool, int, float, str, and lists, tuples and dicts of them; TypeError for the
// rest, as json.dumps words it. Keys are written as json.dumps writes them.
nlohmann::ordered_json json_of(py::handle value);

// Appends `record` as one line of the trainer's metrics file; nothing without one.
void append_metrics_record(const Trainer& t, const nlohmann::ordered_json& record);

}  // namespace korvane::carrowel
