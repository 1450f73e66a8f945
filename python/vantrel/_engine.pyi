# Types of the extension module behind the package's own API (use vantrel.replay).
from collections.abc import Callable, Iterable, Iterator
from typing import final

from .vantrel import MarketBook

@final
class ReplayIterator(Iterator[MarketBook]):
    def __iter__(self) -> ReplayIterator: ...
    def __next__(self) -> MarketBook: ...

def replay(
    inputs: Iterable[tuple[str, object]],
    on_error: Callable[[str, str | None, str], object],
    *,
    markets: list[str] | None = None,
    market_types: list[str] | None = None,
    naive_times: bool = False,
    definition_order: bool = True,
    bet_delay_models: bool = True,
    max_recording_bytes: int = 0,
) -> ReplayIterator: ...
