// Signatures that inspect.signature and help() understand, for every function of a
// native module. pybind11 writes "name(a: T, b: U = 1) -> R" at the head of a docstring;
// CPython reads a text signature only in the form "name(a, b=1)\n--\n\n". After all
// registrations, expose_signatures rewrites each head into that form (names and
// defaults stay those of the py::arg declarations; types live in the .pyi stubs), and
// gives each class the signature of its __init__ without self.
#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace korvane::python {
namespace py = pybind11;

// One parameter as it appears in a text signature: "name", "name=default", "*", "/",
// "*args" or "**kwargs".
struct Param {
  std::string name;     // with its leading "*" or "**" for the variadic ones
  std::string default_;  // Python source of the default; empty when there is none
  std::string text() const { return default_.empty() ? name : name + "=" + default_; }
};

// Rewrites the functions of `m` and of the classes defined in it (idempotent).
void expose_signatures(py::module_ m);

// The parameters of a rewritten native function (self included for methods).
std::vector<Param> signature_of(py::handle function);
// Replaces the text signature of a native function.
void set_signature(py::handle function, const std::vector<Param>& params);
// The class's signature: that of `init` less its first parameter (self).
void set_class_signature(py::handle cls, const std::vector<Param>& init_params);
// The same parameters made keyword-only after the first one (self): "self, *, ...".
std::vector<Param> keyword_only_after_self(std::vector<Param> params);

}  // namespace korvane::python
