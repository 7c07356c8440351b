#include "korvane/common/python/signatures.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace korvane::python {
namespace {

constexpr const char* kMarker = ")\n--\n\n";

// Splits "a: T = 1, b: Dict[str, int] = {'x': 1}" at its top-level commas.
std::vector<std::string> split_params(const std::string& s) {
  std::vector<std::string> out;
  int depth = 0;
  char quote = 0;
  std::string cur;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote) {
      cur += c;
      if (c == '\\' && i + 1 < s.size()) cur += s[++i];
      else if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') --depth;
    if (c == ',' && depth == 0) {
      out.push_back(cur);
      cur.clear();
      if (i + 1 < s.size() && s[i + 1] == ' ') ++i;
      continue;
    }
    cur += c;
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// Position of the parenthesis that closes the one at `open`, or npos.
std::size_t closing_paren(const std::string& s, std::size_t open) {
  int depth = 0;
  char quote = 0;
  for (std::size_t i = open; i < s.size(); ++i) {
    const char c = s[i];
    if (quote) {
      if (c == '\\') ++i;
      else if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (--depth == 0) return i;
    }
  }
  return std::string::npos;
}

// "name: type = default" (pybind11's head) or "name=default" (a rewritten one) -> Param.
// A type holds no quote and no " = ".
Param parse_param(const std::string& p) {
  Param out;
  std::size_t i = 0;
  while (i < p.size() && p[i] == '*') ++i;
  while (i < p.size() && (std::isalnum(static_cast<unsigned char>(p[i])) || p[i] == '_' || p[i] == '/')) ++i;
  out.name = p.substr(0, i);
  if (i < p.size() && p[i] == '=') {
    out.default_ = p.substr(i + 1);
  } else if (const std::size_t eq = p.find(" = ", i); eq != std::string::npos) {
    out.default_ = p.substr(eq + 3);
  }
  return out;
}

PyMethodDef* method_def(py::handle f) {
  if (!f || !PyCFunction_Check(f.ptr())) return nullptr;
  return reinterpret_cast<PyCFunctionObject*>(f.ptr())->m_ml;
}

// The native function behind a class-dict entry (instance method or static method).
py::handle function_of(py::handle entry) {
  if (PyInstanceMethod_Check(entry.ptr())) return PyInstanceMethod_GET_FUNCTION(entry.ptr());
  if (py::isinstance(entry, py::module_::import("builtins").attr("staticmethod"))) return entry.attr("__func__");
  return entry;
}

std::string join(const std::vector<Param>& params) {
  std::string s;
  for (const Param& p : params) s += (s.empty() ? "" : ", ") + p.text();
  return s;
}

// The doc below the head, for a pybind11 head "name(...) -> R\n\ndoc\n" or a rewritten one.
std::string body_of(const char* doc, std::size_t head_end) {
  std::string rest(doc + head_end);
  const std::size_t start = rest.find_first_not_of('\n');
  if (start == std::string::npos) return "";
  rest = rest.substr(start);
  while (!rest.empty() && rest.back() == '\n') rest.pop_back();
  return rest;
}

void install_doc(PyMethodDef* def, const std::string& doc) {
  char* copy = strdup(doc.c_str());  // pybind11 frees ml_doc with std::free
  if (!copy) throw std::bad_alloc();
  std::free(const_cast<char*>(def->ml_doc));
  def->ml_doc = copy;
}

// Parses the head of a function's doc; false when it has none we understand (an
// overloaded function, a function of another library).
bool read_head(PyMethodDef* def, std::vector<Param>& params, std::string& body) {
  if (!def || !def->ml_doc) return false;
  const std::string doc = def->ml_doc;
  const std::string name = def->ml_name;
  if (doc.rfind(name + "(", 0) != 0) return false;
  const std::size_t open = name.size();
  const std::size_t close = closing_paren(doc, open);
  if (close == std::string::npos) return false;
  params.clear();
  for (const std::string& p : split_params(doc.substr(open + 1, close - open - 1))) params.push_back(parse_param(p));
  std::size_t head_end = close + 1;
  if (doc.compare(close, std::strlen(kMarker), kMarker) == 0) {
    head_end = close + std::strlen(kMarker);
  } else {
    const std::size_t eol = doc.find('\n', close);
    head_end = eol == std::string::npos ? doc.size() : eol;
  }
  body = body_of(doc.c_str(), head_end);
  return true;
}

void write_head(PyMethodDef* def, const std::vector<Param>& params, const std::string& body) {
  install_doc(def, std::string(def->ml_name) + "(" + join(params) + kMarker + body);
}

bool rewrite(py::handle f) {
  PyMethodDef* def = method_def(f);
  std::vector<Param> params;
  std::string body;
  if (!read_head(def, params, body)) return false;
  write_head(def, params, body);
  return true;
}

}  // namespace

std::vector<Param> signature_of(py::handle function) {
  std::vector<Param> params;
  std::string body;
  if (!read_head(method_def(function_of(function)), params, body))
    throw std::logic_error("no signature to read from " + py::repr(function).cast<std::string>());
  return params;
}

void set_signature(py::handle function, const std::vector<Param>& params) {
  PyMethodDef* def = method_def(function_of(function));
  std::vector<Param> old;
  std::string body;
  if (!read_head(def, old, body))
    throw std::logic_error("no signature to replace in " + py::repr(function).cast<std::string>());
  write_head(def, params, body);
}

std::vector<Param> keyword_only_after_self(std::vector<Param> params) {
  std::vector<Param> out;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const Param& p = params[i];
    if (p.name == "*" || p.name == "/" || p.name.rfind("*", 0) == 0) {
      if (p.name.rfind("**", 0) == 0) out.push_back(p);  // **kwargs stays; *args cannot
      continue;
    }
    out.push_back(p);
    if (i == 0) out.push_back({"*", ""});
  }
  return out;
}

void set_class_signature(py::handle cls, const std::vector<Param>& init_params) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  std::vector<Param> params(init_params.begin() + (init_params.empty() ? 0 : 1), init_params.end());
  std::string doc = py::getattr(cls, "__doc__", py::none()).is_none() ? "" : cls.attr("__doc__").cast<std::string>();
  const std::string head = py::str(cls.attr("__name__")).cast<std::string>() + "(" + join(params) + kMarker;
  const std::string text = head + doc;
  // tp_doc of a heap type is freed by CPython with PyObject_Free.
  char* copy = static_cast<char*>(PyObject_Malloc(text.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  PyType_Modified(type);
}

void expose_signatures(py::module_ m) {
  const std::string module_name = m.attr("__name__").cast<std::string>();
  for (auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
    py::handle value = item.second;
    if (PyCFunction_Check(value.ptr())) {
      rewrite(value);
      continue;
    }
    if (!PyType_Check(value.ptr())) continue;
    py::object owner = py::getattr(value, "__module__", py::none());
    if (!py::isinstance<py::str>(owner) || owner.cast<std::string>() != module_name) continue;
    py::dict members = value.attr("__dict__");
    for (auto member : members) rewrite(function_of(member.second));
    if (members.contains("__init__")) {
      std::vector<Param> params;
      std::string body;
      if (read_head(method_def(function_of(members["__init__"])), params, body)) set_class_signature(value, params);
    }
  }
}

}  // namespace korvane::python
