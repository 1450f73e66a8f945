"""What the command line reports and how it ends: exit statuses and its exceptions."""

from __future__ import annotations

import os

PROG = "vantrel"
USAGE_ERROR = 2
INPUT_ERROR = 1
# the output could not be written, or the system refused anything else
SYSTEM_ERROR = 1
INTERRUPTED = 130
TERMINATED = 128 + 15

FORMATS = {".parquet": "parquet", ".csv": "csv", ".arrow": "arrow", ".feather": "arrow"}
TABLES = ("prices", "trades", "markets", "runners")
PRICE_OPTIONS = ("form", "depth", "every", "inplay", "changed_only", "ladder")


class UsageError(Exception):
    """Bad arguments, found before any input is read."""


class OutputIsInput(Exception):
    """The output names a file the run reads: bad usage, though not of the parser's kind, so
    its usage is not printed."""


class InputError(Exception):
    """An input could not be read (and was not to be skipped)."""


class OutputError(Exception):
    """The system refused to write the output, or a worker's part of it: a folder missing or
    read-only, a full disk. Not bad usage: the arguments were fine."""


def cannot_write(path: str, exc: OSError) -> OutputError:
    # pyarrow's texts wrap the system's in their own ("Error writing bytes to file. Detail: ...")
    reason = os.strerror(exc.errno) if exc.errno else str(exc)
    return OutputError(f"cannot write {path!r}: {reason}")


class MissingPackage(Exception):
    """A package the command needs is not installed."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, met as Ctrl-C is: the same clean-up (workers ended, their parts and the partial
    output removed, the terminal restored), another exit status."""


def on_sigterm(signum: int, frame: object) -> None:
    raise Terminated
