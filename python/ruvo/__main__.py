"""``python -m ruvo`` and the ``ruvo`` script: the command lives in :mod:`ruvo.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
