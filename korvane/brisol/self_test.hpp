#pragma once

namespace korvane::brisol {
// The `python3 -m korvane.brisol` report. Returns the exit status; errors propagate.
int self_test();
}  // namespace korvane::brisol
