"""What a command line run leaves: its workers, whether they still run (read from /proc, so
Linux only: callers skip without it), and its hand-over folders."""

import glob
import os
import tempfile
import time

from vantrel.cli import parts_prefix


def parts_folders(pid, *places):
    """The hand-over folders of the export running as `pid`, in every place it may put them:
    other exports on the machine have folders of their own."""
    places = ("/dev/shm", tempfile.gettempdir(), *map(str, places))
    prefix = parts_prefix(pid)
    return {p for place in places for p in glob.glob(os.path.join(place, prefix + "*"))}


def workers_of(pid):
    """The processes whose parent is `pid`."""
    children = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == pid:
            children.append(int(entry))
    return children


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def still_running(pids, within=10.0):
    """Those of `pids` that still run after waiting up to `within` seconds for all to end."""
    deadline = time.monotonic() + within
    while any(map(running, pids)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return [pid for pid in pids if running(pid)]
