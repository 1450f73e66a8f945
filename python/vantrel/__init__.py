"""Fast replay of recorded exchange market-stream files into market book snapshots."""

from ._replay import PriceLadderDescription, ReplayError, SkippedRecordingWarning, replay
from ._tables import market_summaries, prices_table, runner_summaries, trades_table
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

# The module's names first, in its own order, then the package's.
__all__ = [
    "iter_prices_file",
    "PricesIterator",
    "MarketBook",
    "Runner",
    "ExchangePrices",
    "StartingPrices",
    "PriceSize",
    "MarketDefinition",
    "MarketDefinitionRunner",
    "replay",
    "ReplayError",
    "SkippedRecordingWarning",
    "PriceLadderDescription",
    "prices_table",
    "trades_table",
    "market_summaries",
    "runner_summaries",
]
