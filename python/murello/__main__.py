"""``python -m murello``: the command line."""

import sys

from murello.cli import main

sys.exit(main())
