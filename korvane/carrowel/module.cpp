// The trainer module: registration only; the logic lives in the subsystem folders.
#include <pybind11/pybind11.h>

#include "korvane/carrowel/bindings.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/python/signatures.hpp"
#include "korvane/common/python/translate_errors.hpp"

PYBIND11_MODULE(_carrowel, m) {
  using namespace korvane;
  register_error_translator();
  async::bind_async(m);
  carrowel::bind_compression(m);
  carrowel::bind_trainer(m);
  carrowel::bind_facade(m);
  carrowel::bind_cli(m);
  pybind11::module_ testing = m.def_submodule("_testing", "private helpers for korvane's own tests");
  carrowel::bind_testing(testing);
  // Last, once every function is registered.
  python::expose_signatures(m);
  carrowel::mirror_trainer_signatures(m);
}
