# Types of the extension module behind the package's own API (use vantrel.replay).
from collections.abc import Callable, Iterable, Iterator
from typing import Any, final

@final
class ReplayIterator(Iterator[Any]):
    # MarketBook objects, or (recording number, books) per message with per_message=True.
    def __iter__(self) -> ReplayIterator: ...
    def __next__(self) -> Any: ...
    # The books of the last message its caller's listener left out, by position.
    def left_out(self, positions: list[int], /) -> None: ...

def replay(
    inputs: Iterable[tuple[str, object]],
    on_error: Callable[..., object],  # (file, member, reason[, read])
    *,
    filter: dict[str, list[str] | bool | str] | None = None,
    unmatched: Callable[[list[str]], object] | None = None,
    naive_times: bool = False,
    appearance_order: bool = True,
    max_recording_bytes: int = 0,
    per_message: bool = False,
    dict_levels: bool = False,
    price_ladder_description: Callable[..., object] | None = None,
    calculate_market_tv: bool = False,
    cumulative_runner_tv: bool = False,
    activity: bool = False,
    threads: int = 1,
) -> ReplayIterator: ...

def names_event(name: str) -> bool: ...

def tar_members(path: str) -> list[tuple[int, int, bytes, bool]] | None: ...

def build_table(
    inputs: Iterable[tuple[str, object]],
    on_error: Callable[..., object],  # (file, member, reason[, read])
    table: str,
    *,
    filter: dict[str, list[str] | bool | str] | None = None,
    unmatched: Callable[[list[str]], object] | None = None,
    max_recording_bytes: int = 0,
    form: str = "best",
    depth: int = 3,
    inplay: bool | None = None,
    every_ms: int = 0,
    changed_only: bool = False,
    window: tuple[int | None, int | None] | None = None,
    offsets: object = None,
    ladder: str = "auto",
    counts: list[tuple[int, int]] | None = None,
    threads: int = 1,
) -> list[tuple[str, str, int, int, list[object], int, list[object]]]: ...

def parser_path() -> str: ...

def release_memory() -> None:
    """Gives back everything the engine keeps for later calls."""

def kept_memory() -> dict[str, int]: ...
