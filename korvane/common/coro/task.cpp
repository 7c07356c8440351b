// The frame counter of task.hpp, kept in the Python-free core so that Tasks run (and are
// tested) without an interpreter.
#include "korvane/common/coro/task.hpp"

#include <atomic>

namespace korvane::async {

namespace {
std::atomic<long> g_live_frames{0};
}  // namespace

long FrameCounter::live() noexcept { return g_live_frames.load(); }
void FrameCounter::add(long d) noexcept { g_live_frames += d; }

}  // namespace korvane::async
