"""Fast replay of recorded exchange market-stream files into market book snapshots."""

from .vantrel import (
    ExchangePrices,
    MarketBook,
    MarketDefinition,
    MarketDefinitionRunner,
    PriceSize,
    PricesIterator,
    Runner,
    StartingPrices,
    iter_prices_file,
)
from . import vantrel as _native
from ._replay import ReplayError, SkippedRecordingWarning, replay
from ._tables import market_summaries, prices_table, runner_summaries, trades_table

__all__ = list(_native.__all__) + [
    "replay",
    "ReplayError",
    "SkippedRecordingWarning",
    "prices_table",
    "trades_table",
    "market_summaries",
    "runner_summaries",
]
