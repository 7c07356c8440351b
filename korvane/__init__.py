"""korvane: a pipeline-parallel training worker (carrowel) and int8 GPU kernels (brisol)."""
