import sys

from korvane.carrowel import main

sys.exit(main())
