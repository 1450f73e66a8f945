"""The iterator under the collector and under memory exhaustion."""

import ctypes
import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

import vantrel
from helpers.recordings import message

DEFINITION = {"status": "OPEN", "marketTime": "2024-05-01T13:00:00.000Z",
              "runners": [{"id": 7, "sortPriority": 1}, {"id": 8, "sortPriority": 2}]}


def recording():
    return [
        message(1_000, {"id": "1.5", "img": True, "marketDefinition": DEFINITION,
                        "rc": [{"id": 7, "atb": [[2, 5]], "atl": [[3, 4]], "trd": [[2.5, 9]]}]}),
        message(2_000, {"id": "1.5", "rc": [{"id": 8, "atb": [[4, 1]]}]}),
        message(3_000, {"id": "1.5", "rc": [{"id": 8, "atl": [[5, 1]]}]}),
    ]


class Holder:
    pass


@pytest.mark.parametrize("place", [
    lambda book: book.runners[0].ex.available_to_lay,
    lambda book: book.runners[0].ex.traded_volume,
    lambda book: book.market_definition.runners,
], ids=["price list", "traded list", "definition runners"])
def test_cycle_through_the_reuse_slots_is_collected(stream, place):
    # The iterator keeps these objects for reuse; an object stored in one that refers back to
    # the iterator closes a loop only the collector can break.
    it = vantrel.iter_prices_file(stream.write(recording()))
    book = next(it)
    holder = Holder()
    holder.iterator = it
    place(book).append(holder)
    probe = weakref.ref(holder)
    del it, book, holder
    gc.collect()
    assert probe() is None


def test_iterator_goes_on_after_the_collector_cleared_its_slots(stream):
    it = vantrel.iter_prices_file(stream.write(recording()))
    first = next(it)
    gc.collect()
    rest = list(it)
    assert [b.publish_time_epoch for b in rest] == [2_000, 3_000]
    assert rest[0].runners[0] is first.runners[0]


# Runs in a child: the address-space limit would starve the test process itself.
MEMORY_CHILD = textwrap.dedent("""
    import resource, sys
    import vantrel
    it = vantrel.iter_prices_file(sys.argv[1])
    first = next(it)

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (8 << 20), hard))
    try:
        next(it)
    except MemoryError:
        print("MemoryError")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    after = next(it)
    print(after.publish_time_epoch, len(after.runners), sorted(r.selection_id for r in after.runners))
""")


# AddressSanitizer reserves its own memory and aborts when the limit stops it.
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit stops the sanitizer's allocator")
def test_allocation_failure_in_a_step_raises_memory_error(stream):
    # The second message grows one ladder by a million levels: far more than the limit the
    # child sets, so the cache's own allocation fails inside the step.
    levels = ",".join(f"[{1 + i / 1024},1]" for i in range(1, 1_000_001))
    huge = '{"op":"mcm","pt":1500,"mc":[{"id":"1.5","rc":[{"id":9,"atb":[%s]}]}]}' % levels
    lines = recording()
    lines.insert(1, huge)
    path = stream.write(lines)
    child = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[:2] == ["MemoryError", "2000 3 [7, 8, 9]"]


def _summary(path):
    return [(b.publish_time_epoch, [(r.selection_id, [(p.price, p.size) for p in r.ex.available_to_back])
                                    for r in b.runners]) for b in vantrel.iter_prices_file(path)]


def _market(market_id, base):
    return [message(1_000 + i, {"id": market_id, "img": i == 0, "marketDefinition": DEFINITION,
                                "rc": [{"id": 7, "atb": [[base, 10 + i]]}]})
            for i in range(300)]


def test_files_loaded_in_turn_side_by_side_and_in_a_forked_child_read_as_their_own(stream):
    # Loads hand their memory on to the next load (in this thread, and across threads and a
    # fork): a file must never read another's messages, whichever order they come and go in.
    paths = [stream.write(_market("1.1", 2)), stream.write(_market("1.2", 5), gzipped=True)]
    expected = [[(1_000 + i, [(7, [(base, 10.0 + i)]), (8, [])]) for i in range(300)]
                for base in (2, 5)]
    for _ in range(3):
        assert [_summary(p) for p in paths] == expected
    first, second = (vantrel.iter_prices_file(p) for p in paths)
    pairs = list(zip(first, second))
    assert [(a.runners[0].ex.available_to_back[0].size, b.runners[0].ex.available_to_back[0].size)
            for a, b in pairs] == [(10.0 + i, 10.0 + i) for i in range(300)]
    assert {(a.runners[0].ex.available_to_back[0].price, b.runners[0].ex.available_to_back[0].price)
            for a, b in pairs} == {(2, 5)}
    del first, second, pairs
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent("""
            import os, sys, vantrel
            paths = sys.argv[1:]
            books = [len(list(vantrel.iter_prices_file(p))) for p in paths]
            pid = os.fork()
            if pid == 0:
                again = [len(list(vantrel.iter_prices_file(p))) for p in reversed(paths)]
                last = [list(vantrel.iter_prices_file(p))[-1].runners[0].ex.available_to_back[0]
                        for p in paths]
                ok = again == books[::-1] and [(l.price, l.size) for l in last] == [(2, 309), (5, 309)]
                os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            print(os.waitstatus_to_exitcode(status))
        """), *paths], capture_output=True, text=True, timeout=120)
    assert child.stdout.strip() == "0", child.stderr
