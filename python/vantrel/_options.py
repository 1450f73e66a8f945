"""The types of the package's arguments: what a source may be, and one Literal per option.

The values each option takes are written once, in its Literal, and the checks the functions
make at run time are read from it: a new value is one edit here. This module imports typing,
which `import vantrel` does not, so the package imports it only when an option is checked;
`vantrel.Source`, `vantrel.Form` and the others come from here on first use.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Literal, Protocol, get_args

__all__ = ["DtypeBackend", "Errors", "Form", "Ladder", "Readable", "RunnerOrder", "Source"]


class Readable(Protocol):
    """A binary file object: anything whose read() gives the rest of its bytes."""

    def read(self, size: int = -1, /) -> bytes: ...


# What a source argument may be: a path, a directory, a glob pattern or a URL (through fsspec),
# bytes, a binary file object, or any iterable of these.
type Source = (str | os.PathLike[str] | bytes | bytearray | memoryview | Readable
               | Iterable[Source])

# The shape of prices_table: the best levels per book and runner, one row per ladder level, or
# the last price traded alone.
type Form = Literal["best", "ladder", "ltp"]

# The ladder prices_table reads: per runner and side the first of full, best display and best
# available that has levels (what betfairlightweight hands out), or one of them alone.
type Ladder = Literal["auto", "full", "display", "best"]

# What becomes of an unreadable recording: a ReplayError, or a warning and on to the next one.
type Errors = Literal["raise", "skip"]

# Runners in the order the market's definition first listed them, or by selection id.
type RunnerOrder = Literal["definition", "key"]

# The pandas dtypes of vantrel.dask's frames, named as pandas' readers name them.
type DtypeBackend = Literal["numpy_nullable", "pyarrow"]

FORMS: tuple[str, ...] = get_args(Form.__value__)
LADDERS: tuple[str, ...] = get_args(Ladder.__value__)
ERRORS: tuple[str, ...] = get_args(Errors.__value__)
RUNNER_ORDERS: tuple[str, ...] = get_args(RunnerOrder.__value__)
DTYPE_BACKENDS: tuple[str, ...] = get_args(DtypeBackend.__value__)

# The names the package gives these types, handed out by its module __getattr__.
PUBLIC = {"Source": Source, "Form": Form, "Ladder": Ladder, "Errors": Errors,
          "RunnerOrder": RunnerOrder, "DtypeBackend": DtypeBackend, "Readable": Readable}
