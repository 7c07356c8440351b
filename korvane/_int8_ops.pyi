"""Types of korvane._int8_ops, the native module that registers torch.ops.korvane.int8_*
(the int8 layer's operators) on import, with their constants."""

QMAX: int
SCALE_FLOOR: float
GROUP_SIZE: int
SIGN_BOOST: float
SIGN_BRAKE: float
VAR_BETA: float
VAR_EPS: float
