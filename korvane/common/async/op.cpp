#include "korvane/common/async/op.hpp"

#include <atomic>

#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/loop_bridge.hpp"
#include "korvane/common/http/io_thread.hpp"
#include "korvane/common/python/translate_errors.hpp"

namespace korvane::async {

namespace {
std::atomic<long> g_live_ops{0};
thread_local Op* t_current = nullptr;

struct Asyncio {  // looked up once; never released (no destructors after finalisation)
  py::object get_running_loop, ensure_future, cancelled_error;
  static Asyncio& get() {
    static Asyncio* a = [] {
      auto* a = new Asyncio;
      py::module_ m = py::module_::import("asyncio");
      a->get_running_loop = m.attr("get_running_loop");
      a->ensure_future = m.attr("ensure_future");
      a->cancelled_error = m.attr("CancelledError");
      return a;
    }();
    return *a;
  }
};

// The result of a finished coroutine leaves as StopIteration(value). Building the instance
// ourselves matters: PyErr_SetObject(StopIteration, tuple) would unpack a tuple result.
[[noreturn]] void raise_stop_iteration(py::object value) {
  PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
  if (!e) throw py::error_already_set();
  PyErr_SetObject(PyExc_StopIteration, e);
  Py_DECREF(e);
  throw py::error_already_set();
}
}  // namespace

Op::Op(Task<py::object> task, std::string name) : task_(std::move(task)), name_(std::move(name)) { ++g_live_ops; }
Op::~Op() {
  close();
  --g_live_ops;
}
long Op::live() noexcept { return g_live_ops.load(); }

Op& Op::current() {
  if (!t_current) throw std::logic_error("korvane awaiter used outside a running operation");
  return *t_current;
}

LoopBridge& Op::bridge() {
  if (!bridge_) bridge_ = LoopBridge::for_loop(loop_);
  return *bridge_;
}

void Op::suspend_on(std::coroutine_handle<> h, py::object future, Suspension* s) {
  resume_at_ = h;
  yielded_ = std::move(future);
  suspension_ = s;
}

void Op::suspend_yield(std::coroutine_handle<> h) {
  resume_at_ = h;
  yield_bare_ = true;
}

std::optional<Task<py::object>> Op::take_unstarted() {
  if (state_ != State::Created) return std::nullopt;
  state_ = State::Done;
  return std::move(task_);
}

py::object Op::step(std::coroutine_handle<> h) {
  state_ = State::Running;
  Op* outer = std::exchange(t_current, this);
  auto& next = trampoline_next();
  auto saved = std::exchange(next, h);
  // The trampoline: each resume names the next handle instead of resuming it itself.
  while (auto n = std::exchange(next, {})) n.resume();
  next = saved;
  t_current = outer;

  auto root = task_.handle();
  if (root.done()) {
    state_ = State::Done;
    std::exception_ptr error = root.promise().error;
    py::object value = error ? py::object() : std::move(*root.promise().value);
    task_.reset();  // frames die here, on the loop thread, with the GIL
    loop_ = py::object();
    bridge_.reset();
    if (error) raise_as_python(error);
    raise_stop_iteration(std::move(value));
  }
  state_ = State::Suspended;
  if (std::exchange(yield_bare_, false)) return py::none();  // a bare yield: the Task reschedules us
  if (!yielded_) {
    close();
    throw std::logic_error("operation " + name_ + " suspended without anything to wait for");
  }
  py::object future = std::move(yielded_);
  future.attr("_asyncio_future_blocking") = true;  // what Future.__await__ does before yielding itself
  return future;
}

py::object Op::send(py::handle value) {
  switch (state_) {
    case State::Done:
      throw std::runtime_error("cannot reuse already awaited operation " + name_);
    case State::Running:
      throw py::value_error("operation " + name_ + " is already running");
    case State::Created:
      if (!value.is_none()) throw py::type_error("can't send non-None value to a just-started operation");
      loop_ = Asyncio::get().get_running_loop();  // RuntimeError when driven outside a loop
      return step(task_.handle());
    case State::Suspended:
      break;
  }
  return step(std::exchange(resume_at_, {}));
}

py::object Op::throw_(py::handle type, py::handle value, py::handle /*traceback*/) {
  // asyncio calls throw(exc); `yield from` delegation may call throw(type, value, tb).
  py::object exc;
  if (PyExceptionInstance_Check(type.ptr())) {
    exc = py::reinterpret_borrow<py::object>(type);
  } else if (PyExceptionClass_Check(type.ptr())) {
    if (value.is_none()) exc = type();
    else if (PyExceptionInstance_Check(value.ptr())) exc = py::reinterpret_borrow<py::object>(value);
    else exc = type(value);
  } else {
    throw py::type_error("throw() expects an exception");
  }
  if (state_ == State::Running) throw py::value_error("operation " + name_ + " is already running");
  auto set_error = [&] { PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr()); };
  if (state_ != State::Suspended) {  // not started or finished: behave like a generator
    close();
    set_error();
    throw py::error_already_set();
  }
  if (suspension_) std::exchange(suspension_, nullptr)->abort();  // stop the in-flight I/O first
  yielded_ = py::object();
  set_error();
  injected_ = std::make_exception_ptr(py::error_already_set());  // raised from the leaf's await_resume
  return step(std::exchange(resume_at_, {}));
}

void Op::close() noexcept {
  if (state_ == State::Done) return;
  state_ = State::Done;
  suspension_ = nullptr;
  task_.reset();  // destroys the frame chain; leaf destructors abort their I/O
  yielded_ = py::object();
  loop_ = py::object();
  bridge_.reset();
  injected_ = nullptr;
}

std::string Op::repr() const {
  static const char* names[] = {"created", "suspended", "running", "done"};
  return "<korvane operation " + name_ + " " + names[int(state_)] + ">";
}

bool is_cancellation(std::exception_ptr e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (py::error_already_set& err) {
    return err.matches(Asyncio::get().cancelled_error);
  } catch (...) {
    return false;
  }
}

// ---------------------------------------------------------------- leaf awaiters

void AwaitPy::await_suspend(std::coroutine_handle<> h) {
  op_ = &Op::current();
  aw_ = Asyncio::get().ensure_future(aw_, py::arg("loop") = op_->loop());
  pending_ = true;
  op_->suspend_on(h, aw_, this);
}

py::object AwaitPy::await_resume() {
  op_->resumed(this);
  pending_ = false;
  op_->rethrow_injected();
  return aw_.attr("result")();
}

void AwaitPy::abort() noexcept {
  if (!std::exchange(pending_, false)) return;
  try {
    aw_.attr("cancel")();
  } catch (py::error_already_set&) {
  }
}

namespace {
std::atomic<uint64_t> g_next_exchange_id{1};
}

void IoAwait::await_suspend(std::coroutine_handle<> h) {
  op_ = &Op::current();
  LoopBridge& bridge = op_->bridge();
  py::object future = op_->loop().attr("create_future")();
  ex_->id = g_next_exchange_id++;
  ex_->sink = bridge.sink();
  bridge.expect(ex_->id, future);
  try {
    http::IoThread::instance().submit(ex_);
  } catch (...) {
    bridge.forget(ex_->id);
    throw;  // rethrown at the co_await
  }
  pending_ = true;
  op_->suspend_on(h, std::move(future), this);
}

std::shared_ptr<http::Exchange> IoAwait::await_resume() {
  op_->resumed(this);
  pending_ = false;
  op_->rethrow_injected();
  return std::move(ex_);
}

void IoAwait::abort() noexcept {
  if (!std::exchange(pending_, false)) return;
  http::IoThread::instance().cancel(ex_);
  try {
    op_->bridge().forget(ex_->id);
  } catch (...) {
  }
}

Task<http::Response> http_exchange(http::Request request) {
  auto ex = std::make_shared<http::Exchange>(std::move(request));
  std::shared_ptr<http::Exchange> done = co_await IoAwait(ex);
  co_return done->take_response();
}

Task<void> io_sleep(double seconds) {
  http::Request none("TIMER", "");
  auto ex = std::make_shared<http::Exchange>(std::move(none));
  const double s = seconds > 0 ? seconds : 0.0;
  ex->timer_deadline = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
  co_await IoAwait(ex);
}

Task<py::object> await_result(py::object result) {
  if (py::isinstance<Op>(result)) {
    if (auto task = result.cast<Op&>().take_unstarted()) co_return co_await std::move(*task);
  }
  if (py::hasattr(result, "__await__")) co_return co_await AwaitPy(std::move(result));
  co_return result;
}

// ---------------------------------------------------------------- Python registration

void bind_async(py::module_& m) {
  py::class_<Op>(m, "Operation", "An awaitable operation of korvane (a native coroutine).")
      .def("__await__", [](py::object self) { return self; })
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](Op& op) { return op.send(py::none()); })
      .def("send", &Op::send, py::arg("value"), "Starts or resumes the operation (the coroutine protocol).")
      .def("throw", &Op::throw_, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none(),
           "Raises an exception inside the operation; CancelledError aborts its request.")
      .def("close", &Op::close, "Abandons the operation and releases what it holds.")
      .def("__repr__", &Op::repr);
  // The I/O thread must be gone before the interpreter finalises.
  py::module_::import("atexit").attr("register")(py::cpp_function([] { http::IoThread::instance().shutdown(); }));
}

}  // namespace korvane::async
