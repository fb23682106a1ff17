"""`python -m velatro`: the same program as the `velatro` command (see velatro.cli)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
