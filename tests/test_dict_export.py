"""MarketBook.to_dict(): the exact export, fresh containers on every call, and what it makes of
lists a caller has edited."""

import pytest

from helpers.compare import exact, prices
from helpers.surface import RICH, RICH_EXPORT


def test_to_dict(book):
    exported = book.to_dict()
    assert exported == RICH_EXPORT
    assert exact(exported) == exact(RICH_EXPORT)  # key order, int/float and the sign of zero
    for runner, runner_dict in zip(book.runners, exported["runners"], strict=True):
        assert runner_dict["status"] is runner.status
    with pytest.raises(TypeError):
        book.to_dict(1)


def test_to_dict_calls_share_nothing(book):
    def containers(value, found):
        if isinstance(value, (dict, list)):
            found.append(value)
            for item in value.values() if isinstance(value, dict) else value:
                containers(item, found)
        return found

    first, second = book.to_dict(), book.to_dict()
    assert first == second
    assert not {id(c) for c in containers(first, [])} & {id(c) for c in containers(second, [])}
    first["runners"][2]["ex"]["availableToBack"].clear()
    assert book.to_dict() == RICH_EXPORT


@pytest.mark.parametrize("place, target", [
    (lambda b: b.runners, "Runner"),
    (lambda b: b.runners[2].ex.available_to_back, "PriceSize"),
    (lambda b: b.runners[2].ex.available_to_lay, "PriceSize"),
    (lambda b: b.runners[0].ex.traded_volume, "PriceSize"),
    (lambda b: b.market_definition.runners, "MarketDefinitionRunner"),
])
def test_to_dict_rejects_foreign_objects(book, place, target):
    for foreign in ((1.5, 2.0), book.market_definition.runners[0], book.runners[0]):
        if type(foreign).__name__ == target:
            continue
        place(book).append(foreign)
        with pytest.raises(TypeError, match=f"cannot be converted to '{target}'"):
            book.to_dict()
        place(book).pop()
        assert book.to_dict() == RICH_EXPORT


def test_to_dict_sees_list_edits(book):
    removed = book.runners.pop(1)
    moved = book.runners[0].ex.available_to_back
    moved.append(book.runners[1].ex.available_to_back[0])
    exported = book.to_dict()
    assert [r["selectionId"] for r in exported["runners"]] == [7, 101, 101]
    assert exported["runners"][0]["ex"]["availableToBack"] == prices((2, 5.5))
    assert exported["numberOfRunners"] == 4 and removed.selection_id == 9


def test_to_dict_is_the_same_from_either_module(stream):
    """The package's replay runs in the second extension module, which keeps keys of its own."""
    import vantrel

    books = list(vantrel.replay(str(stream.write(RICH)), runner_order="key"))
    assert [exact(b.to_dict()) for b in books] == [exact(RICH_EXPORT)]


def test_to_dict_before_and_after_the_price_lists_are_read(book):
    first = exact(book.to_dict())  # no price list asked for yet
    for runner in book.runners:
        runner.ex.available_to_back, runner.ex.available_to_lay, runner.ex.traded_volume
    assert exact(book.to_dict()) == first == exact(RICH_EXPORT)


def _runner_with_back(book, at_least=2):
    return next(r for r in book.runners if len(r.ex.available_to_back) >= at_least)


def _swap(book):
    back = _runner_with_back(book).ex.available_to_back
    back[0], back[1] = back[1], back[0]


def _level_from_another_list(book):
    runner = _runner_with_back(book)
    runner.ex.available_to_back[0] = runner.ex.available_to_lay[-1]


def _levels_to_another_runner(book):
    source = _runner_with_back(book)
    target = next(r for r in book.runners if not r.ex.available_to_lay)
    target.ex.available_to_lay.extend(source.ex.traded_volume + source.ex.available_to_back)


LIST_EDITS = {
    "swap two levels": _swap,
    "level from another list": _level_from_another_list,
    "truncate": lambda b: _runner_with_back(b).ex.available_to_back.__delitem__(slice(1, None)),
    "levels moved to another runner": _levels_to_another_runner,
    "clear": lambda b: _runner_with_back(b, 1).ex.traded_volume.clear(),
    "reverse": lambda b: _runner_with_back(b).ex.available_to_back.reverse(),
    "runners reversed": lambda b: b.runners.reverse(),
    "runner twice": lambda b: b.runners.append(b.runners[0]),
    "definition runners reversed": lambda b: b.market_definition.runners.reverse(),
}


@pytest.mark.parametrize("edit", LIST_EDITS.values(), ids=LIST_EDITS.keys())
@pytest.mark.parametrize("read_first", [False, True], ids=["fresh", "exported-before"])
def test_to_dict_follows_edited_lists(book, edit, read_first):
    if read_first:
        book.to_dict()
    edit(book)
    exported = book.to_dict()

    def levels(items):
        return [{"price": ps.price, "size": ps.size} for ps in items]

    expected_runners = [(r.selection_id, levels(r.ex.available_to_back),
                         levels(r.ex.available_to_lay), levels(r.ex.traded_volume))
                        for r in book.runners]
    assert [(r["selectionId"], r["ex"]["availableToBack"], r["ex"]["availableToLay"],
             r["ex"]["tradedVolume"]) for r in exported["runners"]] == expected_runners
    assert [r["id"] for r in exported["marketDefinition"]["runners"]] == [
        r.selection_id for r in book.market_definition.runners]
    # Every level is a dict of its own, even where the edited list holds one object twice.
    all_levels = [d for r in exported["runners"] for k in r["ex"] for d in r["ex"][k]]
    assert len({id(d) for d in all_levels}) == len(all_levels)
