// Checks on the machine's GPU that the kernels compile and work, through the package's
// own Python interface (so the check sees what a caller sees).
#include "korvane/brisol/self_test.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "korvane/brisol/cuda_api.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::brisol {
namespace py = pybind11;
using namespace pybind11::literals;

namespace {
std::string shape_text(const py::handle& t) { return py::str(t.attr("shape")).cast<std::string>(); }

long long nbytes(const py::handle& t) {
  return t.attr("numel")().cast<long long>() * t.attr("element_size")().cast<long long>();
}
}  // namespace

int self_test() {
  print_line("ZEB CuPy Kernels Test");
  print_line(std::string(50, '='));

  py::module_ pkg = py::module_::import("korvane.brisol");
  if (!py::getattr(pkg, "CUPY_AVAILABLE", py::bool_(false)).cast<bool>()) {
    print_line(unavailable_message());
    return 1;
  }
  py::module_ torch = py::module_::import("torch");
  if (!torch.attr("cuda").attr("is_available")().cast<bool>()) {
    print_line("CUDA not available");
    return 1;
  }

  py::object kernels = pkg.attr("ZEBCuPyKernels")();
  print_line("Kernels compiled successfully!");

  py::object x = torch.attr("randn")(256, 768, "device"_a = "cuda");
  py::tuple quantized = kernels.attr("quantize_int8")(x);
  py::object q = quantized[0], scales = quantized[1];
  print_line("Quantize: " + shape_text(x) + " -> int8 " + shape_text(q) + ", scales " +
             shape_text(scales));

  py::object x_recon = kernels.attr("dequantize_int8")(q, scales, x.attr("shape"));
  const double error =
      x.attr("sub")(x_recon).attr("abs")().attr("mean")().attr("item")().cast<double>();
  print_line("Dequantize error: " + float_fixed(error, 6));

  py::object grad = torch.attr("randn")(256, 768, "device"_a = "cuda");
  py::tuple compressed = kernels.attr("compress_gradient")(grad);
  print_line("Grad compress: " + shape_text(grad) + " -> scales " + shape_text(compressed[0]) +
             ", signs " + shape_text(compressed[1]));

  const long long orig_bytes = nbytes(x);
  const long long int8_bytes = nbytes(q) + nbytes(scales);
  print_line("\nMemory: " + std::to_string(orig_bytes) + " -> " + std::to_string(int8_bytes) +
             " bytes (" + float_fixed(double(orig_bytes) / double(int8_bytes), 1) + "x)");
  print_line("\nAll kernels working!");
  return 0;
}

// Options in the style of the other korvane programs (common/cli/style.hpp), parsed by
// hand: the GPU machines that build this module alone may lack the CLI11 headers.
int self_test_main(std::optional<std::vector<std::string>> argv) {
  if (!argv) {
    argv.emplace();
    py::list sys_argv = py::module_::import("sys").attr("argv");
    for (std::size_t i = 1; i < sys_argv.size(); ++i) argv->push_back(sys_argv[i].cast<std::string>());
  }
  const std::string program = module_program_name("korvane.brisol");
  const std::string usage = "usage: " + program + " [-h] [--version]";
  for (const std::string& arg : *argv) {
    if (arg == "-h" || arg == "--help") {
      write_text("stdout", usage +
                               "\n\nZEB CuPy Kernels Test: compiles the int8 kernels for this machine's GPU and "
                               "checks them.\nExit status 0 when they work, 1 without GPU facilities or a CUDA "
                               "device.\n\noptions:\n"
                               "  -h, --help            show this help and exit\n"
                               "  --version             show the version and exit\n");
      return 0;
    }
    if (arg == "--version") {
      write_text("stdout", program + " " + py::module_::import("korvane").attr("__version__").cast<std::string>() + "\n");
      return 0;
    }
  }
  if (!argv->empty()) {
    const std::string& arg = argv->front();
    const std::string message = arg.rfind("-", 0) == 0 ? "unknown option " + arg : "unexpected argument " + arg;
    write_text("stderr", usage + "\n" + program + ": error: " + message + "\n");
    return 2;
  }
  return self_test();
}

}  // namespace korvane::brisol
