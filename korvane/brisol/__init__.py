"""korvane.brisol: int8 GPU kernels, compiled from CUDA C at run time with NVRTC."""
import torch  # noqa: F401  (loaded first: tensors cross into the native module)

from . import _brisol
from ._brisol import CompiledKernel, ZEBCuPyKernels, _get_kernel_sources  # noqa: F401

CUPY_AVAILABLE = _brisol.CUPY_AVAILABLE
