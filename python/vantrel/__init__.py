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

__all__ = list(_native.__all__)
