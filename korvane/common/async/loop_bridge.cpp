#include "korvane/common/async/loop_bridge.hpp"

namespace korvane::async {

namespace {
py::object& bridges() {  // loop -> capsule(shared_ptr<LoopBridge>); entries die with their loop
  static py::object* d = new py::object(py::module_::import("weakref").attr("WeakKeyDictionary")());
  return *d;
}
}  // namespace

std::shared_ptr<LoopBridge> LoopBridge::for_loop(py::handle loop) {
  py::object found = bridges().attr("get")(loop);
  if (!found.is_none()) return *static_cast<std::shared_ptr<LoopBridge>*>(found.cast<py::capsule>().get_pointer());
  auto bridge = std::make_shared<LoopBridge>();
  py::capsule holder(new std::shared_ptr<LoopBridge>(bridge),
                     [](void* p) { delete static_cast<std::shared_ptr<LoopBridge>*>(p); });
  std::weak_ptr<LoopBridge> weak = bridge;
  loop.attr("add_reader")(bridge->sink()->fd(), py::cpp_function([weak] {
                            if (auto b = weak.lock()) b->drain();
                          }));
  bridges()[loop] = holder;
  return bridge;
}

void LoopBridge::drain() {
  for (uint64_t id : sink_->drain()) {
    auto it = pending_.find(id);
    if (it == pending_.end()) continue;  // aborted meanwhile
    py::object future = std::move(it->second);
    pending_.erase(it);
    if (!future.attr("done")().cast<bool>()) future.attr("set_result")(py::none());
  }
}

}  // namespace korvane::async
