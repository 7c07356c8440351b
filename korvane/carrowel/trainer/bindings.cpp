#include "korvane/carrowel/bindings.hpp"
namespace korvane::carrowel {
void bind_trainer(py::module_&) {}
}
