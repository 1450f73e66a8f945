"""Ctrl-C during a long load: the loader checks for signals every few MB, so the load ends with
KeyboardInterrupt soon after the signal, not once the whole file is read."""

import re
import signal
import subprocess
import sys
import time

import vantrel

MIB = 1 << 20

CHILD = r"""
import re, sys, vantrel

def bytes_read():
    with open("/proc/self/io") as io:
        return int(re.search(r"^rchar: (\d+)", io.read(), re.M).group(1))

print(bytes_read(), flush=True)
try:
    vantrel.iter_prices_file(sys.argv[1])
except KeyboardInterrupt:
    print(bytes_read(), flush=True)
    # Nothing of the cut load is left behind: the next load works.
    print(len(vantrel.iter_prices_file(sys.argv[2])), flush=True)
    raise
print("finished", flush=True)
"""


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        return int(re.search(r"^rchar: (\d+)", io.read(), re.M).group(1))


def write_stream(path, megabytes):
    line = b'{"op": "mcm", "pt": %d, "mc": [{"id": "1.1", "rc": [{"id": 7, "atb": [[1.5, %d]]}]}]}\n'
    block = bytearray()
    n = 0
    while len(block) < MIB:
        n += 1
        block += line % (n, n)
    with open(path, "wb") as f:
        for _ in range(megabytes):
            f.write(block)
    return len(block) * megabytes


def test_sigint_stops_a_long_load(tmp_path):
    path = tmp_path / "big.json"
    size = write_stream(path, 200)
    small = tmp_path / "small.json"
    write_stream(small, 1)
    expected_small = len(vantrel.iter_prices_file(str(small)))

    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path), str(small)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        before = int(child.stdout.readline())
        # Wait until the load is well under way, then interrupt it.
        while bytes_read(child.pid) - before < 8 * MIB:
            assert child.poll() is None, "the child ended before it was interrupted"
            time.sleep(0.001)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()

    assert child.returncode == -signal.SIGINT, err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    stopped_at, reloaded = map(int, out.split())
    assert stopped_at - before < size // 2
    assert reloaded == expected_small
