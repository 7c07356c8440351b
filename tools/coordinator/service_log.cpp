#include "tools/coordinator/service_log.hpp"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace korvane::coordinator {

void log_line(std::string_view line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string printable(std::string_view text) {
  constexpr std::size_t kMax = 120;
  std::string out;
  out.reserve(std::min(text.size(), kMax + 3));
  for (unsigned char c : text.substr(0, kMax)) out.push_back(c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c));
  if (text.size() > kMax) out += "...";
  return out;
}

}  // namespace korvane::coordinator
