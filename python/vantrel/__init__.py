"""Fast replay of recorded exchange market-stream files into market book snapshots."""

__version__ = "0.1.0"


def _load_engine() -> None:
    # The package's engine is the second module of the native library vantrel.vantrel is the
    # first of, so that a process holds one engine and one copy of everything it keeps. Python
    # finds a library's module by the file's name only: the second is loaded by its own name.
    import sys
    from importlib.machinery import ExtensionFileLoader
    from importlib.util import module_from_spec, spec_from_file_location

    from . import vantrel as first

    name = f"{__name__}._engine"
    if name in sys.modules:
        return
    path = first.__file__
    loader = ExtensionFileLoader(name, path)
    spec = spec_from_file_location(name, path, loader=loader)
    assert spec is not None
    engine = module_from_spec(spec)
    sys.modules[name] = engine
    loader.exec_module(engine)
    globals()["_engine"] = engine


_load_engine()

from ._engine import release_memory
from ._filter import FilterWarning
from ._replay import (
    PriceLadderDescription,
    ReplayError,
    SkippedRecordingWarning,
    TrailingBytesWarning,
    replay,
)
from ._sources import TYPE_CHECKING
from ._tables import catalogue, market_summaries, prices_table, runner_summaries, trades_table
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
    "TrailingBytesWarning",
    "FilterWarning",
    "PriceLadderDescription",
    "prices_table",
    "trades_table",
    "market_summaries",
    "runner_summaries",
    "catalogue",
    "release_memory",
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
