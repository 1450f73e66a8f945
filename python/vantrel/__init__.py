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

__all__ = list(_native.__all__) + ["replay", "ReplayError", "SkippedRecordingWarning"]
