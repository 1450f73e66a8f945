# Types of the extension module vantrel.vantrel.
import datetime
from typing import Any, final

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
]

def iter_prices_file(path: str) -> PricesIterator:
    """Reads the stream file at `path` (plain text, or gzip when its name ends in .gz or .gzip)
    whole, and returns an iterator yielding one MarketBook per message, replayed into one
    market's cache.

    Unchanged runners, price lists and definitions are handed out again as the very same
    objects. Times are naive UTC datetimes and runners come in selection id order. A file that
    cannot be read or parsed raises ValueError before any book. For archives, other
    compressions, event-level files and the ecosystem's conventions, use vantrel.replay.
    """
@final
class PricesIterator:
    """The books of one stream file, one per message, from iter_prices_file."""
    def __iter__(self) -> PricesIterator:
        """The iterator itself."""
    def __next__(self) -> MarketBook:
        """The MarketBook of the next message; StopIteration after the last."""
    def __len__(self) -> int:
        """The number of messages kept from the file (one book each), the same before, during and
        after iteration.
        """

@final
class PriceSize:
    """A price and the amount available or traded at it. `ps["price"]` and `ps["size"]` read the
    same values, as a dict of the stream would.
    """
    @property
    def price(self) -> float:
        """The price (decimal odds)."""
    @property
    def size(self) -> float:
        """The amount at that price, in the account currency."""
    def __getitem__(self, key: str, /) -> float:
        """`"price"` or `"size"`: the attribute of that name; KeyError otherwise."""

@final
class ExchangePrices:
    """A runner's exchange ladders: what can be backed and laid, and what has traded."""
    # Lists the replay hands out again while their ladder is unchanged; None only after the
    # garbage collector has cleared a cycle through them. The books of vantrel.flumine's
    # stream hold {"price": ..., "size": ...} dicts instead, as flumine's own stream does.
    @property
    def available_to_back(self) -> list[PriceSize]:
        """Prices to back at, best (highest) first."""
    @property
    def available_to_lay(self) -> list[PriceSize]:
        """Prices to lay at, best (lowest) first."""
    @property
    def traded_volume(self) -> list[PriceSize]:
        """Amounts traded so far at each price, lowest price first."""

@final
class StartingPrices:
    """A runner's starting price (BSP) data."""
    @property
    def near_price(self) -> float | str | None:
        """The projected starting price from the bets so far and the exchange's unmatched bets; a
        float, a text as the stream sent it ("NaN", "Infinity"), or None.
        """
    @property
    def far_price(self) -> float | str | None:
        """The projected starting price from the starting-price bets alone; a float, a text as
        sent, or None.
        """
    @property
    def actual_sp(self) -> float | str | None:
        """The starting price once reconciled; a float, a text as sent, or None before."""
    @property
    def back_stake_taken(self) -> list[PriceSize]:
        """Back stakes of starting-price bets, per price."""
    @property
    def lay_liability_taken(self) -> list[PriceSize]:
        """Lay liabilities of starting-price bets, per price."""

@final
class Runner:
    """One runner (selection) of a market in a book: its status, last traded price and ladders."""
    @property
    def selection_id(self) -> int:
        """The runner's selection id."""
    @property
    def handicap(self) -> float:
        """The handicap of the line the runner stands for; 0.0 outside handicap markets."""
    @property
    def status(self) -> str | None:
        """ACTIVE, WINNER, LOSER, PLACED, REMOVED or HIDDEN, from the market definition; in the
        books of vantrel.replay, None until a definition lists the runner, as are its
        adjustment_factor, removal_date and sp.actual_sp."""
    @property
    def adjustment_factor(self) -> float | None:
        """The reduction factor (percent) applied to matched bets if the runner is removed, or
        None.
        """
    @property
    def last_price_traded(self) -> float | None:
        """The price of the last match on this runner, or None before any."""
    @property
    def total_matched(self) -> float:
        """The amount matched on this runner so far."""
    @property
    def removal_date(self) -> str | datetime.datetime | None:
        """When the runner was removed, or None: the ISO 8601 text the stream sent from
        iter_prices_file, a datetime in the books of vantrel.replay."""
    @property
    def ex(self) -> ExchangePrices:
        """The exchange ladders: available to back and lay, and traded volume."""
    @property
    def sp(self) -> StartingPrices:
        """The starting price data."""
    @property
    def orders(self) -> list[Any]:
        """Always a new empty list: a market stream carries no orders."""
    @property
    def matches(self) -> list[Any]:
        """Always a new empty list: a market stream carries no matches."""
    @property
    def matches_by_strategy(self) -> None:
        """Always None: a market stream carries no matches."""
    @property
    def bet_delay_models(self) -> None:
        """Always None on a runner."""
    @property
    def suspend_reason(self) -> None:
        """Always None on a runner."""

@final
class MarketDefinitionRunner:
    """One runner as the market's definition describes it."""
    @property
    def selection_id(self) -> int:
        """The runner's selection id."""
    @property
    def sort_priority(self) -> int:
        """The runner's place in the exchange's display order, from 1."""
    @property
    def status(self) -> str:
        """ACTIVE, WINNER, LOSER, PLACED, REMOVED or HIDDEN."""
    @property
    def handicap(self) -> float:
        """The handicap of the runner's line; 0.0 outside handicap markets."""
    @property
    def adjustment_factor(self) -> float | None:
        """The reduction factor (percent) if the runner is removed, or None."""
    @property
    def removal_date(self) -> str | datetime.datetime | None:
        """When the runner was removed, or None: the text the stream sent from
        iter_prices_file, a datetime in the books of vantrel.replay."""
    @property
    def name(self) -> str | None:
        """The runner's name, where the definition carries one, else None."""
    @property
    def bsp(self) -> float | None:
        """The runner's starting price once reconciled, or None."""

@final
class MarketDefinition:
    """What a market is and how it trades, as its latest definition message said. Handed out again
    unchanged until a new definition arrives.
    """
    @property
    def bet_delay(self) -> int:
        """Seconds bets wait before they can match (in play, usually)."""
    @property
    def betting_type(self) -> str | None:
        """ODDS, LINE, RANGE, ASIAN_HANDICAP_DOUBLE_LINE or ASIAN_HANDICAP_SINGLE_LINE, or None."""
    @property
    def bsp_market(self) -> bool:
        """Whether the market takes starting-price bets."""
    @property
    def bsp_reconciled(self) -> bool:
        """Whether the starting prices have been reconciled."""
    @property
    def complete(self) -> bool:
        """Whether the market is fully set up (runners added)."""
    @property
    def country_code(self) -> str | None:
        """The ISO 3166 country code of the event, or None."""
    @property
    def cross_matching(self) -> bool:
        """Whether cross matching is on."""
    @property
    def discount_allowed(self) -> bool:
        """Whether commission discounts apply."""
    @property
    def each_way_divisor(self) -> float | None:
        """The divisor of the win odds for an each-way market, or None."""
    @property
    def event_id(self) -> str | None:
        """The id of the event the market belongs to, or None."""
    @property
    def event_name(self) -> str | None:
        """The event's name, or None."""
    @property
    def event_type_id(self) -> str | None:
        """The id of the sport (7 for horse racing, 1 for soccer...), or None."""
    @property
    def in_play(self) -> bool:
        """Whether the market is in play."""
    @property
    def market_base_rate(self) -> float:
        """The commission rate (percent) of the market."""
    @property
    def market_time(self) -> datetime.datetime | None:
        """The scheduled start of the event (naive UTC; timezone-aware from vantrel.replay unless
        naive_times=True), or None.
        """
    @property
    def market_type(self) -> str | None:
        """The market type: WIN, PLACE, MATCH_ODDS, OVER_UNDER_25..., or None."""
    @property
    def name(self) -> str | None:
        """The market's name, or None."""
    @property
    def number_of_active_runners(self) -> int:
        """How many runners are ACTIVE."""
    @property
    def number_of_winners(self) -> int:
        """How many runners win (places paid, for a place market)."""
    @property
    def open_date(self) -> datetime.datetime | None:
        """When the event opens (UTC), or None."""
    @property
    def persistence_enabled(self) -> bool:
        """Whether bets may persist in play."""
    @property
    def race_type(self) -> str | None:
        """For races: Flat, Hurdle, Chase, Harness..., else None."""
    @property
    def regulators(self) -> list[str]:
        """The regulators of the market."""
    @property
    def runners(self) -> list[MarketDefinitionRunner]:
        """The runners as the definition lists them."""
    @property
    def runners_voidable(self) -> bool:
        """Whether runners may be voided."""
    @property
    def settled_time(self) -> datetime.datetime | None:
        """When the market was settled (UTC), or None."""
    @property
    def status(self) -> str:
        """INACTIVE, OPEN, SUSPENDED or CLOSED."""
    @property
    def suspend_time(self) -> datetime.datetime | None:
        """When the market is due to suspend (UTC), or None."""
    @property
    def timezone(self) -> str | None:
        """The event's time zone name, or None."""
    @property
    def turn_in_play_enabled(self) -> bool:
        """Whether the market goes in play at the off."""
    @property
    def venue(self) -> str | None:
        """The venue (races), or None."""
    @property
    def version(self) -> int:
        """The definition's version: it rises with every change."""
    # A list of model names in books from vantrel.replay; always None from iter_prices_file.
    @property
    def bet_delay_models(self) -> list[str] | None:
        """The bet delay models (such as PASSIVE, DYNAMIC) in books from vantrel.replay; always
        None from iter_prices_file.
        """
    @property
    def key_line_definitions(self) -> None:
        """Always None: line markets' key lines are not kept."""
    @property
    def line_interval(self) -> None:
        """Always None: line market settings are not kept."""
    @property
    def line_max_unit(self) -> None:
        """Always None: line market settings are not kept."""
    @property
    def line_min_unit(self) -> None:
        """Always None: line market settings are not kept."""
    @property
    def price_ladder_definition(self) -> Any:
        """None from iter_prices_file; from vantrel.replay, the definition's
        priceLadderDefinition as a vantrel.PriceLadderDescription (or None)."""
    @property
    def suspend_reason(self) -> None:
        """Always None."""

@final
class MarketBook:
    """One market as it stood right after a message changed it: status, totals, runners and their
    ladders, and the definition in force.
    """
    @property
    def market_id(self) -> str:
        """The market id, such as "1.234567890"."""
    @property
    def status(self) -> str | None:
        """INACTIVE, OPEN, SUSPENDED or CLOSED; in the books of vantrel.replay, None before the
        market's first definition, as for every field a definition sets."""
    @property
    def publish_time(self) -> datetime.datetime:
        """When the exchange published the message: naive UTC from iter_prices_file, timezone-aware
        UTC from vantrel.replay (naive with naive_times=True).
        """
    @property
    def publish_time_epoch(self) -> int:
        """publish_time in epoch milliseconds (int, for flumine compatibility)"""
    @property
    def bet_delay(self) -> int | None:
        """Seconds bets wait before they can match."""
    @property
    def bsp_reconciled(self) -> bool | None:
        """Whether the starting prices have been reconciled."""
    @property
    def complete(self) -> bool | None:
        """Whether the market is fully set up."""
    @property
    def cross_matching(self) -> bool | None:
        """Whether cross matching is on."""
    @property
    def inplay(self) -> bool | None:
        """Whether the market is in play."""
    @property
    def number_of_active_runners(self) -> int | None:
        """How many runners are ACTIVE (in the books of vantrel.replay, of those a definition
        listed)."""
    @property
    def number_of_runners(self) -> int:
        """How many runners the market has."""
    @property
    def number_of_winners(self) -> int | None:
        """How many runners win."""
    @property
    def runners_voidable(self) -> bool | None:
        """Whether runners may be voided."""
    @property
    def total_matched(self) -> float:
        """The amount matched on the market so far."""
    @property
    def version(self) -> int | None:
        """The version of the market's definition."""
    @property
    def last_match_time(self) -> int | None:
        """The time of the last match, in epoch milliseconds, when the stream sent it, else None.
        """
    @property
    def market_definition(self) -> MarketDefinition | None:
        """The definition in force, or None before the first one."""
    @property
    def runners(self) -> list[Runner]:
        """The runners: in selection id order from iter_prices_file; in the order the definition
        first listed them from vantrel.replay (runner_order="key" for selection id order).
        """
    streaming_unique_id: int | None
    """Streaming unique ID (set by stream for flumine compatibility)"""
    @property
    def streaming_snap(self) -> bool:
        """Always True."""
    @property
    def streaming_update(self) -> None:
        """Always None: the message itself is not kept."""
    @property
    def bet_delay_models(self) -> None:
        """Always None on a book; see market_definition.bet_delay_models."""
    @property
    def elapsed_time(self) -> None:
        """Always None."""
    @property
    def is_market_data_delayed(self) -> None:
        """Always None."""
    @property
    def key_line_description(self) -> None:
        """Always None."""
    @property
    def price_ladder_definition(self) -> Any:
        """None from iter_prices_file; from vantrel.replay, the definition's
        priceLadderDefinition as a vantrel.PriceLadderDescription (or None)."""
    @property
    def suspend_reason(self) -> None:
        """Always None."""
    @property
    def total_available(self) -> None:
        """Always None."""
    def to_dict(self) -> dict[str, Any]:
        """The book as the stream's JSON would give it: a dict with camelCase keys, the market
        definition as a dict, runners with their ladders as lists of {"price", "size"} dicts.
        """
