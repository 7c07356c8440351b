// Private operations for the test suite: they exercise the asyncio bridge on its own
// (suspension on the I/O thread, error types through nested frames, long await chains)
// and report live native objects so tests can prove nothing leaks.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "korvane/carrowel/bindings.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/http/io_thread.hpp"

namespace korvane::carrowel {
using namespace korvane::async;

namespace {
Task<double> sleep_then(double seconds, double value) {
  co_await io_sleep(seconds);
  co_return value;
}

[[noreturn]] void throw_kind(const std::string& kind, py::object callback) {
  if (kind == "type") throw TypeError("bad type");
  if (kind == "value") throw ValueError("bad value");
  if (kind == "import") throw ImportError("no module");
  if (kind == "key") throw KeyError("missing");
  if (kind == "timeout") throw TimeoutError("timed out");
  if (kind == "connection") throw ConnectionError("refused");
  if (kind == "runtime") throw Error("plain failure");
  if (kind == "std") throw std::out_of_range("index");
  if (kind == "python") {
    callback();
    throw Error("callback did not raise");
  }
  throw ValueError("unknown kind " + kind);
}

Task<long> fail_at_depth(std::string kind, int depth, py::object callback) {
  co_await YieldNow{};
  if (depth == 0) throw_kind(kind, callback);
  long r = co_await fail_at_depth(kind, depth - 1, callback);
  co_return r + 1;
}

Task<long> ready_child(long i) { co_return i; }
Task<long> chain(long n) {
  long sum = 0;
  for (long i = 0; i < n; ++i) sum += co_await ready_child(i);
  co_return sum;
}

Task<py::object> get(std::string url, double timeout) {
  http::Request req("GET", std::move(url));
  req.timeout_s = timeout;
  http::Response r = co_await http_exchange(std::move(req));
  co_return py::make_tuple(r.status, py::bytes(r.body));
}

Task<py::object> await_any(py::object awaitable) { co_return co_await await_result(std::move(awaitable)); }
}  // namespace

void bind_testing(py::module_& m) {
  m.def("sleep", [](double seconds, double value) { return make_op(sleep_then(seconds, value), "sleep"); },
        py::arg("seconds"), py::arg("value") = 0.0);
  m.def("fail", [](std::string kind, int depth, py::object cb) { return make_op(fail_at_depth(kind, depth, cb), "fail"); },
        py::arg("kind"), py::arg("depth") = 0, py::arg("callback") = py::none());
  m.def("chain", [](long n) { return make_op(chain(n), "chain"); });
  m.def("get", [](std::string url, double timeout) { return make_op(get(std::move(url), timeout), "get"); },
        py::arg("url"), py::arg("timeout") = 30.0);
  m.def("await_any", [](py::object aw) { return make_op(await_any(std::move(aw)), "await_any"); });
  m.def("stats", [] {
    py::dict d;
    d["frames"] = FrameCounter::live();
    d["operations"] = Op::live();
    d["exchanges"] = http::Exchange::live();
    d["io_active"] = http::IoThread::instance().active();
    return d;
  });
}
}  // namespace korvane::carrowel
