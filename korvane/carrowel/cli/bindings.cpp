#include "korvane/carrowel/bindings.hpp"
namespace korvane::carrowel {
void bind_cli(py::module_&) {}
}
