"""What the command line reports and how it ends: exit statuses and its exceptions."""

from __future__ import annotations

PROG = "vantrel"
USAGE_ERROR = 2
INPUT_ERROR = 1
INTERRUPTED = 130
TERMINATED = 128 + 15

FORMATS = {".parquet": "parquet", ".csv": "csv", ".arrow": "arrow", ".feather": "arrow"}
TABLES = ("prices", "trades", "markets", "runners")
PRICE_OPTIONS = ("form", "depth", "every", "inplay", "changed_only", "ladder")


class UsageError(Exception):
    """Bad arguments, found before any input is read."""


class InputError(Exception):
    """An input could not be read (and was not to be skipped)."""


class MissingPackage(Exception):
    """A package the command needs is not installed."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, met as Ctrl-C is: the same clean-up (workers ended, their parts and the partial
    output removed, the terminal restored), another exit status."""


def on_sigterm(signum: int, frame: object) -> None:
    raise Terminated
