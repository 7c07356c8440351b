// Python face of compression: the CompressedTensor type (the C++ record itself, so C++
// callers share it through py::cast), its conversions from the array-likes users hand in,
// and the module functions. The logic lives in the core and in tensor_compression.cpp.
#include <pybind11/pybind11.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "korvane/carrowel/compression/bindings.hpp"
#include "korvane/carrowel/compression/half.hpp"
#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"

namespace korvane::carrowel {
namespace {
using compression::double_to_half;
using compression::half_to_float;

std::string type_name(py::handle o) { return Py_TYPE(o.ptr())->tp_name; }

long long as_integer(py::handle o, const char* what) {
  if (!PyIndex_Check(o.ptr())) throw TypeError(std::string(what) + " must be an integer, got " + type_name(o));
  auto index = py::reinterpret_steal<py::object>(PyNumber_Index(o.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow) throw ValueError(std::string(what) + " " + py::str(index).cast<std::string>() + " does not fit in 64 bits");
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

bool as_bool(py::handle o, const char* what) {
  py::detail::make_caster<bool> caster;
  if (!caster.load(o, true)) throw TypeError(std::string(what) + " must be a bool, got " + type_name(o));
  return static_cast<bool>(caster);
}

std::vector<std::int64_t> as_shape(py::handle o) {
  if (PyUnicode_Check(o.ptr()) || PyBytes_Check(o.ptr()) || !py::isinstance<py::iterable>(o))
    throw TypeError("shape must be a list of integers, got " + type_name(o));
  std::vector<std::int64_t> shape;
  for (py::handle d : py::reinterpret_borrow<py::iterable>(o)) shape.push_back(as_integer(d, "a dimension of shape"));
  return shape;
}

// numpy.frombuffer when numpy imports, else None: arrays fall back to memoryviews.
py::handle numpy_frombuffer() {
  static PyObject* fn = [] {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) {
      PyErr_Clear();
      Py_INCREF(Py_None);
      return Py_None;
    }
    PyObject* f = PyObject_GetAttrString(numpy, "frombuffer");
    Py_DECREF(numpy);
    if (!f) throw py::error_already_set();
    return f;  // kept for the life of the process
  }();
  return fn;
}

// A read-only array over a copy of the field: changes go through the setters, and a view
// of the record's own memory could outlive a reassignment of the field.
py::object scales_array(const CompressedTensor& c) {
  py::bytes raw(reinterpret_cast<const char*>(c.scales.data()), 2 * c.scales.size());
  py::handle frombuffer = numpy_frombuffer();
  if (!frombuffer.is_none()) return frombuffer(raw, py::arg("dtype") = "float16");
  return py::memoryview(raw).attr("cast")("H");  // the binary16 bit patterns
}

py::object signs_array(const CompressedTensor& c) {
  py::bytes raw(reinterpret_cast<const char*>(c.signs.data()), c.signs.size());
  py::handle frombuffer = numpy_frombuffer();
  if (!frombuffer.is_none()) return frombuffer(raw, py::arg("dtype") = "uint8");
  return py::memoryview(raw);
}

// A torch tensor becomes a numpy array (or a list without numpy) on the host.
py::object untorch(py::handle o) {
  const auto* backend = compression::tensor_backend();
  if (!backend || !backend->is_tensor(o.ptr())) return py::reinterpret_borrow<py::object>(o);
  py::object t = o.attr("detach")().attr("cpu")();
  if (py::str(t.attr("dtype")).cast<std::string>() == "torch.bfloat16") t = t.attr("float")();
  if (numpy_frombuffer().is_none()) return t.attr("tolist")();
  return t.attr("numpy")();
}

bool is_raw_bytes(py::handle o) {
  if (PyBytes_Check(o.ptr()) || PyByteArray_Check(o.ptr())) return true;
  if (!PyMemoryView_Check(o.ptr())) return false;
  const char* f = PyMemoryView_GET_BUFFER(o.ptr())->format;
  return f == nullptr || !std::strcmp(f, "B") || !std::strcmp(f, "b") || !std::strcmp(f, "c");
}

// The bytes of a bytes, bytearray or memoryview (copied: the object may change later).
std::string raw_bytes(py::handle o) {
  Py_buffer view;
  if (PyObject_GetBuffer(o.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
  std::string out(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return out;
}

// The elements of a one-dimensional buffer (numpy arrays and the like), any byte order.
class Elements {
 public:
  Elements(py::handle o, const char* field) : field_(field) {
    if (PyObject_GetBuffer(o.ptr(), &view_, PyBUF_RECORDS_RO) != 0) throw py::error_already_set();
    if (view_.ndim != 1) {
      PyBuffer_Release(&view_);
      throw ValueError(std::string(field) + " must be one-dimensional, got " + std::to_string(view_.ndim) +
                       " dimensions");
    }
    const char* f = view_.format ? view_.format : "B";
    swap_ = false;
    if (*f == '<' || *f == '>' || *f == '!' || *f == '=' || *f == '@') {
      swap_ = (*f == '<') != (std::endian::native == std::endian::little) && *f != '=' && *f != '@';
      ++f;
    }
    code_ = f[0];
    if (f[0] == '\0' || f[1] != '\0') code_ = '\0';
  }
  ~Elements() { PyBuffer_Release(&view_); }
  Elements(const Elements&) = delete;
  Elements& operator=(const Elements&) = delete;

  std::size_t size() const { return static_cast<std::size_t>(view_.shape[0]); }
  char code() const { return code_; }
  bool is_float() const { return code_ == 'e' || code_ == 'f' || code_ == 'd'; }
  bool is_integer() const { return std::strchr("bBhHiIlLqQnN?", code_) != nullptr && code_ != '\0'; }

  std::uint64_t raw(std::size_t i) const {
    const auto* p = static_cast<const unsigned char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
    std::uint64_t v = 0;
    const auto n = static_cast<std::size_t>(view_.itemsize);
    unsigned char b[8] = {};
    std::memcpy(b, p, n);
    if (swap_) std::reverse(b, b + n);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&v, b, n);
    } else {
      std::memcpy(reinterpret_cast<unsigned char*>(&v) + (8 - n), b, n);
    }
    return v;
  }
  double as_double(std::size_t i) const {
    const std::uint64_t v = raw(i);
    switch (code_) {
      case 'e': return half_to_float(static_cast<std::uint16_t>(v));
      case 'f': return std::bit_cast<float>(static_cast<std::uint32_t>(v));
      case 'd': return std::bit_cast<double>(v);
      default: return static_cast<double>(as_integer(i));
    }
  }
  // Integer elements, sign-extended for the signed codes.
  long double as_integer(std::size_t i) const {
    const std::uint64_t v = raw(i);
    const unsigned bits = 8 * static_cast<unsigned>(view_.itemsize);
    const bool is_signed = std::strchr("bhilqn", code_) != nullptr;
    if (is_signed && bits < 64 && (v >> (bits - 1)) & 1) return static_cast<long double>(v) - std::ldexp(1.0L, bits);
    if (is_signed && bits == 64) return static_cast<long double>(static_cast<std::int64_t>(v));
    return static_cast<long double>(v);
  }
  void check_supported() const {
    if (!is_float() && !is_integer() && view_.itemsize <= 8)
      throw TypeError(std::string(field_) + ": unsupported element type '" + (view_.format ? view_.format : "") + "'");
    if (view_.itemsize > 8) throw TypeError(std::string(field_) + ": unsupported element size");
  }

 private:
  Py_buffer view_{};
  const char* field_;
  bool swap_ = false;
  char code_ = '\0';
};

std::vector<std::uint16_t> as_scales(py::handle input) {
  py::object o = untorch(input);
  std::vector<std::uint16_t> out;
  if (is_raw_bytes(o)) {  // little-endian binary16, as in the byte form
    const std::string raw = raw_bytes(o);
    if (raw.size() % 2) throw ValueError("scales given as bytes need 2 bytes per binary16 value, got " +
                                         std::to_string(raw.size()) + " bytes");
    out.resize(raw.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                          static_cast<unsigned char>(raw[2 * i + 1]) << 8);
    return out;
  }
  if (PyObject_CheckBuffer(o.ptr())) {
    Elements e(o, "scales");
    e.check_supported();
    out.resize(e.size());
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = e.code() == 'e' ? static_cast<std::uint16_t>(e.raw(i)) : double_to_half(e.as_double(i));
    return out;
  }
  if (!PyList_Check(o.ptr()) && !PyTuple_Check(o.ptr()))
    throw TypeError("scales must be an array, list or bytes of binary16 values, got " + type_name(o));
  for (py::handle v : py::reinterpret_borrow<py::sequence>(o)) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      throw TypeError("scales must hold numbers, got " + type_name(v));
    }
    out.push_back(double_to_half(d));
  }
  return out;
}

std::vector<std::uint8_t> as_signs(py::handle input) {
  py::object o = untorch(input);
  if (is_raw_bytes(o)) {
    const std::string raw = raw_bytes(o);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
  }
  std::vector<std::uint8_t> out;
  auto put = [&](long double v) {
    if (!(v >= 0 && v <= 255)) throw ValueError("signs must hold byte values 0..255, got " + std::to_string(static_cast<long long>(v)));
    out.push_back(static_cast<std::uint8_t>(v));
  };
  if (PyObject_CheckBuffer(o.ptr())) {
    Elements e(o, "signs");
    e.check_supported();
    if (!e.is_integer()) throw TypeError("signs must hold integers (uint8), got element type '" + std::string(1, e.code()) + "'");
    out.reserve(e.size());
    for (std::size_t i = 0; i < e.size(); ++i) put(e.as_integer(i));
    return out;
  }
  if (!PyList_Check(o.ptr()) && !PyTuple_Check(o.ptr()))
    throw TypeError("signs must be an array, list or bytes of uint8 values, got " + type_name(o));
  for (py::handle v : py::reinterpret_borrow<py::sequence>(o)) put(static_cast<long double>(as_integer(v, "a sign byte")));
  return out;
}

std::string repr(const CompressedTensor& c) {
  std::string s = "CompressedTensor(shape=[";
  for (std::size_t i = 0; i < c.shape.size(); ++i) s += (i ? ", " : "") + std::to_string(c.shape[i]);
  s += "], group_size=" + std::to_string(c.group_size) + ", is_backward=" + (c.is_backward ? "True" : "False") +
       ", scales=[";
  const std::size_t shown = std::min<std::size_t>(c.scales.size(), 4);
  for (std::size_t i = 0; i < shown; ++i) s += (i ? ", " : "") + float_repr(half_to_float(c.scales[i]));
  if (shown < c.scales.size()) s += ", ...";
  s += "] (" + std::to_string(c.scales.size()) + " float16), signs=" + std::to_string(c.signs.size()) + " bytes)";
  return s;
}

CompressedTensor parse(py::handle data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    throw TypeError("from_bytes expects bytes, bytearray or memoryview, got " + type_name(data));
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  return CompressedTensor::from_bytes(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
}

const CompressedTensor& as_record(py::handle o) {
  if (!py::isinstance<CompressedTensor>(o))
    throw TypeError("decompress_tensor() expects a CompressedTensor, got " + type_name(o));
  return o.cast<const CompressedTensor&>();
}
}  // namespace

void bind_compression(py::module_& m) {
  py::class_<CompressedTensor>(m, "CompressedTensor",
                               "One tensor as packed sign bits and one binary16 scale per group of elements.")
      .def(py::init([](py::handle scales, py::handle signs, py::handle shape, py::handle group_size,
                       py::handle is_backward) {
             return CompressedTensor{as_scales(scales), as_signs(signs), as_shape(shape),
                                     as_integer(group_size, "group_size"), as_bool(is_backward, "is_backward")};
           }),
           py::arg("scales"), py::arg("signs"), py::arg("shape"), py::arg("group_size"), py::arg("is_backward"),
           "scales: binary16 values (array, list or little-endian bytes); signs: packed bits (uint8\n"
           "array, list or bytes); shape: the tensor's dimensions; is_backward: a gradient.")
      .def_property(
          "scales", [](const CompressedTensor& c) { return scales_array(c); },
          [](CompressedTensor& c, py::handle v) { c.scales = as_scales(v); },
          "the per-group scales (a read-only float16 array; assign to change)")
      .def_property(
          "signs", [](const CompressedTensor& c) { return signs_array(c); },
          [](CompressedTensor& c, py::handle v) { c.signs = as_signs(v); },
          "the packed sign bits (a read-only uint8 array; assign to change)")
      .def_property(
          "shape",
          [](const CompressedTensor& c) {
            py::list l;
            for (std::int64_t d : c.shape) l.append(d);
            return l;
          },
          [](CompressedTensor& c, py::handle v) { c.shape = as_shape(v); }, "The original tensor's shape (a list).")
      .def_property(
          "group_size", [](const CompressedTensor& c) { return c.group_size; },
          [](CompressedTensor& c, py::handle v) { c.group_size = as_integer(v, "group_size"); },
          "Elements per scale.")
      .def_property(
          "is_backward", [](const CompressedTensor& c) { return c.is_backward; },
          [](CompressedTensor& c, py::handle v) { c.is_backward = as_bool(v, "is_backward"); },
          "True for a gradient, False for an activation.")
      .def("size_bytes", &CompressedTensor::size_bytes, "Bytes of the scales plus the packed signs.")
      .def("num_elements", &CompressedTensor::num_elements, "Elements of the original tensor.")
      .def("compression_ratio", &CompressedTensor::compression_ratio,
           "Float32 bytes of the original over size_bytes() (0.0 for an empty record).")
      .def("to_bytes", [](const CompressedTensor& c) { return py::bytes(c.to_bytes()); },
           "The byte form sent between trainers (little-endian).")
      .def_static("from_bytes", [](py::handle data) { return parse(data); }, py::arg("data"),
                  "Parses the byte form; truncated or inconsistent data raises ValueError.")
      .def("__eq__",
           [](const CompressedTensor& a, py::handle b) -> py::object {
             if (!py::isinstance<CompressedTensor>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             return py::bool_(a == b.cast<const CompressedTensor&>());
           })
      .def("__repr__", &repr)
      .attr("__hash__") = py::none();  // mutable record

  m.def(
      "compress_tensor",
      [](py::handle tensor, py::handle group_size, py::handle is_backward) {
        if (!torch_available()) throw ImportError("PyTorch required for tensor compression");
        return compress_tensor(tensor, as_integer(group_size, "group_size"), as_bool(is_backward, "is_backward"));
      },
      py::arg("tensor"), py::arg("group_size") = 64, py::arg("is_backward") = false,
      "Compresses a tensor of any shape, dtype and device into a CompressedTensor.");
  m.def(
      "decompress_tensor",
      [](py::handle compressed, py::handle device) {
        if (!torch_available()) throw ImportError("PyTorch required for tensor decompression");
        std::string name;
        if (PyUnicode_Check(device.ptr())) {
          name = device.cast<std::string>();
        } else if (type_name(device) == "torch.device") {
          name = py::str(device).cast<std::string>();
        } else {
          throw TypeError("device must be a device name such as \"cpu\" or \"cuda:0\", got " + type_name(device));
        }
        return decompress_tensor(as_record(compressed), name);
      },
      py::arg("compressed"), py::arg("device") = "cpu",
      "A new float32 tensor of the record's shape on `device`, outside autograd.");
  m.def("_install_tensor_backend", [](py::handle capsule) { compression::install_tensor_backend(capsule); });
  bind_boundary(m);
}

}  // namespace korvane::carrowel
