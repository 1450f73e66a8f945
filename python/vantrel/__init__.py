"""Fast replay of recorded exchange market-stream files into market book snapshots."""

__version__ = "0.1.0"

from ._filter import FilterWarning
from ._replay import PriceLadderDescription, ReplayError, SkippedRecordingWarning, replay
from ._sources import TYPE_CHECKING
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

if TYPE_CHECKING:
    from ._options import (
        DtypeBackend,
        Errors,
        Form,
        Ladder,
        MarketFilterKeys,
        Readable,
        RunnerOrder,
        Source,
        Window,
    )
else:
    def __getattr__(name: str) -> object:
        # The argument types need typing, which `import vantrel` does without: made on first use.
        if name in ("Source", "Form", "Ladder", "Errors", "RunnerOrder", "DtypeBackend",
                    "Readable", "MarketFilterKeys", "Window"):
            from . import _options

            return _options.PUBLIC[name]
        raise AttributeError(f"module 'vantrel' has no attribute {name!r}")

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
    "FilterWarning",
    "PriceLadderDescription",
    "prices_table",
    "trades_table",
    "market_summaries",
    "runner_summaries",
    "Source",
    "Form",
    "Ladder",
    "Errors",
    "RunnerOrder",
    "DtypeBackend",
    "Readable",
    "MarketFilterKeys",
    "Window",
]
