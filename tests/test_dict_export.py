"""MarketBook.to_dict(): the exact export, fresh containers on every call, and what it makes of
lists a caller has edited."""

import pytest

from helpers.compare import exact, prices
from helpers.surface import RICH_EXPORT


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
