#!/usr/bin/env bash
# Builds korvane.brisol on its own (no trainer, no GoogleTest: the GPU machine may lack
# libcurl and nlohmann headers), runs its self-test, then bench/gpu_kernels.py: every kernel
# against the CPU reference, and its speed against a device-to-device copy.
#   bench/gpu_check.sh            (PYTHON=<interpreter with torch> to choose one)
set -uo pipefail
cd "$(dirname "$0")/.."

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
echo "== python: $PY ($("$PY" -c 'import torch; print("torch", torch.__version__, "cuda", torch.version.cuda, "available", torch.cuda.is_available())'))"
command -v nvidia-smi >/dev/null && nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader

BUILD=${BUILD:-build/gpu-brisol}
mkdir -p "$(dirname "$BUILD")"
GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
echo "== configure and build ($BUILD)"
if ! cmake -S . -B "$BUILD" "${GEN[@]}" -DPython3_EXECUTABLE="$PY" \
     -DKORVANE_CARROWEL=OFF -DKORVANE_TESTS=OFF -DKORVANE_SANITIZE=OFF > "$BUILD.log" 2>&1; then
  tail -40 "$BUILD.log"
  echo "gpu_check: cmake configure failed (Python headers? try the python3-dev package)"
  exit 2
fi
if ! cmake --build "$BUILD" -j "$(nproc)" >> "$BUILD.log" 2>&1; then
  grep -E "error|Error" "$BUILD.log" | head -40
  echo "gpu_check: build failed (full log in $BUILD.log)"
  exit 2
fi
echo "built $(ls korvane/brisol/_brisol*.so)"

status=0
echo "== self-test: python -m korvane.brisol"
PYTHONPATH=. "$PY" -m korvane.brisol
rc=$?
echo "(exit status $rc)"
[ $rc -eq 0 ] || status=1

echo "== kernels against the CPU reference, and their speed"
PYTHONPATH=. "$PY" bench/gpu_kernels.py || status=1

if "$PY" -c 'import pytest' 2>/dev/null; then
  echo "== pytest tests/python/test_brisol*.py (the cases for machines without a driver skip)"
  PYTHONPATH=. "$PY" -m pytest -q tests/python/test_brisol.py tests/python/test_brisol_reference.py || status=1
fi
exit $status
