#!/usr/bin/env bash
# The GPU check, one script for a GPU machine that reaches no package registry:
#   1. preflight: every tool, header and library the builds need, each missing one named
#      with its fix, before anything is built;
#   2. brisol and the int8 operators (CPU and CUDA kernels) built on their own, without the trainer;
#      `python -m korvane.brisol`; bench/gpu_kernels.py (every kernel against the CPU
#      reference in tests/python/brisol_reference.py, then each one's bandwidth against a
#      device-to-device copy, at [8192, 8192] too); the GPU tests of brisol and the layer;
#   3. the trainer built as well; bench/gpu_pipeline.py: a 3-stage pipeline with every
#      trainer on cuda through the coordinator stand-in.
# Its whole output is kept in bench/results/gpu_check-<device>-<UTC time>.txt.
#
# On a machine with Debian's packages, `make gpu-deps` gathers the header-only libraries
# and the libcurl headers into .gpu-deps/; carry that folder along with the working tree.
#   bench/gpu_check.sh     (PYTHON=<interpreter with torch>, BUILD=<dir>, JOBS=<n> to choose)
# GPU_CHECK_DRY=1 runs the preflight and both builds without a GPU and stops there: a way
# to prove the script and the builds on a CPU machine before spending GPU time.
# EXTRA_CMAKE_FLAGS adds flags to both configurations (e.g. a compiler launcher).
# Exit status: 0 all passed, 1 a check failed, 2 something needed is missing or a build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEPS=${GPU_DEPS:-$ROOT/.gpu-deps}
BUILD=${BUILD:-build/gpu}
JOBS=${JOBS:-$(nproc)}
RESULTS=${RESULTS:-bench/results}

LOG=$(mktemp)
exec > >(tee "$LOG") 2>&1
DEVICE="no-device"
save_log() {
  local rc=$?
  mkdir -p "$RESULTS"
  local slug
  slug=$(printf '%s' "$DEVICE" | tr -cs 'A-Za-z0-9' '-' | sed 's/^-*//; s/-*$//')
  local out="$RESULTS/gpu_check-${slug:-unknown}-$(date -u +%Y%m%dT%H%M%SZ).txt"
  echo "== exit status $rc; output kept in $out"
  sleep 0.2  # let tee write the last lines
  cp "$LOG" "$out"
  rm -f "$LOG"
}
trap save_log EXIT

missing=()        # stops everything
missing_trainer=() # stops the trainer part only
need() { missing+=("$1"); }
need_gpu() {  # a GPU requirement: only noted in a dry run
  if [ "${GPU_CHECK_DRY:-0}" = 1 ]; then echo "   (dry run) not here: $1"; else missing+=("$1"); fi
}
need_trainer() { missing_trainer+=("$1"); }

echo "== gpu_check $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(hostname), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"

# --- preflight -------------------------------------------------------------------------
pick_python() {
  local p
  # First an interpreter whose torch sees a GPU, else any with torch.
  for p in ${PYTHON:-} python3 python3.12 python /usr/bin/python3; do
    command -v "$p" >/dev/null 2>&1 || continue
    "$p" -c 'import torch, sys; sys.exit(0 if torch.cuda.is_available() else 1)' 2>/dev/null \
      && { command -v "$p"; return; }
  done
  for p in ${PYTHON:-} python3 python3.12 python /usr/bin/python3; do
    command -v "$p" >/dev/null 2>&1 || continue
    "$p" -c 'import torch' 2>/dev/null && { command -v "$p"; return; }
  done
}
PY=$(pick_python)
if [ -z "$PY" ]; then
  echo "gpu_check: no python3 that imports torch was found (set PYTHON=...)"
  exit 2
fi
# One line of facts from the interpreter: torch, CUDA, the device, the build inputs.
eval "$("$PY" - <<'PYEOF'
import os, shlex, sysconfig, torch
root = os.path.dirname(torch.__file__)
inc = os.path.join(root, "include")
vals = {
    "TORCH_VERSION": torch.__version__,
    "TORCH_CUDA": str(torch.version.cuda),
    "CUDA_OK": "1" if torch.cuda.is_available() else "0",
    "DEVICE_NAME": torch.cuda.get_device_name(0) if torch.cuda.is_available() else "",
    "PY_VERSION": sysconfig.get_python_version(),
    "PY_INCLUDE": sysconfig.get_paths()["include"],
    "TORCH_INCLUDE": inc,
    "TORCH_ABI": str(int(bool(getattr(torch._C, "_GLIBCXX_USE_CXX11_ABI", True)))),
}
for k, v in vals.items():
    print(f"{k}={shlex.quote(v)}")
PYEOF
)"
[ -n "${DEVICE_NAME:-}" ] && DEVICE=$DEVICE_NAME
echo "== python: $PY (Python $PY_VERSION, torch $TORCH_VERSION, CUDA $TORCH_CUDA, C++11 ABI $TORCH_ABI)"
command -v nvidia-smi >/dev/null && nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader
[ "$CUDA_OK" = 1 ] || need_gpu "a CUDA device visible to torch (torch.cuda.is_available() is False: driver, CUDA_VISIBLE_DEVICES, or a CPU-only torch)"
[ -f "$PY_INCLUDE/Python.h" ] || need "Python.h for Python $PY_VERSION in $PY_INCLUDE (the python$PY_VERSION-dev package, or an interpreter that ships its headers)"
[ -f "$TORCH_INCLUDE/torch/extension.h" ] || need "torch's C++ headers ($TORCH_INCLUDE/torch/extension.h): a torch install with its include/ folder"
if [ ! -f "$TORCH_INCLUDE/pybind11/pybind11.h" ] && [ ! -f /usr/include/pybind11/pybind11.h ] \
   && ! "$PY" -c 'import pybind11' 2>/dev/null; then
  need "pybind11 headers (torch ships them in include/pybind11; else the pybind11 package)"
fi
if command -v cmake >/dev/null; then
  cmv=$(cmake --version | head -1 | awk '{print $3}')
  printf '%s\n%s\n' 3.18 "$cmv" | sort -V -C || need "CMake 3.18 or newer (found $cmv)"
else
  need "cmake (3.18 or newer)"
fi
CXX=${CXX:-$(command -v c++ || command -v g++ || true)}
if [ -z "$CXX" ]; then
  need "a C++ compiler (g++ 11 or newer)"
else
  probe_dir=$(mktemp -d)
  cat > "$probe_dir/p.cpp" <<'CPPEOF'
#include <coroutine>
#include <span>
struct T { struct promise_type { T get_return_object() { return {}; } std::suspend_never initial_suspend() { return {}; }
  std::suspend_never final_suspend() noexcept { return {}; } void return_void() {} void unhandled_exception() {} }; };
T f() { co_return; }
int main() { f(); }
CPPEOF
  if ! "$CXX" -std=c++20 -c "$probe_dir/p.cpp" -o "$probe_dir/p.o" 2>"$probe_dir/err"; then
    need "a C++20 compiler with coroutines ($CXX: $(head -3 "$probe_dir/err" | tr '\n' ' '))"
  fi
  rm -rf "$probe_dir"
fi
"$PY" -c 'import ctypes; ctypes.CDLL("libcuda.so.1")' 2>/dev/null \
  || need_gpu "the CUDA driver library libcuda.so.1 (the NVIDIA driver)"
echo "   compiler: ${CXX:-none} ($("${CXX:-false}" --version 2>/dev/null | head -1)); cmake: $(cmake --version 2>/dev/null | head -1)"

# The trainer: libcurl (the library here, its headers from .gpu-deps if not installed),
# nlohmann-json and CLI11 (header-only, with their CMake files, from .gpu-deps).
TRAINER_FLAGS=()
find_header() {  # find_header <relative path> -> the include dir that has it
  local d
  for d in "$DEPS/include" /usr/include /usr/local/include "/usr/include/$(uname -m)-linux-gnu"; do
    [ -f "$d/$1" ] && { echo "$d"; return; }
  done
}
curl_inc=$(find_header curl/curl.h)
[ -n "$curl_inc" ] || need_trainer "the libcurl headers (curl/curl.h): run 'make gpu-deps' where Debian's packages are and carry .gpu-deps"
curl_lib=$(for l in libcurl.so libcurl.so.4; do ldconfig -p 2>/dev/null | awk -v l="$l" '$1 == l {print $NF; exit}'; done | head -1)
[ -n "$curl_lib" ] || curl_lib=$("$PY" -c 'import ctypes.util as u; n = u.find_library("curl"); print(n or "")')
if [ -n "$curl_lib" ] && [ "${curl_lib#/}" = "$curl_lib" ]; then  # a bare soname: find its path
  curl_lib=$(for d in /usr/lib/$(uname -m)-linux-gnu /usr/lib64 /usr/lib /lib/$(uname -m)-linux-gnu; do
               [ -e "$d/$curl_lib" ] && { echo "$d/$curl_lib"; break; }; done)
fi
[ -n "$curl_lib" ] || need_trainer "the libcurl library (libcurl.so.4): the trainer's HTTP client; it is part of most systems (package libcurl4)"
[ -n "$(find_header nlohmann/json.hpp)" ] || need_trainer "nlohmann/json.hpp: run 'make gpu-deps' and carry .gpu-deps"
[ -n "$(find_header CLI/CLI.hpp)" ] || need_trainer "CLI/CLI.hpp (CLI11): run 'make gpu-deps' and carry .gpu-deps"
TRAINER_FLAGS=(-DCMAKE_PREFIX_PATH="$DEPS" -DCURL_INCLUDE_DIR="$curl_inc" -DCURL_LIBRARY="$curl_lib")

if [ ${#missing[@]} -gt 0 ]; then
  echo "gpu_check: cannot run, missing:"
  printf '  - %s\n' "${missing[@]}"
  exit 2
fi
if [ ${#missing_trainer[@]} -gt 0 ]; then
  echo "gpu_check: the trainer part will not run, missing:"
  printf '  - %s\n' "${missing_trainer[@]}"
fi

# --- brisol on its own ------------------------------------------------------------------
GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
configure() {  # configure <trainer ON|OFF> [flags...]
  local trainer=$1
  shift
  if ! cmake -S . -B "$BUILD" "${GEN[@]}" -DPython3_EXECUTABLE="$PY" -DCMAKE_CXX_COMPILER="$CXX" \
       -DKORVANE_CARROWEL="$trainer" -DKORVANE_TESTS=OFF -DKORVANE_SANITIZE=OFF -DKORVANE_WERROR=OFF ${EXTRA_CMAKE_FLAGS:-} "$@" \
       >> "$BUILD.log" 2>&1; then
    tail -40 "$BUILD.log"
    echo "gpu_check: cmake configure failed (trainer $trainer; full log in $BUILD.log)"
    exit 2
  fi
}
build() {
  if ! cmake --build "$BUILD" -j "$JOBS" >> "$BUILD.log" 2>&1; then
    grep -E -B2 -A6 "error|Error" "$BUILD.log" | head -80
    echo "gpu_check: build failed (full log in $BUILD.log)"
    exit 2
  fi
}
mkdir -p "$(dirname "$BUILD")"
: > "$BUILD.log"
echo "== configure and build brisol on its own ($BUILD, $JOBS jobs)"
t0=$(date +%s)
configure OFF
build
echo "built $(ls korvane/brisol/_brisol*.so korvane/_int8_ops*.so 2>/dev/null | tr '\n' ' ')in $(( $(date +%s) - t0 )) s"
grep -E "^-- (torch|pybind11|brisol)" "$BUILD.log" | sort -u

status=0
if [ "${GPU_CHECK_DRY:-0}" = 1 ]; then
  echo "== (dry run) the GPU checks are skipped"
  if [ ${#missing_trainer[@]} -eq 0 ]; then
    configure ON "${TRAINER_FLAGS[@]}"
    build
    grep -E "^(nlohmann_json_DIR|CLI11_DIR|CURL_INCLUDE_DIR|CURL_LIBRARY)[:=]" "$BUILD/CMakeCache.txt"
    ls -l "$BUILD/bin/korvane-coordinator" korvane/carrowel/_carrowel*.so
  fi
  exit 0
fi
echo "== self-test: python -m korvane.brisol"
PYTHONPATH=. "$PY" -m korvane.brisol
rc=$?
echo "(exit status $rc)"
[ $rc -eq 0 ] || status=1

echo "== kernels against the CPU reference, and their bandwidth against a copy"
PYTHONPATH=. "$PY" bench/gpu_kernels.py || status=1

have_pytest=0
"$PY" -c 'import pytest' 2>/dev/null && have_pytest=1
if [ $have_pytest = 1 ]; then
  echo "== pytest: brisol, its reference, the int8 operators and layer on the GPU"
  PYTHONPATH=. timeout 600 "$PY" -m pytest -q -p no:cacheprovider tests/python/test_brisol.py \
    tests/python/test_brisol_reference.py tests/python/test_int8_ops.py \
    tests/python/test_zeb_trainable_int8_cuda.py || status=1
else
  echo "gpu_check: pytest is not installed: the GPU tests of the layer did not run"
  status=1
fi

# --- the trainer ------------------------------------------------------------------------
if [ ${#missing_trainer[@]} -gt 0 ]; then
  echo "== trainer: not built (see the missing items above)"
  exit 2
fi
echo "== configure and build the trainer and the coordinator stand-in"
t0=$(date +%s)
configure ON "${TRAINER_FLAGS[@]}"
build
echo "built in $(( $(date +%s) - t0 )) s"
echo "== 3-stage pipeline, every trainer on cuda"
PYTHONPATH=. timeout 300 "$PY" bench/gpu_pipeline.py --coordinator "$BUILD/bin/korvane-coordinator" || status=1
if [ $have_pytest = 1 ]; then
  # The whole Python suite when asked (GPU_CHECK_FULL=1): here a trainer's default device
  # is cuda, which the CPU machines never exercise.
  tests=(tests/python/test_zeb_trainable_int8.py)
  [ "${GPU_CHECK_FULL:-0}" = 1 ] && tests=(tests/python)
  echo "== pytest ${tests[*]}"
  KORVANE_COORDINATOR="$ROOT/$BUILD/bin/korvane-coordinator" PYTHONPATH=. timeout 600 \
    "$PY" -m pytest -q -p no:cacheprovider "${tests[@]}" || status=1
fi
exit $status
