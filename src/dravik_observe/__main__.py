"""``python -m dravik_observe``: the command line."""

import sys

from dravik_observe.cli import main

sys.exit(main())
