#include "korvane/carrowel/bindings.hpp"
#include "korvane/carrowel/compression/tensor_compression.hpp"
namespace korvane::carrowel {
static bool g_backend = false;
bool torch_available() { return g_backend; }
void bind_compression(py::module_& m) {
  m.def("_install_tensor_backend", [](py::object) { g_backend = true; });
}
}
