"""`python -m vantrel`: the command line."""

import sys

from .cli import main

# Worker processes import this module again under another name; only the real run starts work.
if __name__ == "__main__":
    sys.exit(main())
