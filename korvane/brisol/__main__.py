"""python3 -m korvane.brisol: the kernel self-test."""
import sys

from . import _brisol

sys.exit(_brisol._self_test())
