"""Ctrl-C during a long load: the loader checks for signals every few MB, so the load ends with
KeyboardInterrupt soon after the signal, not once the whole file is read."""

import os
import re
import signal
import subprocess
import sys
import tarfile
import time

import pytest

import vantrel

MIB = 1 << 20

PRELUDE = r"""
import re, signal, sys, vantrel

# A shell starts a background job with SIGINT ignored, and Python then keeps it so; what is
# tested here is how a load answers Python's own handler, wherever the suite runs.
signal.signal(signal.SIGINT, signal.default_int_handler)

def bytes_read():
    with open("/proc/self/io") as io:
        return int(re.search(r"^rchar: (\d+)", io.read(), re.M).group(1))

print(bytes_read(), flush=True)
"""

CHILD = PRELUDE + r"""
try:
    vantrel.iter_prices_file(sys.argv[1])
except KeyboardInterrupt:
    print(bytes_read(), flush=True)
    # Nothing of the cut load is left behind: the next load works.
    print(len(vantrel.iter_prices_file(sys.argv[2])), flush=True)
    raise
print("finished", flush=True)
"""

# The same through vantrel.replay, over an archive, with the threads given and keeping only the
# markets named after them.
REPLAY_CHILD = PRELUDE + r"""
threads = int(sys.argv[3])
try:
    for book in vantrel.replay(sys.argv[1], threads=threads, markets=sys.argv[4:]):
        pass
except KeyboardInterrupt:
    print(bytes_read(), flush=True)
    print(sum(1 for _ in vantrel.replay(sys.argv[2], threads=threads)), flush=True)
    raise
print("finished", flush=True)
"""

# A table, its recordings loaded on several threads with the interpreter lock released.
TABLE_CHILD = PRELUDE + r"""
try:
    vantrel.trades_table(sys.argv[1], threads=2)
except KeyboardInterrupt:
    print(bytes_read(), flush=True)
    print(vantrel.trades_table(sys.argv[2], threads=2).num_rows, flush=True)
    raise
print("finished", flush=True)
"""


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        return int(re.search(r"^rchar: (\d+)", io.read(), re.M).group(1))


def stream_block():
    """About a MiB of whole lines of one market's changes."""
    line = b'{"op": "mcm", "pt": %d, "mc": [{"id": "1.1", "rc": [{"id": 7, "atb": [[1.5, %d]]}]}]}\n'
    block = bytearray()
    n = 0
    while len(block) < MIB:
        n += 1
        block += line % (n, n)
    return bytes(block)


def write_stream(path, megabytes):
    block = stream_block()
    with open(path, "wb") as f:
        for _ in range(megabytes):
            f.write(block)
    return len(block) * megabytes


def write_tar(path, members, megabytes):
    """A plain tar of `members` recordings of `megabytes` each, written without a copy in memory."""
    block = stream_block()
    size = len(block) * megabytes
    with open(path, "wb") as f:
        for i in range(members):
            info = tarfile.TarInfo(f"{i}.json")
            info.size = size
            f.write(info.tobuf(format=tarfile.GNU_FORMAT))
            for _ in range(megabytes):
                f.write(block)
            f.write(bytes(-size % tarfile.BLOCKSIZE))
        f.write(bytes(2 * tarfile.BLOCKSIZE))
    return size * members


def signal_child(child, before, feed=None):
    """Waits until the child has read 8 MiB of its input (fed by `feed` when it is a pipe),
    interrupts it and returns how much it had read then (None when it was already gone)."""
    while True:
        try:
            read = bytes_read(child.pid) - before
        except OSError:
            return None
        if read >= 8 * MIB:
            break
        assert child.poll() is None, "the child ended before it was interrupted"
        if feed:
            feed()
        else:
            time.sleep(0.001)
    child.send_signal(signal.SIGINT)
    return read


def interrupt(child_code, args, size, attempts=5):
    """Runs the child, interrupts it once it has read 8 MiB, and returns its output numbers.

    On a busy machine the child may read the whole input before this process gets to signal
    it: that run shows nothing, either way, and is run again."""
    for _ in range(attempts):
        child = subprocess.Popen([sys.executable, "-c", child_code, *args],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            before = int(child.stdout.readline())
            read = signal_child(child, before)
            out, err = child.communicate(timeout=300)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        if child.returncode != 0 or (read is not None and read < size):
            break
    assert child.returncode == -signal.SIGINT, out + err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    stopped_at, reloaded = map(int, out.split())
    assert stopped_at - before < size // 2
    return reloaded


def test_sigint_stops_a_long_load(tmp_path):
    path = tmp_path / "big.json"
    size = write_stream(path, 200)
    small = tmp_path / "small.json"
    write_stream(small, 1)
    expected_small = len(vantrel.iter_prices_file(str(small)))
    assert interrupt(CHILD, [str(path), str(small)], size) == expected_small


@pytest.mark.parametrize("members, megabytes, markets", [
    (1, 200, ["1.1"]),
    # Nothing comes out to Python between members the filter drops: the replay itself must
    # look for the signal.
    (200, 1, ["1.9"]),
], ids=["one long member", "many members kept by no filter"])
@pytest.mark.parametrize("threads", [1, 3])
def test_sigint_stops_a_long_archive(tmp_path, members, megabytes, markets, threads):
    path = tmp_path / "big.tar"
    size = write_tar(path, members, megabytes)
    small = tmp_path / "small.tar"
    write_tar(small, 2, 1)
    expected_small = sum(1 for _ in vantrel.replay(str(small)))
    assert interrupt(REPLAY_CHILD, [str(path), str(small), str(threads), *markets],
                     size) == expected_small


def test_sigint_stops_a_table_built_on_threads(tmp_path):
    pytest.importorskip("pyarrow")
    path = tmp_path / "big.tar"
    size = write_tar(path, 40, 5)
    small = tmp_path / "small.tar"
    write_tar(small, 2, 1)
    expected_small = vantrel.trades_table(str(small)).num_rows
    assert interrupt(TABLE_CHILD, [str(path), str(small)], size) == expected_small


def test_sigint_stops_a_load_waiting_on_a_pipe(tmp_path):
    """A pipe whose writer has nothing more to say yet: the load waits in a read, and Ctrl-C
    must end it there rather than when more bytes come (they never do here)."""
    fifo = tmp_path / "stream.fifo"
    os.mkfifo(fifo)
    small = tmp_path / "small.json"
    write_stream(small, 1)
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(fifo), str(small)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    block = stream_block()
    try:
        before = int(child.stdout.readline())
        with open(fifo, "wb") as writer:
            for _ in range(9):
                writer.write(block)
            writer.flush()
            # The writer stays open and silent until the child is done.
            assert signal_child(child, before) is not None
            try:
                out, err = child.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                pytest.fail("Ctrl-C did not stop a load waiting on its input")
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == -signal.SIGINT, out + err
    stopped_at, reloaded = map(int, out.split())
    assert 9 * len(block) <= stopped_at - before < 10 * len(block)  # (and its /proc reads)
    assert reloaded == len(vantrel.iter_prices_file(str(small)))


# vantrel.replay or a table over a FIFO: the package reads on a worker thread, which must stop
# waiting when Ctrl-C ends the replay, or the replay could never let go of it.
FIFO_CHILD = PRELUDE + r"""
import os
if sys.argv[3] == "table":
    run = lambda: vantrel.prices_table(sys.argv[1])
else:
    run = lambda: sum(1 for _ in vantrel.replay(sys.argv[1]))
print("waiting", flush=True)
try:
    run()
except KeyboardInterrupt:
    print(sum(1 for _ in vantrel.replay(sys.argv[2])), flush=True)
    raise
print("finished", flush=True)
"""


@pytest.mark.parametrize("writer", ["none", "silent"])
@pytest.mark.parametrize("call", ["replay", "table"])
def test_sigint_ends_a_replay_waiting_on_a_fifo(tmp_path, writer, call):
    pytest.importorskip("pyarrow")
    fifo = tmp_path / "nobody.fifo"
    os.mkfifo(fifo)
    small = tmp_path / "small.json"
    write_stream(small, 1)
    child = subprocess.Popen([sys.executable, "-c", FIFO_CHILD, str(fifo), str(small), call],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    held = None
    try:
        child.stdout.readline()  # bytes read so far
        assert child.stdout.readline() == "waiting\n"
        if writer == "silent":
            held = os.open(fifo, os.O_WRONLY)  # opened, and never written to
        time.sleep(0.5)  # well into the wait
        child.send_signal(signal.SIGINT)
        try:
            out, err = child.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            pytest.fail("Ctrl-C did not end a replay waiting on a FIFO")
    finally:
        if held is not None:
            os.close(held)
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == -signal.SIGINT, out + err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert int(out) == sum(1 for _ in vantrel.replay(str(small)))


def test_a_fifo_is_replayed_when_its_writer_comes(tmp_path):
    fifo = tmp_path / "late.fifo"
    os.mkfifo(fifo)
    source = tmp_path / "source.json"
    write_stream(source, 1)
    writer = subprocess.Popen([sys.executable, "-c",
                               "import sys, time; time.sleep(0.3); "
                               "open(sys.argv[1], 'wb').write(open(sys.argv[2], 'rb').read())",
                               str(fifo), str(source)])
    try:
        assert sum(1 for _ in vantrel.replay(str(fifo))) == sum(1 for _ in vantrel.replay(str(source)))
    finally:
        if writer.poll() is None:
            writer.kill()
        writer.wait()
