"""Fixtures and hooks every test file shares; the code behind them lives in helpers/."""

import pytest

from helpers.recordings import StreamFiles, replayed
from helpers.surface import RICH

# Python 3.12 deprecates utcfromtimestamp, which the publish-time conversion calls on purpose;
# the warning is the interpreter's, and tests that care about it set their own filters.
UTC_DEPRECATION = r"ignore:datetime\.datetime\.utcfromtimestamp\(\) is deprecated:DeprecationWarning"


def pytest_configure(config):
    config.addinivalue_line("filterwarnings", UTC_DEPRECATION)


@pytest.fixture
def stream(tmp_path):
    return StreamFiles(tmp_path)


@pytest.fixture
def book(stream):
    """The snapshot of the fully populated market (helpers.surface.RICH)."""
    return stream.replay(RICH)[0]


@pytest.fixture
def samples(stream, book):
    """One instance of each Python-visible class, by class name."""
    runner = book.runners[2]
    return {"PricesIterator": stream.open(RICH), "MarketBook": book, "Runner": runner,
            "ExchangePrices": runner.ex, "StartingPrices": runner.sp,
            "PriceSize": runner.ex.available_to_back[0], "MarketDefinition": book.market_definition,
            "MarketDefinitionRunner": book.market_definition.runners[0]}


@pytest.fixture(scope="session")
def plain_books(tmp_path_factory):
    """plain_books(*recordings): their books replayed one by one from plain files, joined."""
    folder = tmp_path_factory.mktemp("plain")
    cache = {}

    def books(*recordings):
        out = []
        for data in recordings:
            if data not in cache:
                path = folder / f"{len(cache)}.json"
                path.write_bytes(data)
                cache[data] = replayed(str(path))
            out += cache[data]
        return out

    return books
