"""python3 -m korvane.brisol: the kernel self-test (--help for its options)."""
import sys

from . import _brisol

if __name__ == "__main__":
    sys.exit(_brisol._main())
