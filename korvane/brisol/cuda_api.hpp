// The CUDA driver and NVRTC, opened at run time with dlopen. The handful of types and
// prototypes brisol uses are declared here, so that neither CUDA headers nor CUDA
// libraries are needed to build, and the module imports on machines without a GPU.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace korvane::brisol {

// Driver API types (opaque handles, as cuda.h declares them).
using CUresult = int;
using CUdevice = int;
using CUcontext = struct CUctx_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUstream = struct CUstream_st*;
constexpr CUresult CUDA_SUCCESS = 0;
constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75;
constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76;

struct DriverApi {
  CUresult (*cuInit)(unsigned) = nullptr;
  CUresult (*cuDriverGetVersion)(int*) = nullptr;
  CUresult (*cuDeviceGetCount)(int*) = nullptr;
  CUresult (*cuDeviceGet)(CUdevice*, int) = nullptr;
  CUresult (*cuDeviceGetAttribute)(int*, int, CUdevice) = nullptr;
  CUresult (*cuDevicePrimaryCtxRetain)(CUcontext*, CUdevice) = nullptr;
  CUresult (*cuDevicePrimaryCtxRelease)(CUdevice) = nullptr;
  CUresult (*cuCtxGetCurrent)(CUcontext*) = nullptr;
  CUresult (*cuCtxSetCurrent)(CUcontext) = nullptr;
  CUresult (*cuModuleLoadData)(CUmodule*, const void*) = nullptr;
  CUresult (*cuModuleUnload)(CUmodule) = nullptr;
  CUresult (*cuModuleGetFunction)(CUfunction*, CUmodule, const char*) = nullptr;
  CUresult (*cuLaunchKernel)(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned,
                             unsigned, unsigned, CUstream, void**, void**) = nullptr;
  CUresult (*cuGetErrorName)(CUresult, const char**) = nullptr;
  CUresult (*cuGetErrorString)(CUresult, const char**) = nullptr;
};

// NVRTC types.
using nvrtcResult = int;
using nvrtcProgram = struct _nvrtcProgram*;
constexpr nvrtcResult NVRTC_SUCCESS = 0;

struct NvrtcApi {
  const char* (*nvrtcGetErrorString)(nvrtcResult) = nullptr;
  nvrtcResult (*nvrtcVersion)(int*, int*) = nullptr;
  nvrtcResult (*nvrtcCreateProgram)(nvrtcProgram*, const char*, const char*, int,
                                    const char* const*, const char* const*) = nullptr;
  nvrtcResult (*nvrtcDestroyProgram)(nvrtcProgram*) = nullptr;
  nvrtcResult (*nvrtcCompileProgram)(nvrtcProgram, int, const char* const*) = nullptr;
  nvrtcResult (*nvrtcGetProgramLogSize)(nvrtcProgram, size_t*) = nullptr;
  nvrtcResult (*nvrtcGetProgramLog)(nvrtcProgram, char*) = nullptr;
  nvrtcResult (*nvrtcGetPTXSize)(nvrtcProgram, size_t*) = nullptr;
  nvrtcResult (*nvrtcGetPTX)(nvrtcProgram, char*) = nullptr;
  // Newer entry points (CUDA 11.1 / 11.2); null when the library predates them.
  nvrtcResult (*nvrtcGetCUBINSize)(nvrtcProgram, size_t*) = nullptr;
  nvrtcResult (*nvrtcGetCUBIN)(nvrtcProgram, char*) = nullptr;
  nvrtcResult (*nvrtcGetNumSupportedArchs)(int*) = nullptr;
  nvrtcResult (*nvrtcGetSupportedArchs)(int*) = nullptr;
};

// What was found when the module loaded. Filled once by probe(); read-only afterwards.
struct Facilities {
  bool driver_loaded = false;  // libcuda opened and every symbol found
  bool driver_ready = false;   // ... and cuInit succeeded
  bool nvrtc_loaded = false;
  std::string driver_problem;  // why the driver is unusable (empty when ready)
  std::string nvrtc_problem;
  std::string nvrtc_path;
  int nvrtc_major = 0, nvrtc_minor = 0;
  int driver_version = 0;  // e.g. 12040
  DriverApi cu;
  NvrtcApi nvrtc;

  bool available() const { return driver_ready && nvrtc_loaded; }
};

// Opens the driver, initialises it, then opens NVRTC, looking in the usual library names,
// /usr/local/cuda and `extra_dirs` (e.g. the lib folders of pip's NVIDIA packages). An
// NVRTC whose major version the driver can run is preferred. Never throws.
void probe(const std::vector<std::string>& extra_dirs);
const Facilities& facilities();

// The message for construction and the self-test when the facilities are missing: what is
// missing and how to get it.
std::string unavailable_message();

// Throw korvane::Error with the call, the error name and its description.
void check_cu(CUresult rc, const char* what);
void check_nvrtc(nvrtcResult rc, const char* what);

}  // namespace korvane::brisol
