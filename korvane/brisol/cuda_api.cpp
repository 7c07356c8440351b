#include "korvane/brisol/cuda_api.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "korvane/common/errors.hpp"

namespace korvane::brisol {
namespace {

Facilities g_facilities;

// Libraries stay open for the life of the process: unloading the driver or the compiler
// under live modules or programs is never safe.
void* open_library(const std::string& name, std::string& error) {
  void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = dlerror();
    error = e ? e : (name + ": cannot be opened");
  }
  return h;
}

template <class F>
bool bind(void* lib, F& slot, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (void* p = dlsym(lib, n)) {
      slot = reinterpret_cast<F>(p);
      return true;
    }
  }
  return false;
}

std::string cu_error_text(CUresult rc) {
  const auto& cu = g_facilities.cu;
  const char* name = nullptr;
  const char* desc = nullptr;
  if (cu.cuGetErrorName) cu.cuGetErrorName(rc, &name);
  if (cu.cuGetErrorString) cu.cuGetErrorString(rc, &desc);
  std::string s = name ? name : "CUDA error " + std::to_string(rc);
  if (desc) s += std::string(" (") + desc + ")";
  return s;
}

void probe_driver(Facilities& f) {
  std::string err;
  void* lib = open_library("libcuda.so.1", err);
  if (!lib) {
    std::string err2;
    lib = open_library("libcuda.so", err2);
  }
  if (!lib) {
    f.driver_problem = "the CUDA driver library was not found (" + err + ")";
    return;
  }
  auto& cu = f.cu;
  bool ok = bind(lib, cu.cuInit, {"cuInit"}) &&
            bind(lib, cu.cuDriverGetVersion, {"cuDriverGetVersion"}) &&
            bind(lib, cu.cuDeviceGetCount, {"cuDeviceGetCount"}) &&
            bind(lib, cu.cuDeviceGet, {"cuDeviceGet"}) &&
            bind(lib, cu.cuDeviceGetAttribute, {"cuDeviceGetAttribute"}) &&
            bind(lib, cu.cuDevicePrimaryCtxRetain, {"cuDevicePrimaryCtxRetain"}) &&
            bind(lib, cu.cuDevicePrimaryCtxRelease,
                 {"cuDevicePrimaryCtxRelease_v2", "cuDevicePrimaryCtxRelease"}) &&
            bind(lib, cu.cuCtxGetCurrent, {"cuCtxGetCurrent"}) &&
            bind(lib, cu.cuCtxSetCurrent, {"cuCtxSetCurrent"}) &&
            bind(lib, cu.cuModuleLoadData, {"cuModuleLoadData"}) &&
            bind(lib, cu.cuModuleUnload, {"cuModuleUnload"}) &&
            bind(lib, cu.cuModuleGetFunction, {"cuModuleGetFunction"}) &&
            bind(lib, cu.cuLaunchKernel, {"cuLaunchKernel"}) &&
            bind(lib, cu.cuGetErrorName, {"cuGetErrorName"}) &&
            bind(lib, cu.cuGetErrorString, {"cuGetErrorString"});
  if (!ok) {
    f.driver_problem = "the CUDA driver library is too old (a driver entry point is missing)";
    return;
  }
  f.driver_loaded = true;
  CUresult rc = cu.cuInit(0);
  if (rc != CUDA_SUCCESS) {
    f.driver_problem = "the CUDA driver failed to initialise: cuInit returned " + cu_error_text(rc);
    return;
  }
  cu.cuDriverGetVersion(&f.driver_version);
  f.driver_ready = true;
}

bool bind_nvrtc(void* lib, NvrtcApi& n) {
  bool ok = bind(lib, n.nvrtcGetErrorString, {"nvrtcGetErrorString"}) &&
            bind(lib, n.nvrtcVersion, {"nvrtcVersion"}) &&
            bind(lib, n.nvrtcCreateProgram, {"nvrtcCreateProgram"}) &&
            bind(lib, n.nvrtcDestroyProgram, {"nvrtcDestroyProgram"}) &&
            bind(lib, n.nvrtcCompileProgram, {"nvrtcCompileProgram"}) &&
            bind(lib, n.nvrtcGetProgramLogSize, {"nvrtcGetProgramLogSize"}) &&
            bind(lib, n.nvrtcGetProgramLog, {"nvrtcGetProgramLog"}) &&
            bind(lib, n.nvrtcGetPTXSize, {"nvrtcGetPTXSize"}) &&
            bind(lib, n.nvrtcGetPTX, {"nvrtcGetPTX"});
  if (!ok) return false;
  bind(lib, n.nvrtcGetCUBINSize, {"nvrtcGetCUBINSize"});
  bind(lib, n.nvrtcGetCUBIN, {"nvrtcGetCUBIN"});
  bind(lib, n.nvrtcGetNumSupportedArchs, {"nvrtcGetNumSupportedArchs"});
  bind(lib, n.nvrtcGetSupportedArchs, {"nvrtcGetSupportedArchs"});
  return true;
}

// libnvrtc.so, libnvrtc.so.12, libnvrtc.so.11.2 ... in `dir`, newest first.
std::vector<std::string> nvrtc_files_in(const std::string& dir) {
  static const std::regex pattern(R"(libnvrtc\.so(\.[0-9]+)*)");
  std::vector<std::pair<std::vector<int>, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (!std::regex_match(name, pattern)) continue;
    std::vector<int> version;
    for (size_t p = name.find(".so") + 3; p < name.size() && name[p] == '.';) {
      size_t q = name.find('.', p + 1);
      version.push_back(std::stoi(name.substr(p + 1, q - p - 1)));
      p = q == std::string::npos ? name.size() : q;
    }
    found.emplace_back(version, entry.path().string());
  }
  std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(f.second);
  return out;
}

void probe_nvrtc(Facilities& f, const std::vector<std::string>& extra_dirs) {
  const int driver_major = f.driver_version / 1000;
  std::vector<std::string> candidates;
  if (driver_major > 0) candidates.push_back("libnvrtc.so." + std::to_string(driver_major));
  for (const char* n : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so.11.2",
                        "libnvrtc.so.11.1", "libnvrtc.so.11.0", "libnvrtc.so"})
    candidates.push_back(n);
  std::vector<std::string> dirs = extra_dirs;
  for (const char* d : {"/usr/local/cuda/lib64", "/usr/local/cuda/targets/x86_64-linux/lib",
                        "/usr/local/cuda/targets/sbsa-linux/lib"})
    dirs.push_back(d);
  for (const auto& d : dirs)
    for (auto& file : nvrtc_files_in(d)) candidates.push_back(file);

  // Code from a compiler newer than the driver may not load: take the first NVRTC whose
  // major version the driver covers, else the first one that opens at all.
  std::string first_error;
  bool have_fallback = false;
  NvrtcApi fallback;
  std::string fallback_path;
  int fb_major = 0, fb_minor = 0;
  for (const auto& c : candidates) {
    std::string err;
    void* lib = open_library(c, err);
    if (!lib) {
      if (first_error.empty()) first_error = err;
      continue;
    }
    NvrtcApi api;
    if (!bind_nvrtc(lib, api)) continue;
    int major = 0, minor = 0;
    if (api.nvrtcVersion(&major, &minor) != NVRTC_SUCCESS) continue;
    if (driver_major == 0 || major <= driver_major) {
      f.nvrtc = api;
      f.nvrtc_path = c;
      f.nvrtc_major = major;
      f.nvrtc_minor = minor;
      f.nvrtc_loaded = true;
      return;
    }
    if (!have_fallback) {
      have_fallback = true;
      fallback = api;
      fallback_path = c;
      fb_major = major;
      fb_minor = minor;
    }
  }
  if (have_fallback) {
    f.nvrtc = fallback;
    f.nvrtc_path = fallback_path;
    f.nvrtc_major = fb_major;
    f.nvrtc_minor = fb_minor;
    f.nvrtc_loaded = true;
    return;
  }
  f.nvrtc_problem = "NVRTC (libnvrtc.so) was not found" +
                    (first_error.empty() ? std::string() : " (" + first_error + ")");
}

}  // namespace

void probe(const std::vector<std::string>& extra_dirs) {
  Facilities f;
  probe_driver(f);
  probe_nvrtc(f, extra_dirs);
  g_facilities = std::move(f);
}

const Facilities& facilities() { return g_facilities; }

std::string unavailable_message() {
  const Facilities& f = g_facilities;
  std::string missing;
  if (!f.driver_ready) missing = f.driver_problem;
  if (!f.nvrtc_loaded) missing += (missing.empty() ? "" : "; ") + f.nvrtc_problem;
  if (missing.empty()) missing = "the GPU facilities were not probed";
  return "ZEB INT8: GPU kernel library not available: " + missing +
         ". Install the NVIDIA driver (it provides libcuda.so.1) and NVRTC, the CUDA "
         "run-time compiler (the CUDA toolkit, or: pip install nvidia-cuda-nvrtc-cu12).";
}

void check_cu(CUresult rc, const char* what) {
  if (rc != CUDA_SUCCESS) throw Error(std::string(what) + " failed: " + cu_error_text(rc));
}

void check_nvrtc(nvrtcResult rc, const char* what) {
  if (rc == NVRTC_SUCCESS) return;
  const char* s = g_facilities.nvrtc.nvrtcGetErrorString
                      ? g_facilities.nvrtc.nvrtcGetErrorString(rc)
                      : nullptr;
  throw Error(std::string(what) + " failed: " +
              (s ? s : "NVRTC error " + std::to_string(rc)));
}

}  // namespace korvane::brisol
