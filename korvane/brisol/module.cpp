// Bindings of korvane.brisol: the module flag, the kernel holder and its kernels, the
// embedded sources and the self-test. The tensor operations are bound in tensor_ops.cpp.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "korvane/brisol/cuda_api.hpp"
#include "korvane/brisol/kernel_holder.hpp"
#include "korvane/brisol/self_test.hpp"
#include "korvane/brisol/tensor_ops.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/signatures.hpp"
#include "korvane/common/python/translate_errors.hpp"

namespace py = pybind11;
using namespace korvane::brisol;

namespace {

// pip's NVIDIA wheels put libnvrtc under site-packages/nvidia/<package>/lib.
std::vector<std::string> pip_nvrtc_dirs() {
  std::vector<std::string> dirs;
  for (py::handle entry : py::module_::import("sys").attr("path")) {
    if (!py::isinstance<py::str>(entry)) continue;
    std::string base = entry.cast<std::string>();
    if (base.empty()) continue;
    for (const char* sub : {"/nvidia/cuda_nvrtc/lib", "/nvidia/cu13/lib", "/nvidia/cu12/lib"})
      dirs.push_back(base + sub);
  }
  return dirs;
}

// The package's flag decides (callers may turn it off); the facilities must be there too.
void require_available() {
  bool flag = facilities().available();
  py::dict modules = py::module_::import("sys").attr("modules");
  if (modules.contains("korvane.brisol"))
    flag = py::getattr(modules["korvane.brisol"], "CUPY_AVAILABLE", py::bool_(flag)).cast<bool>();
  if (!facilities().available()) throw korvane::Error(unavailable_message());
  if (!flag)
    throw korvane::Error("ZEB INT8: GPU kernel library not available: CUPY_AVAILABLE is False");
}

int construction_device() {
  // The device torch considers current, so that pointers of its tensors are valid there.
  py::object cuda = py::module_::import("torch").attr("cuda");
  return cuda.attr("is_available")().cast<bool>() ? cuda.attr("current_device")().cast<int>() : 0;
}

std::string target_for_ptx(std::string arch) {
  if (arch.rfind("sm_", 0) == 0) return "compute_" + arch.substr(3);
  return arch;
}

}  // namespace

PYBIND11_MODULE(_brisol, m) {
  korvane::register_error_translator();
  probe(pip_nvrtc_dirs());
  m.attr("CUPY_AVAILABLE") = py::bool_(facilities().available());
  if (facilities().available()) korvane::print_line("ZEB INT8: CuPy CUDA kernels loaded");

  py::class_<Kernel, std::shared_ptr<Kernel>>(m, "CompiledKernel",
                                              "One kernel loaded on one device.")
      .def_readonly("name", &Kernel::name, "The kernel's entry point.")
      .def_readonly("arch", &Kernel::arch, "The target it was compiled for (sm_XY or compute_XY).")
      .def_readonly("device", &Kernel::device, "The CUDA device number it is loaded on.")
      .def_property_readonly("image", [](const Kernel& k) { return k.cubin ? "cubin" : "ptx"; },
                             "\"cubin\" or \"ptx\": what NVRTC produced.")
      .def("__repr__", [](const Kernel& k) {
        return "<CompiledKernel " + k.name + " " + k.arch + " (" + (k.cubin ? "cubin" : "ptx") +
               ") on cuda:" + std::to_string(k.device) + ">";
      });

  HolderClass cls(m, "ZEBCuPyKernels",
                  "The four int8 kernels, compiled with NVRTC for the current CUDA device.");
  cls.attr("_kernels_compiled") = false;
  cls.def(py::init([] {
    require_available();
    const int device = construction_device();
    std::shared_ptr<KernelHolder> holder;
    {
      py::gil_scoped_release nogil;  // NVRTC takes a while; nothing here touches Python
      holder = std::make_shared<KernelHolder>(device);
    }
    py::type::of<KernelHolder>().attr("_kernels_compiled") = true;
    return holder;
  }),
          "Compiles the four kernels with NVRTC for torch's current CUDA device; raises when the\n"
          "GPU facilities are missing (CUPY_AVAILABLE False).");
  cls.def_property_readonly("int8_quant", [](const KernelHolder& h) { return h.kernel(kQuantize); },
                            "The row quantisation kernel.");
  cls.def_property_readonly("int8_dequant",
                            [](const KernelHolder& h) { return h.kernel(kDequantize); },
                            "The dequantisation kernel.");
  cls.def_property_readonly("grad_compress",
                            [](const KernelHolder& h) { return h.kernel(kGradCompress); },
                            "The gradient sign compression kernel.");
  cls.def_property_readonly("fused_update",
                            [](const KernelHolder& h) { return h.kernel(kFusedUpdate); },
                            "The fused int8 weight update kernel.");
  cls.def_property_readonly("group_size", [](const KernelHolder&) { return kGroupSize; },
                            "Elements per gradient scale (64).");
  cls.def_property_readonly("_device", &KernelHolder::device);
  cls.def_property_readonly("_compile_seconds", &KernelHolder::compile_seconds,
                            "Seconds taken by NVRTC and the module loads at construction.");
  bind_tensor_ops(cls);

  m.def("_get_kernel_sources", [] {
    const auto& s = kernel_sources();
    return py::make_tuple(py::str(s[0].data(), s[0].size()), py::str(s[1].data(), s[1].size()),
                          py::str(s[2].data(), s[2].size()), py::str(s[3].data(), s[3].size()));
  });
  m.def(
      "_compile_ptx",
      [](const std::string& source, const std::string& name, const std::string& arch) {
        CompiledImage image;
        {
          py::gil_scoped_release nogil;
          image = compile(source, name, target_for_ptx(arch));
        }
        return py::str(image.data.c_str());  // PTX text without its trailing NUL
      },
      py::arg("source"), py::arg("name"), py::arg("arch"),
      "Compiles CUDA C to PTX for arch (sm_80 or compute_80); needs NVRTC but no driver.");
  m.def("_facilities", [] {
    const Facilities& f = facilities();
    py::dict d;
    d["driver_ready"] = f.driver_ready;
    d["driver_version"] = f.driver_version;
    d["driver_problem"] = f.driver_problem;
    d["nvrtc_loaded"] = f.nvrtc_loaded;
    d["nvrtc_path"] = f.nvrtc_path;
    d["nvrtc_version"] = py::make_tuple(f.nvrtc_major, f.nvrtc_minor);
    d["nvrtc_problem"] = f.nvrtc_problem;
    return d;
  });
  m.def("_holder_without_kernels", &KernelHolder::without_kernels,
        "A ZEBCuPyKernels that compiles on first launch (for argument checks without a GPU).");
  m.def("_self_test", &self_test, "Runs the kernel self-test; returns the exit status.");
  m.def("_main", &self_test_main, py::arg("argv") = py::none(),
        "The self-test program (options, then the test); returns the exit status.");
  korvane::python::expose_signatures(m);  // last, once every function is registered
}
