#include "korvane/brisol/kernel_holder.hpp"

#include <algorithm>
#include <chrono>

#include "korvane/brisol/kernel_sources_data.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/int8_ops/int8_constants.hpp"

namespace korvane::brisol {

const std::array<std::string_view, kKernelCount>& kernel_sources() {
  static const std::array<std::string_view, kKernelCount> sources = {
      embedded::kKernelSources[0], embedded::kKernelSources[1], embedded::kKernelSources[2],
      embedded::kKernelSources[3]};
  return sources;
}

const std::array<const char*, kKernelCount>& kernel_names() {
  static const std::array<const char*, kKernelCount> names = {
      "int8_quantize", "int8_dequantize", "grad_compress", "fused_update"};
  return names;
}

namespace {

const NvrtcApi& nvrtc() {
  const Facilities& f = facilities();
  if (!f.nvrtc_loaded) throw Error(unavailable_message());
  return f.nvrtc;
}

const DriverApi& driver() {
  const Facilities& f = facilities();
  if (!f.driver_ready) throw Error(unavailable_message());
  return f.cu;
}

struct Program {
  nvrtcProgram p = nullptr;
  ~Program() {
    if (p) facilities().nvrtc.nvrtcDestroyProgram(&p);
  }
};

std::string program_log(const NvrtcApi& n, nvrtcProgram p) {
  size_t size = 0;
  if (n.nvrtcGetProgramLogSize(p, &size) != NVRTC_SUCCESS || size <= 1) return {};
  std::string log(size, '\0');
  if (n.nvrtcGetProgramLog(p, log.data()) != NVRTC_SUCCESS) return {};
  log.resize(size - 1);
  return log;
}

}  // namespace

CompiledImage compile(std::string_view source, const std::string& name, const std::string& arch) {
  const NvrtcApi& n = nvrtc();
  const bool cubin = arch.rfind("sm_", 0) == 0;
  if (!cubin && arch.rfind("compute_", 0) != 0)
    throw ValueError("NVRTC target must look like sm_90 or compute_90, got '" + arch + "'");
  if (cubin && !n.nvrtcGetCUBIN)
    throw Error("NVRTC " + std::to_string(facilities().nvrtc_major) + "." +
                std::to_string(facilities().nvrtc_minor) + " cannot emit cubins");

  Program prog;
  const std::string src(source);
  const std::string file = name + ".cu";
  check_nvrtc(n.nvrtcCreateProgram(&prog.p, src.c_str(), file.c_str(), 0, nullptr, nullptr),
              "nvrtcCreateProgram");
  // No contraction into FMA: results then match a plain float32 evaluation exactly, which
  // is what the tests compare against; these kernels are bound by memory, not arithmetic.
  const std::string arch_opt = "--gpu-architecture=" + arch;
  // The format's constants are handed in as defines: the sources never spell them.
  std::vector<const char*> options = {arch_opt.c_str(), "--fmad=false"};
  for (const char* define : int8::kNvrtcDefines) options.push_back(define);
  nvrtcResult rc =
      n.nvrtcCompileProgram(prog.p, static_cast<int>(options.size()), options.data());
  if (rc != NVRTC_SUCCESS) {
    const char* what = n.nvrtcGetErrorString(rc);
    throw Error("NVRTC could not compile " + file + " for " + arch + ": " +
                (what ? what : "error " + std::to_string(rc)) + "\n" + program_log(n, prog.p));
  }

  CompiledImage image;
  image.cubin = cubin;
  image.arch = arch;
  size_t size = 0;
  if (cubin) {
    check_nvrtc(n.nvrtcGetCUBINSize(prog.p, &size), "nvrtcGetCUBINSize");
    image.data.resize(size);
    check_nvrtc(n.nvrtcGetCUBIN(prog.p, image.data.data()), "nvrtcGetCUBIN");
  } else {
    check_nvrtc(n.nvrtcGetPTXSize(prog.p, &size), "nvrtcGetPTXSize");
    image.data.resize(size);  // includes the NUL that cuModuleLoadData needs for PTX
    check_nvrtc(n.nvrtcGetPTX(prog.p, image.data.data()), "nvrtcGetPTX");
    // Without a driver the name can only be looked up in the PTX itself.
    if (image.data.find(".entry " + name + "(") == std::string::npos)
      throw Error("kernel '" + name + "' is not defined as extern \"C\" in the source compiled as " + file);
  }
  return image;
}

std::string target_for(int major, int minor) {
  const NvrtcApi& n = nvrtc();
  const int cc = major * 10 + minor;
  if (!n.nvrtcGetNumSupportedArchs || !n.nvrtcGetSupportedArchs)
    return (n.nvrtcGetCUBIN ? "sm_" : "compute_") + std::to_string(cc);
  int count = 0;
  check_nvrtc(n.nvrtcGetNumSupportedArchs(&count), "nvrtcGetNumSupportedArchs");
  std::vector<int> archs(static_cast<size_t>(std::max(count, 0)));
  if (count > 0) check_nvrtc(n.nvrtcGetSupportedArchs(archs.data()), "nvrtcGetSupportedArchs");
  if (n.nvrtcGetCUBIN && std::find(archs.begin(), archs.end(), cc) != archs.end())
    return "sm_" + std::to_string(cc);
  int best = 0;
  for (int a : archs)
    if (a <= cc) best = std::max(best, a);
  if (best == 0)
    throw Error("NVRTC " + std::to_string(facilities().nvrtc_major) + "." +
                std::to_string(facilities().nvrtc_minor) + " cannot target compute capability " +
                std::to_string(major) + "." + std::to_string(minor));
  return "compute_" + std::to_string(best);
}

LoadedModule::LoadedModule(int dev, const CompiledImage& image) : device(dev) {
  const DriverApi& cu = driver();
  check_cu(cu.cuDeviceGet(&cu_device, dev), "cuDeviceGet");
  check_cu(cu.cuDevicePrimaryCtxRetain(&context, cu_device), "cuDevicePrimaryCtxRetain");
  try {
    ContextGuard guard(context);
    check_cu(cu.cuModuleLoadData(&module, image.data.data()),
             ("cuModuleLoadData (" + image.arch + ")").c_str());
  } catch (...) {
    cu.cuDevicePrimaryCtxRelease(cu_device);
    throw;
  }
}

LoadedModule::~LoadedModule() {
  // Errors are ignored here: at process exit the driver may already be shutting down.
  const DriverApi& cu = facilities().cu;
  CUcontext previous = nullptr;
  cu.cuCtxGetCurrent(&previous);
  if (previous != context) cu.cuCtxSetCurrent(context);
  cu.cuModuleUnload(module);
  if (previous != context) cu.cuCtxSetCurrent(previous);
  cu.cuDevicePrimaryCtxRelease(cu_device);
}

ContextGuard::ContextGuard(CUcontext ctx) {
  const DriverApi& cu = facilities().cu;
  check_cu(cu.cuCtxGetCurrent(&previous_), "cuCtxGetCurrent");
  if (previous_ != ctx) {
    check_cu(cu.cuCtxSetCurrent(ctx), "cuCtxSetCurrent");
    switched_ = true;
  }
}

ContextGuard::~ContextGuard() {
  if (switched_) facilities().cu.cuCtxSetCurrent(previous_);
}

KernelHolder::KernelSet KernelHolder::build(int device) {
  const DriverApi& cu = driver();
  int count = 0;
  check_cu(cu.cuDeviceGetCount(&count), "cuDeviceGetCount");
  if (device < 0 || device >= count)
    throw ValueError("CUDA device " + std::to_string(device) + " does not exist (" +
                     std::to_string(count) + " devices)");
  CUdevice d = 0;
  check_cu(cu.cuDeviceGet(&d, device), "cuDeviceGet");
  int major = 0, minor = 0;
  check_cu(cu.cuDeviceGetAttribute(&major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, d),
           "cuDeviceGetAttribute");
  check_cu(cu.cuDeviceGetAttribute(&minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, d),
           "cuDeviceGetAttribute");
  const std::string arch = target_for(major, minor);

  KernelSet set;
  for (int i = 0; i < kKernelCount; ++i) {
    const std::string name = kernel_names()[i];
    CompiledImage image = compile(kernel_sources()[i], name, arch);
    auto k = std::make_shared<Kernel>();
    k->name = name;
    k->arch = image.arch;
    k->cubin = image.cubin;
    k->device = device;
    k->module = std::make_shared<LoadedModule>(device, image);
    check_cu(cu.cuModuleGetFunction(&k->function, k->module->module, name.c_str()),
             ("cuModuleGetFunction(" + name + ")").c_str());
    set[i] = std::move(k);
  }
  return set;
}

KernelHolder::KernelHolder(int device) : device_(device) {
  auto t0 = std::chrono::steady_clock::now();
  kernels_.push_back(build(device));
  devices_.push_back(device);
  compile_seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::shared_ptr<KernelHolder> KernelHolder::without_kernels() {
  return std::shared_ptr<KernelHolder>(new KernelHolder());
}

const KernelHolder::KernelSet& KernelHolder::kernels_for(int device) {
  for (size_t i = 0; i < devices_.size(); ++i)
    if (devices_[i] == device) return kernels_[i];
  kernels_.push_back(build(device));
  devices_.push_back(device);
  return kernels_.back();
}

void KernelHolder::launch(KernelId id, int device, unsigned grid, unsigned block,
                          CUstream stream, void** args) {
  const Kernel& k = *kernels_for(device)[id];
  ContextGuard guard(k.module->context);
  check_cu(facilities().cu.cuLaunchKernel(k.function, grid, 1, 1, block, 1, 1, 0, stream, args,
                                          nullptr),
           ("launch of " + k.name).c_str());
}

}  // namespace korvane::brisol
