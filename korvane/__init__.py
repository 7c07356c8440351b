"""korvane: a pipeline-parallel training worker (carrowel) and int8 GPU kernels (brisol)."""

__version__ = "0.1.0"
