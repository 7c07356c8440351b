"""Which BLAS library torch's matrix products run on, read from this process itself.

Debian's libtorch calls the Fortran BLAS (sgemm_) through libblas.so.3, which is the
reference implementation unless an optimised one is installed: about 50x slower on the
products a training round is made of. The answer here is not a timing: it is the library
whose sgemm_ torch's own symbol lookup binds to (the global scope first, where
LD_PRELOAD puts libraries, then libtorch_cpu's dependencies), found with dlsym and the
process's own memory map.

    python3 tools/blas/check_blas.py    # exit status 1, with the fix, on the reference BLAS
"""
import ctypes
import os
import re
import sys

# An entry point that only this family of libraries exports.
PROBES = [("OpenBLAS", "openblas_get_config"), ("MKL", "mkl_get_version_string"),
          ("BLIS", "bli_info_get_version_str")]
PATH_WORDS = [("OpenBLAS", "openblas"), ("MKL", "mkl"), ("BLIS", "blis"), ("ATLAS", "atlas")]
FIX = ("install an optimised one (make deps installs libopenblas0-pthread), or point the "
       "libblas.so.3 alternative at it: update-alternatives --config libblas.so.3-$(uname -m)-linux-gnu")

_libc = ctypes.CDLL(None)
_libc.dlsym.restype = ctypes.c_void_p
_libc.dlsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p]


def mapped_files(maps_text):
    """[(start, end, path)] of the file-backed mappings in a /proc/<pid>/maps text."""
    out = []
    for line in maps_text.splitlines():
        parts = line.split(None, 5)
        if len(parts) == 6 and parts[5].startswith("/"):
            start, end = (int(v, 16) for v in parts[0].split("-"))
            out.append((start, end, parts[5].strip()))
    return out


def file_at(address, files):
    for start, end, path in files:
        if start <= address < end:
            return path
    return None


def _handle(path):
    """dlopen handle of a library already loaded in this process (None if it is not)."""
    try:
        return ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)._handle
    except OSError:
        return None


def classify(path, handle):
    """(family, detail) of a BLAS library; family "reference" for one that is none of the
    optimised families."""
    if handle is not None:
        for family, symbol in PROBES:
            address = _libc.dlsym(handle, symbol.encode())
            if address:
                detail = ""
                if symbol == "openblas_get_config":
                    detail = ctypes.cast(address, ctypes.CFUNCTYPE(ctypes.c_char_p))().decode(errors="replace")
                return family, detail
    lowered = os.path.basename(os.path.dirname(path)).lower() + "/" + os.path.basename(path).lower()
    for family, word in PATH_WORDS:
        if word in lowered:
            return family, ""
    return "reference", ""


def torch_blas():
    """{"family", "path", "detail"} for the BLAS that torch's matrix products use."""
    import torch

    a = torch.ones(16, 16)
    _ = a @ a  # any BLAS that loads lazily is mapped from here on
    with open("/proc/self/maps") as f:
        files = mapped_files(f.read())
    torch_cpu = next((p for _, _, p in files if os.path.basename(p).startswith("libtorch_cpu")), None)
    address = _libc.dlsym(None, b"sgemm_")  # RTLD_DEFAULT: the global scope
    if not address and torch_cpu:
        handle = _handle(torch_cpu)
        address = _libc.dlsym(handle, b"sgemm_") if handle else None
    if not address:
        # No shared sgemm_: torch carries its BLAS inside (as pip's wheels do).
        config = torch.__config__.show()
        blas = re.search(r"BLAS_INFO=(\w+)", config)
        name = blas.group(1) if blas else "unknown"
        family = "reference" if name in ("generic", "unknown") else name
        return {"family": family, "path": torch_cpu or "torch", "detail": f"built into torch (BLAS_INFO={name})"}
    path = file_at(address, files) or "?"
    family, detail = classify(path, _handle(path))
    return {"family": family, "path": path, "detail": detail}


def main():
    found = torch_blas()
    where = found["path"] + (f" ({found['detail']})" if found["detail"] else "")
    if found["family"] == "reference":
        sys.stderr.write(
            "\n*** torch runs its matrix products on the reference BLAS, about 50x slower than an\n"
            f"*** optimised one: sgemm_ comes from {where}.\n*** Fix: {FIX}\n\n")
        return 1
    print(f"BLAS: {found['family']}, {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
