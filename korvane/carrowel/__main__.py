"""python3 -m korvane.carrowel: one trainer from joining to the end of training."""
import sys

from korvane.carrowel import main

if __name__ == "__main__":
    sys.exit(main())
