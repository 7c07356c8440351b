// The service's own log: whole lines on standard output, flushed at once so that a
// supervising process reading the output sees each event as it happens.
#pragma once

#include <string>
#include <string_view>

namespace korvane::coordinator {

void log_line(std::string_view line);

// Client-supplied text made safe for a log line: control characters become '?',
// and very long values are cut.
std::string printable(std::string_view text);

}  // namespace korvane::coordinator
