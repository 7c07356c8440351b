"""python3 -m korvane.brisol: the kernel self-test (--help for its options)."""
import sys

from . import _brisol

sys.exit(_brisol._main())
