"""A run killed outright (kill -9, the OOM killer, a job scheduler's limit) can clean up
nothing itself: its workers end on their own once they see it gone, and the next run removes
the files it left, told by the process id in their names."""

from __future__ import annotations

import os
import re
import shutil
import signal
import stat
import sys
import threading

from .._sources import TYPE_CHECKING
from .errors import FORMATS

if TYPE_CHECKING:
    from multiprocessing.connection import Connection


_PARTS_FOLDER_START = ".vantrel-parts-"


def parts_prefix(pid: int | None = None) -> str:
    """The start of the name of a run's hand-over folder: the process id in it tells one
    export's leftovers from another's on a machine that runs several."""
    return f"{_PARTS_FOLDER_START}{os.getpid() if pid is None else pid}-"


def output_part_name(output_name: str) -> str:
    """The name of the file an output is written under until it is complete: hidden, beside
    the output, with this process's id and a token of its own."""
    return f".{output_name}.{os.getpid()}.{os.urandom(4).hex()}.part"


# Only names these functions make, and only output names of the formats written: a file that
# merely looks alike is someone else's.
_SUFFIXES = "|".join(re.escape(suffix) for suffix in FORMATS)
_OUTPUT_PART = re.compile(rf"\..+(?:{_SUFFIXES})\.(\d+)\.[0-9a-f]{{8}}\.part", re.IGNORECASE)
# tempfile.mkdtemp's suffixes: lower-case letters, digits and underscores
_PARTS_FOLDER = re.compile(rf"{re.escape(_PARTS_FOLDER_START)}(\d+)-[a-z0-9_]+")


def pid_alive(pid: int) -> bool:
    """Whether a process of this id runs; in doubt, yes, so nothing of a live run is touched.
    Windows' os.kill ends the process it is given, whatever the signal: it is not asked."""
    if pid <= 0 or os.name != "posix":
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # there, but another user's
        return True
    return True


def _ours(entry: os.DirEntry[str], is_kind: int) -> bool:
    """An entry of the kind wanted (never a link another user planted in a shared folder to
    lead the removal elsewhere), made by this user."""
    try:
        info = entry.stat(follow_symlinks=False)
    except OSError:
        return False
    owner = getattr(os, "getuid", None)
    return stat.S_IFMT(info.st_mode) == is_kind and (owner is None or info.st_uid == owner())


def remove_leftovers(folders: list[str]) -> None:
    """Removes, in `folders`, the output parts and hand-over folders of runs whose process is
    gone. What cannot be removed (another's, in use elsewhere) is left without a word: it is
    no part of this run."""
    for folder in dict.fromkeys(folders):
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue
        for entry in entries:
            part = _OUTPUT_PART.fullmatch(entry.name)
            parts = None if part else _PARTS_FOLDER.fullmatch(entry.name)
            found = part or parts
            if found is None or pid_alive(int(found.group(1))):
                continue
            if part and _ours(entry, stat.S_IFREG):
                try:
                    os.unlink(entry.path)
                except OSError:
                    pass
            elif parts and _ours(entry, stat.S_IFDIR):
                shutil.rmtree(entry.path, ignore_errors=True)


def start_worker(parent: Connection, parent_pid: int, death_signal: bool = True) -> None:
    """What a worker process does first: it leaves Ctrl-C to the parent, and ends when the
    parent does. The pipe's other end is held by the parent alone, so the pipe reaches its end
    exactly when the parent is gone, however it went; Linux's parent-death signal ends the
    worker sooner, even while a long call holds the interpreter."""
    # Ctrl-C reaches the whole process group; the parent alone decides what happens next.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if death_signal:
        _end_with_parent(parent_pid)
    threading.Thread(target=_watch_parent, args=(parent,), name="vantrel parent watch",
                     daemon=True).start()


def _watch_parent(parent: Connection) -> None:
    try:
        parent.recv_bytes()  # the parent never writes: only the end of the pipe comes
    except (EOFError, OSError):
        pass
    # Nothing a worker holds is worth keeping without the parent: its part waits in a folder
    # the next run removes.
    os._exit(1)


# prctl(2)'s option for the signal a process gets when its parent ends
_PR_SET_PDEATHSIG = 1


def _end_with_parent(parent_pid: int) -> None:
    """Linux's parent-death signal. It is tied to the thread that started the worker: the pool
    starts workers from the thread that submits, which outlives them."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return
    # prctl is variadic: every argument passed at its full width
    if prctl(ctypes.c_int(_PR_SET_PDEATHSIG), ctypes.c_ulong(signal.SIGKILL), ctypes.c_ulong(0),
             ctypes.c_ulong(0), ctypes.c_ulong(0)) != 0:
        return
    # The parent may have gone before the signal was asked for: then it never comes.
    if os.getppid() != parent_pid:
        os._exit(1)
