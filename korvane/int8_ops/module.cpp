// korvane._int8_ops: importing it registers the int8 operators (torch.ops.korvane.*) with
// their CPU kernels, and shows the constants of int8_constants.hpp to Python.
#include <pybind11/pybind11.h>

#include "korvane/int8_ops/int8_constants.hpp"

namespace py = pybind11;
namespace k8 = korvane::int8;

PYBIND11_MODULE(_int8_ops, m) {
  m.doc() =
      "The int8 weight operators (torch.ops.korvane.int8_*), registered on import, and their "
      "constants.";
  m.attr("QMAX") = k8::kQMax;
  m.attr("SCALE_FLOOR") = k8::kScaleFloor;
  m.attr("GROUP_SIZE") = k8::kGroupSize;
  m.attr("SIGN_BOOST") = k8::kSignBoost;
  m.attr("SIGN_BRAKE") = k8::kSignBrake;
  m.attr("VAR_BETA") = k8::kVarBeta;
  m.attr("VAR_EPS") = k8::kVarEps;
}
