// One LoopBridge per asyncio event loop: it watches the loop's CompletionSink eventfd
// (loop.add_reader) and completes the future of each finished exchange on the loop
// thread. The I/O thread never touches Python, and call_soon_threadsafe is not used.
#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "korvane/common/http/exchange.hpp"

namespace korvane::async {
namespace py = pybind11;

class LoopBridge {
 public:
  static std::shared_ptr<LoopBridge> for_loop(py::handle loop);

  const std::shared_ptr<http::CompletionSink>& sink() const { return sink_; }
  void expect(uint64_t id, py::object future) { pending_.emplace(id, std::move(future)); }
  void forget(uint64_t id) { pending_.erase(id); }
  void drain();

 private:
  std::shared_ptr<http::CompletionSink> sink_ = std::make_shared<http::CompletionSink>();
  std::unordered_map<uint64_t, py::object> pending_;  // id -> asyncio.Future; loop thread only
};

}  // namespace korvane::async
