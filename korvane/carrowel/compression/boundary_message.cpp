// Boundary messages between Python values and the byte form: the entries are gathered as
// host views through the tensor backend, sized, then written straight into the result.
#include "korvane/carrowel/compression/boundary_message.hpp"

#include <cstring>
#include <set>
#include <vector>

#include "korvane/carrowel/compression/boundary_format.hpp"
#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
using compression::BoundaryHeader;
using compression::ElementType;
using compression::EntryForm;
using compression::IncomingEntry;
using compression::OutgoingEntry;
using compression::Structure;

const compression::TensorBackend& backend(const char* what) {
  const auto* b = compression::tensor_backend();
  if (!b) throw ImportError(std::string("PyTorch required for ") + what);
  return *b;
}

std::string type_name(py::handle o) { return Py_TYPE(o.ptr())->tp_name; }

// The entries of a value as host views, with the objects that keep them alive.
struct Gathered {
  BoundaryHeader header;
  std::vector<OutgoingEntry> entries;
  std::vector<py::object> keep;
};

void add_entry(Gathered& g, py::handle item, std::string key, const std::string& where) {
  OutgoingEntry e;
  e.key = std::move(key);
  if (item.is_none()) {
    g.entries.push_back(std::move(e));
    return;
  }
  const auto& b = backend("encode_boundary");
  if (!b.is_tensor(item.ptr()))
    throw TypeError("encode_boundary: " + where + " is a " + type_name(item) +
                    "; a boundary value is a tensor, or a tuple, list or dict (str keys) of tensors and None");
  compression::HostTensor view;
  if (!b.host_tensor(item.ptr(), &view)) throw py::error_already_set();
  g.keep.push_back(py::reinterpret_steal<py::object>(view.keep_alive));
  e.form = compression::is_floating(view.source) ? EntryForm::coded : EntryForm::raw;
  e.dtype = view.source;
  e.shape.assign(view.sizes, view.sizes + view.ndim);
  e.data = view.data;
  e.numel = static_cast<std::uint64_t>(view.numel);
  g.entries.push_back(std::move(e));
}

Gathered gather(py::handle value, Codec codec, bool is_backward) {
  Gathered g;
  g.header.codec = codec;
  g.header.is_backward = is_backward;
  if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    g.header.structure = PyTuple_Check(value.ptr()) ? Structure::tuple : Structure::list;
    const char* kind = PyTuple_Check(value.ptr()) ? "tuple" : "list";
    std::size_t i = 0;
    for (py::handle item : py::reinterpret_borrow<py::sequence>(value))
      add_entry(g, item, {}, "entry " + std::to_string(i++) + " of the " + kind);
  } else if (PyDict_Check(value.ptr())) {
    g.header.structure = Structure::dict;
    for (auto [k, item] : py::reinterpret_borrow<py::dict>(value)) {
      if (!PyUnicode_Check(k.ptr()))
        throw TypeError("encode_boundary: dict keys must be str, got " + type_name(k));
      std::string key = py::reinterpret_borrow<py::str>(k).cast<std::string>();
      add_entry(g, item, key, "entry '" + key + "' of the dict");
    }
  } else {
    g.header.structure = Structure::tensor;
    if (value.is_none())
      throw TypeError("encode_boundary: the value is None; a boundary value is a tensor, or a tuple, list or dict "
                      "(str keys) of tensors and None");
    add_entry(g, value, {}, "the value");
  }
  return g;
}

bool is_bare_sign_record(const Gathered& g) {
  return g.header.codec == Codec::sign && g.header.structure == Structure::tensor &&
         g.entries[0].form == EntryForm::coded;
}

struct FillJob {
  Codec codec;
  const IncomingEntry* entry;
  bool copy;  // the payload already is the elements
};

py::object decode_entry(const IncomingEntry& e, Codec codec, const std::string& device) {
  if (e.form == EntryForm::none) return py::none();
  ElementType fill_type = e.dtype, result_type = e.dtype;
  bool copy = true;  // raw entries, and float codecs arriving in the sender's own type
  if (e.form == EntryForm::coded) {
    const bool keeps_type = codec == Codec::bf16 || codec == Codec::fp16 || codec == Codec::fp32;
    const ElementType wire = codec == Codec::bf16   ? ElementType::bfloat16
                             : codec == Codec::fp16 ? ElementType::float16
                                                    : ElementType::float32;
    copy = keeps_type && e.dtype == wire;
    fill_type = copy ? wire : ElementType::float32;
    result_type = keeps_type ? e.dtype : ElementType::float32;
  }
  FillJob job{codec, &e, copy};
  auto fill = +[](void* context, void* data, std::int64_t) noexcept {
    const auto* j = static_cast<const FillJob*>(context);
    if (j->copy) {
      if (j->entry->payload_size) std::memcpy(data, j->entry->payload, j->entry->payload_size);
    } else {
      compression::decode_entry(j->codec, *j->entry, static_cast<float*>(data));
    }
  };
  PyObject* t = backend("decode_boundary")
                    .new_tensor(e.shape.data(), static_cast<std::int64_t>(e.shape.size()), fill_type, result_type,
                                device.c_str(), fill, &job);
  if (!t) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(t);
}
}  // namespace

Codec codec_by_name(std::string_view name) {
  if (auto c = parse_codec(name)) return *c;
  std::string known;
  for (Codec c : kAllCodecs) known += std::string(known.empty() ? "" : ", ") + codec_name(c);
  throw ValueError("unknown codec '" + std::string(name) + "' (known: " + known + ")");
}

bool is_structure(py::handle value) {
  return PyTuple_Check(value.ptr()) || PyList_Check(value.ptr()) || PyDict_Check(value.ptr());
}

std::string encode_boundary(py::handle value, Codec codec, bool is_backward) {
  Gathered g = gather(value, codec, is_backward);
  if (is_bare_sign_record(g)) return compress_tensor(value, 64, is_backward).to_bytes();
  std::string out(compression::boundary_size(g.header, g.entries), '\0');
  compression::write_boundary(g.header, g.entries, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

py::bytes encode_boundary_bytes(py::handle value, Codec codec, bool is_backward) {
  Gathered g = gather(value, codec, is_backward);
  if (is_bare_sign_record(g)) return py::bytes(compress_tensor(value, 64, is_backward).to_bytes());
  const std::uint64_t size = compression::boundary_size(g.header, g.entries);
  auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) throw py::error_already_set();
  compression::write_boundary(g.header, g.entries, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.ptr())));
  return out;
}

py::object decode_boundary(std::string_view body, Codec codec, bool is_backward, const std::string& device) {
  backend("decode_boundary");
  if (!compression::is_boundary_message(body)) {
    if (codec != Codec::sign)
      throw ValueError(std::string("decode_boundary: the message is a sign record (codec 'sign'), but codec '") +
                       codec_name(codec) + "' was expected");
    return decompress_tensor(CompressedTensor::from_bytes(body), device);
  }
  const compression::ParsedBoundary m = compression::parse_boundary(body);
  if (m.header.codec != codec)
    throw ValueError(std::string("decode_boundary: the message is coded with '") + codec_name(m.header.codec) +
                     "', but codec '" + codec_name(codec) + "' was expected");
  if (m.header.is_backward != is_backward)
    throw ValueError(std::string("decode_boundary: the message carries ") +
                     (m.header.is_backward ? "a gradient" : "an activation") + " where " +
                     (is_backward ? "a gradient" : "an activation") + " was expected");
  switch (m.header.structure) {
    case Structure::tensor: return decode_entry(m.entries[0], codec, device);
    case Structure::dict: {
      py::dict d;
      for (const IncomingEntry& e : m.entries) {
        PyObject* key = PyUnicode_DecodeUTF8(e.key.data(), static_cast<Py_ssize_t>(e.key.size()), "strict");
        if (!key) {
          PyErr_Clear();
          throw ValueError("malformed boundary message: a dict key is not UTF-8");
        }
        auto k = py::reinterpret_steal<py::str>(key);
        if (d.contains(k)) throw ValueError("malformed boundary message: the dict key '" + std::string(e.key) +
                                            "' appears twice");
        d[k] = decode_entry(e, codec, device);
      }
      return d;
    }
    default: {
      py::list items;
      for (const IncomingEntry& e : m.entries) items.append(decode_entry(e, codec, device));
      if (m.header.structure == Structure::list) return items;
      return py::tuple(items);
    }
  }
}

}  // namespace korvane::carrowel
