#include "korvane/common/python/translate_errors.hpp"

#include "korvane/common/errors.hpp"

namespace korvane {
namespace py = pybind11;

namespace {
PyObject* python_type_of(const Error& e) {
  if (dynamic_cast<const TypeError*>(&e)) return PyExc_TypeError;
  if (dynamic_cast<const ValueError*>(&e)) return PyExc_ValueError;
  if (dynamic_cast<const KeyError*>(&e)) return PyExc_KeyError;
  if (dynamic_cast<const ImportError*>(&e)) return PyExc_ImportError;
  if (dynamic_cast<const NotImplementedError*>(&e)) return PyExc_NotImplementedError;
  if (dynamic_cast<const ZeroDivisionError*>(&e)) return PyExc_ZeroDivisionError;
  if (dynamic_cast<const AssertionError*>(&e)) return PyExc_AssertionError;
  if (dynamic_cast<const OverflowError*>(&e)) return PyExc_OverflowError;
  if (dynamic_cast<const TimeoutError*>(&e)) return PyExc_TimeoutError;
  if (dynamic_cast<const ConnectionError*>(&e)) return PyExc_ConnectionError;
  return PyExc_RuntimeError;
}

void set_python_error(const Error& e) {
  PyObject* type = python_type_of(e);
  if (type == PyExc_KeyError) {
    // KeyError's str() is the repr of its argument: pass the key itself.
    py::object key = py::str(e.what());
    PyErr_SetObject(type, key.ptr());
  } else {
    PyErr_SetString(type, e.what());
  }
}
}  // namespace

void register_error_translator() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error& e) {
      set_python_error(e);
    }
  });
}

void raise_as_python(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (py::error_already_set&) {
    throw;
  } catch (const Error& e) {
    set_python_error(e);
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "out of memory");
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ error");
  }
  throw py::error_already_set();
}
}  // namespace korvane

namespace korvane {
std::string error_message(std::exception_ptr e) {
  try {
    raise_as_python(e);
  } catch (py::error_already_set& err) {
    return py::str(err.value()).cast<std::string>();
  }
}
}  // namespace korvane
