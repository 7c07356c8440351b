"""korvane.carrowel: the pipeline trainer."""
try:
    import torch  # noqa: F401
    import torch.nn  # noqa: F401
    TORCH_AVAILABLE = True
except ImportError:
    TORCH_AVAILABLE = False

from . import _carrowel as _native

if TORCH_AVAILABLE:
    from . import _carrowel_torch

    _native._install_tensor_backend(_carrowel_torch.backend())
    _native._install_stage_tensor_ops(_carrowel_torch.stage_ops())

from ._carrowel import *  # noqa: E402,F401,F403
