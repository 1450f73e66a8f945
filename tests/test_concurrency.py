"""The package's replay from several threads, across a fork and abandoned by the thousand: its
read-ahead worker must neither mix recordings up, nor hang, nor pile up threads or memory."""

import ctypes
import io
import json
import subprocess
import sys
import tarfile
import textwrap
import threading

import pytest

import vantrel
from helpers.recordings import market_recording


def archive(path, members=12, messages=150):
    with tarfile.open(path, "w") as tar:
        for i in range(members):
            lines = market_recording(f"1.{100 + i}", i, messages)
            data = "".join(json.dumps(m) + "\n" for m in lines).encode()
            info = tarfile.TarInfo(f"{i}.json")
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return str(path)


def fingerprint(book):
    back = book.runners[0].ex.available_to_back
    return (book.market_id, book.publish_time, back[0].price if back else None)


@pytest.fixture(scope="module")
def month(tmp_path_factory):
    path = archive(tmp_path_factory.mktemp("threads") / "month.tar")
    return path, [fingerprint(b) for b in vantrel.replay(path)]


def test_eight_threads_each_with_a_replay_of_their_own(month):
    path, expected = month
    results = [None] * 8
    errors = []

    def run(i):
        try:
            results[i] = [fingerprint(b) for b in vantrel.replay(path)]
        except BaseException as exc:  # handed to the main thread's assertion
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and all(r == expected for r in results)


def test_an_iterator_shared_between_threads_hands_each_book_out_once(month):
    path, expected = month
    replay = vantrel.replay(path)
    taken = [[] for _ in range(4)]
    busy = []

    def run(mine):
        while True:
            try:
                book = next(replay)
            except StopIteration:
                return
            except RuntimeError as exc:  # another thread is inside next()
                busy.append(str(exc))
                continue
            mine.append(fingerprint(book))

    threads = [threading.Thread(target=run, args=(t,)) for t in taken]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert set(busy) <= {SHARED}
    got = [b for t in taken for b in t]
    assert sorted(got, key=repr) == sorted(expected, key=repr)
    for t in taken:  # each thread saw its books in the replay's order
        assert t == [b for b in expected if b in set(t)]


SHARED = ("this replay is being iterated by another thread; an iterator is not shared between "
          "threads at once")


class HeldRead:
    """A file object whose read() runs inside the replay's next(): it holds that call until
    `release` is set, or calls `during` in it."""

    def __init__(self, data, during=None):
        self.data, self.during = data, during
        self.entered, self.release = threading.Event(), threading.Event()

    def read(self):
        self.entered.set()
        if self.during is not None:
            self.during()
        assert self.release.wait(60)
        return self.data


@pytest.fixture
def recording():
    return "".join(json.dumps(m) + "\n" for m in market_recording("1.100", 3, 20)).encode()


def test_a_second_thread_is_told_the_iterator_is_in_use(recording):
    held = HeldRead(recording)
    replay = vantrel.replay([held])
    books = []
    first = threading.Thread(target=lambda: books.extend(replay))
    first.start()
    try:
        assert held.entered.wait(60)
        with pytest.raises(RuntimeError) as refused:
            next(replay)
        assert str(refused.value) == SHARED
    finally:
        held.release.set()
        first.join(60)
    assert len(books) == len(list(vantrel.replay(recording)))  # the first thread lost nothing


def test_a_call_from_inside_the_iterator_is_told_so(recording):
    refused = []

    def again():
        try:
            next(replay)
        except RuntimeError as exc:
            refused.append(str(exc))

    held = HeldRead(recording, again)
    held.release.set()
    replay = vantrel.replay([held])
    assert len(list(replay)) == len(list(vantrel.replay(recording)))
    assert refused == ["this replay was called again from code it ran while making a book"]


FORK_CHILD = textwrap.dedent("""
    import gc, os, signal, sys, time, warnings, vantrel
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
    path, small = sys.argv[1:]
    replay = vantrel.replay(path)
    first = [next(replay) for _ in range(5)]
    time.sleep(0.05)  # the worker is reading ahead now
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)
        fresh = sum(1 for _ in vantrel.replay(small))
        try:  # what the parent had read ahead did not come across with a thread to finish it
            inherited = sum(1 for _ in replay)
            outcome = "went on" if inherited else "ended"
        except RuntimeError as exc:
            outcome = str(exc)
        del replay, first
        gc.collect()
        print(fresh, outcome, flush=True)
        os._exit(0)
    rest = sum(1 for _ in replay)
    _, status = os.waitpid(pid, 0)
    print(5 + rest, os.waitstatus_to_exitcode(status), flush=True)
""")


def test_fork_while_the_read_ahead_runs(month, tmp_path):
    path, expected = month
    small = archive(tmp_path / "small.tar", members=2, messages=20)
    done = subprocess.run([sys.executable, "-c", FORK_CHILD, path, small], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    child, parent = done.stdout.splitlines()
    fresh, outcome = child.split(" ", 1)
    assert int(fresh) == sum(1 for _ in vantrel.replay(small))
    assert "fork" in outcome  # named, not a silent end or a hang
    assert parent.split() == [str(len(expected)), "0"]


ABANDON_CHILD = textwrap.dedent("""
    import gc, os, sys, threading, vantrel
    path = sys.argv[1]

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def abandon(count):
        for _ in range(count):
            replay = vantrel.replay(path)
            next(replay)
            del replay

    abandon(200)
    gc.collect()
    before = rss()
    abandon(2000)
    gc.collect()
    print(threading.active_count(), len(os.listdir("/proc/self/task")), rss() - before, flush=True)
""")


def test_abandoned_iterators_leave_no_threads_or_memory(month):
    path, _ = month
    done = subprocess.run([sys.executable, "-c", ABANDON_CHILD, path], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    python_threads, os_threads, grown = map(int, done.stdout.split())
    assert python_threads == 1 and os_threads == 1
    # AddressSanitizer holds freed memory back in its quarantine: growth says nothing there.
    if not hasattr(ctypes.CDLL(None), "__asan_init"):
        assert grown < 64 << 20
