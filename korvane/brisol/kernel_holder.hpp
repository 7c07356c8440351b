// Run-time compilation of the four kernels and the holder that keeps them loaded.
#pragma once
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/brisol/cuda_api.hpp"
#include "korvane/int8_ops/int8_constants.hpp"

namespace korvane::brisol {

enum KernelId : int { kQuantize = 0, kDequantize = 1, kGradCompress = 2, kFusedUpdate = 3 };
constexpr int kKernelCount = 4;
constexpr int kGroupSize = static_cast<int>(int8::kGroupSize);

// The four embedded sources and their extern "C" names, in KernelId order.
const std::array<std::string_view, kKernelCount>& kernel_sources();
const std::array<const char*, kKernelCount>& kernel_names();

struct CompiledImage {
  std::string data;  // cubin bytes, or PTX text with its terminating NUL
  bool cubin = false;
  std::string arch;  // "sm_90" for a cubin, "compute_90" for PTX
};

// Compiles with NVRTC for a target ("sm_90" gives a cubin, "compute_80" PTX). Throws with
// NVRTC's log when the source does not compile, and when `name` is not among its kernels.
CompiledImage compile(std::string_view source, const std::string& name, const std::string& arch);

// The target for a device of compute capability major.minor: the real architecture when
// this NVRTC can emit a cubin for it, else PTX for the newest virtual one not above it.
std::string target_for(int major, int minor);

// One loaded module, holding a reference on the device's primary context (the one the
// CUDA runtime, and therefore torch, uses) so that torch's device pointers are valid in it.
struct LoadedModule {
  LoadedModule(int device, const CompiledImage& image);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  int device;
  CUdevice cu_device = 0;
  CUcontext context = nullptr;
  CUmodule module = nullptr;
};

struct Kernel {
  std::string name;
  std::string arch;  // the NVRTC target: sm_XY (cubin) or compute_XY (PTX, JIT-compiled)
  bool cubin = false;
  int device = 0;
  CUfunction function = nullptr;
  std::shared_ptr<LoadedModule> module;  // keeps the function loaded
};

// Makes a context current for the guard's lifetime and puts the previous one back, so that
// a launch never changes which device the runtime (and torch) considers current.
class ContextGuard {
 public:
  explicit ContextGuard(CUcontext ctx);
  ~ContextGuard();
  ContextGuard(const ContextGuard&) = delete;
  ContextGuard& operator=(const ContextGuard&) = delete;

 private:
  CUcontext previous_ = nullptr;
  bool switched_ = false;
};

class KernelHolder {
 public:
  // Compiles and loads the four kernels for `device` (a CUDA device ordinal).
  explicit KernelHolder(int device);

  // A holder that compiles nothing until its first launch. Lets the argument checks of the
  // tensor operations run (and be tested) where no GPU exists.
  static std::shared_ptr<KernelHolder> without_kernels();

  int device() const { return device_; }
  double compile_seconds() const { return compile_seconds_; }
  // The kernel for the holder's own device (the ones the Python fields show).
  std::shared_ptr<Kernel> kernel(KernelId id) const {
    return kernels_.empty() ? nullptr : kernels_[0][id];
  }

  // Launches on `device`'s primary context and `stream`; a device other than the holder's
  // gets its own copy of the kernels on first use.
  void launch(KernelId id, int device, unsigned grid, unsigned block, CUstream stream,
              void** args);

 private:
  KernelHolder() : device_(-1) {}
  using KernelSet = std::array<std::shared_ptr<Kernel>, kKernelCount>;
  static KernelSet build(int device);
  const KernelSet& kernels_for(int device);

  int device_;
  double compile_seconds_ = 0;
  std::vector<KernelSet> kernels_;  // parallel to devices_; [0] is device_'s
  std::vector<int> devices_;
};

}  // namespace korvane::brisol
