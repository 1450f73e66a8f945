"""Reference counting and collection: replays leave nothing behind, and snapshots kept in cycles
are collected."""

import gc
import random
import sys
import weakref

import pytest

import vantrel
from helpers.recordings import message


def generated_recording(seed, count=240):
    rng = random.Random(seed)
    definition = {"status": "OPEN", "marketTime": "2024-05-01T13:00:00.000Z", "regulators": ["MR_INT"],
                  "runners": [{"id": s, "sortPriority": s, "name": f"R{s}", "bsp": 3.5} for s in range(1, 7)]}
    lines = [message(1_714_568_400_000, {"id": "1.5", "img": True, "marketDefinition": definition})]
    for step in range(1, count):
        changes = [{"id": "1.5", "tv": step * 2.5, "rc": [
            {"id": rng.randint(1, 8), "hc": rng.choice([0, 0.5]),
             rng.choice(["atb", "atl", "trd", "spb", "spl"]): [[rng.choice([1.5, 2, 3.25, 4]), rng.randint(0, 3)]],
             "ltp": rng.choice([2, 3]), rng.choice(["spn", "spf"]): rng.choice([1.5, "NaN", None])}
            for _ in range(rng.randint(0, 3))]}]
        if step % 40 == 0:
            changes[0]["marketDefinition"] = dict(definition, version=step)
        lines.append(message(1_714_568_400_000 + step * 50, *changes))
    return lines


def test_replays_release_everything(stream):
    good = stream.write(generated_recording(1), gzipped=True)
    failing = generated_recording(2)
    failing[60]["mc"][0]["marketDefinition"] = {"marketTime": "never"}
    failing[100]["pt"] = 253402300800000
    failing = stream.write(failing)

    def with_to_dict():
        for book in vantrel.iter_prices_file(good):
            book.to_dict()
            book.streaming_unique_id = 3

    def kept_then_dropped():
        books = list(vantrel.iter_prices_file(good))
        books[-1].runners[0].ex.available_to_back.append("not a price")
        with pytest.raises(TypeError):
            books[-1].to_dict()

    def abandoned():
        it = vantrel.iter_prices_file(good)
        for _ in range(len(it) // 2):
            next(it).runners[0].sp.back_stake_taken

    def with_errors():
        it = vantrel.iter_prices_file(failing)
        while True:
            try:
                next(it)
            except StopIteration:
                break
            except (ValueError, OverflowError, OSError):
                pass

    scenarios = [with_to_dict, kept_then_dropped, abandoned, with_errors]
    for scenario in scenarios * 3:
        scenario()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(25):
        for scenario in scenarios:
            scenario()
    gc.collect()
    # The interpreter's own caches move by a hundred blocks or so; one object lost per message,
    # or per definition built, adds thousands.
    assert sys.getallocatedblocks() - before < 400


class Marker:
    pass


@pytest.mark.parametrize("place", [
    lambda book: book.runners,
    lambda book: book.runners[0].ex.available_to_back,
    lambda book: book.runners[0].ex.traded_volume,
])
def test_snapshot_stored_in_its_own_lists_is_collected(stream, place):
    # A strategy may keep a book inside something the book itself reaches; once nothing else
    # holds that loop, the collector must be able to free it.
    it = vantrel.iter_prices_file(stream.write(generated_recording(3, count=30)))
    books = [next(it) for _ in range(3)]
    marker = Marker()
    probe = weakref.ref(marker)
    for book in books[:2]:
        place(book).append(book)
    place(books[0]).append(marker)
    del book, books, marker, it
    gc.collect()
    assert probe() is None
