"""flumine simulations of small strategies, reduced to what a backtest's user looks at: the
orders (where, what, when placed), their fills and the profit."""

from __future__ import annotations

import json
import logging

from flumine import BaseStrategy, FlumineSimulation, clients
from flumine.order.order import OrderStatus
from flumine.order.ordertype import LimitOrder
from flumine.order.trade import Trade
from flumine.utils import get_price


class LowestLayer(BaseStrategy):
    """Lays the in-play favourite at the best lay price and cancels what is left after two
    seconds, as flumine's example strategy of that name does."""

    def check_market_book(self, market, market_book):
        return market_book.status not in ("CLOSED", "SUSPENDED") and market_book.inplay

    def process_market_book(self, market, market_book):
        prices = [(r.last_price_traded, r.selection_id) for r in market_book.runners
                  if r.status == "ACTIVE" and r.last_price_traded]
        if not prices:
            return
        ltp, selection_id = min(prices)
        if ltp > self.context["max_price"]:
            return
        for runner in market_book.runners:
            if runner.selection_id == selection_id:
                lay = get_price(runner.ex.available_to_lay, 0)
                if lay is None:
                    return
                trade = Trade(market_book.market_id, runner.selection_id, runner.handicap, self)
                order = trade.create_order(
                    side="LAY", order_type=LimitOrder(lay, self.context["stake"]))
                market.place_order(order)

    def process_orders(self, market, orders):
        for order in orders:
            if order.status == OrderStatus.EXECUTABLE and (order.elapsed_seconds or 0) > 2:
                market.cancel_order(order)


class FirstRunnerBacker(BaseStrategy):
    """Backs `market_book.runners[0]` once, in the last seconds before the off, at its best back
    price."""

    def check_market_book(self, market, market_book):
        return (market_book.status == "OPEN" and not market_book.inplay
                and market.seconds_to_start < self.context["seconds_before"])

    def process_market_book(self, market, market_book):
        # Whatever its status: a withdrawn runner's order fails, and that failure is compared too.
        runner = market_book.runners[0]
        context = self.get_runner_context(market.market_id, runner.selection_id, runner.handicap)
        back = get_price(runner.ex.available_to_back, 0)
        if context.trade_count or back is None:
            return
        trade = Trade(market_book.market_id, runner.selection_id, runner.handicap, self)
        order = trade.create_order(side="BACK", order_type=LimitOrder(back, self.context["stake"]))
        market.place_order(order)


class BestBackBacker(BaseStrategy):
    """Backs every active runner once, shortly before the off, at its best back price, reading
    the level as flumine's own stream hands it: a dict, kept in the runner's context as JSON."""

    def check_market_book(self, market, market_book):
        return (market_book.status == "OPEN" and not market_book.inplay
                and market.seconds_to_start < self.context["seconds_before"])

    def process_market_book(self, market, market_book):
        for runner in market_book.runners:
            context = self.get_runner_context(market.market_id, runner.selection_id,
                                              runner.handicap)
            if runner.status != "ACTIVE" or context.trade_count or not runner.ex.available_to_back:
                continue
            best = dict(runner.ex.available_to_back[0])
            self.context.setdefault("levels", []).append(json.dumps(best))
            trade = Trade(market_book.market_id, runner.selection_id, runner.handicap, self)
            order = trade.create_order(
                side="BACK", order_type=LimitOrder(best.get("price"), self.context["stake"]))
            market.place_order(order)


STRATEGIES = {
    "lowest-layer": (LowestLayer, {"stake": 2, "max_price": 8}),
    "first-runner": (FirstRunnerBacker, {"stake": 5, "seconds_before": 20}),
    "best-back": (BestBackBacker, {"stake": 3, "seconds_before": 10}),
}


def _order_record(order) -> tuple:
    return (
        order.market_id, order.selection_id, order.side, order.order_type.price,
        order.order_type.size, order.responses.date_time_placed, order.status.value,
        tuple(tuple(m) for m in order.simulated.matched), order.size_matched,
        order.average_price_matched, round(order.profit, 2),
    )


def backtest(strategy: str, streams: list) -> dict:
    """Runs one strategy over `streams` and returns its orders and profit by market."""
    cls, context = STRATEGIES[strategy]
    logging.getLogger("flumine").setLevel(logging.CRITICAL)
    framework = FlumineSimulation(client=clients.SimulatedClient())
    framework.add_strategy(cls(streams=streams, context=dict(context), max_order_exposure=1000,
                               max_selection_exposure=1000))
    framework.run()
    orders, profit = [], {}
    for market in framework.markets:
        profit[market.market_id] = round(sum(o.profit for o in market.blotter), 2)
        orders.extend(_order_record(o) for o in market.blotter)
    return {"orders": orders, "profit": profit}


def handed_out(stream, *, stream_id: int = 10000) -> list[tuple]:
    """What a historical stream hands flumine, book by book: one tuple per yielded list.

    flumine's own stream keeps listing a closed market with every later change of the other
    markets of its file; vantrel's stops after the closing book (flumine does nothing with the
    repeats), so those repeats are left out here.
    """
    stream.stream_id = stream_id
    closed: set[str] = set()
    out = []
    for books in stream.create_generator()():
        kept = [b for b in books if b.market_id not in closed]
        out.append(tuple(_book_record(b) for b in kept))
        closed.update(b.market_id for b in kept if b.status == "CLOSED")
    return out


def _book_record(book) -> tuple:
    return (book.market_id, book.publish_time_epoch, book.publish_time, book.status, book.inplay,
            book.streaming_unique_id, book.market_definition.bet_delay_models,
            tuple((r.selection_id, r.status, r.last_price_traded) for r in book.runners))


# Everything a strategy can read from a book, by class; `streaming_update` (the raw change,
# which vantrel does not keep) aside.
BOOK_ATTRIBUTES = (
    "market_id", "bet_delay", "bet_delay_models", "bsp_reconciled", "complete", "cross_matching",
    "inplay", "is_market_data_delayed", "last_match_time", "number_of_active_runners",
    "number_of_runners", "number_of_winners", "runners_voidable", "status", "suspend_reason",
    "total_available", "total_matched", "version", "publish_time", "publish_time_epoch",
    "key_line_description", "price_ladder_definition", "streaming_unique_id", "streaming_snap",
    "elapsed_time", "market_definition", "runners",
)
RUNNER_ATTRIBUTES = (
    "selection_id", "status", "total_matched", "adjustment_factor", "handicap",
    "last_price_traded", "removal_date", "orders", "matches", "matches_by_strategy",
    "suspend_reason", "bet_delay_models", "ex", "sp",
)
EX_ATTRIBUTES = ("available_to_back", "available_to_lay", "traded_volume")
SP_ATTRIBUTES = ("near_price", "far_price", "actual_sp", "back_stake_taken", "lay_liability_taken")
DEFINITION_ATTRIBUTES = (
    "bet_delay", "betting_type", "bsp_market", "bsp_reconciled", "complete", "country_code",
    "cross_matching", "discount_allowed", "event_id", "event_type_id", "in_play",
    "market_base_rate", "market_time", "market_type", "number_of_active_runners",
    "number_of_winners", "open_date", "persistence_enabled", "regulators", "runners_voidable",
    "settled_time", "status", "each_way_divisor", "suspend_time", "timezone",
    "turn_in_play_enabled", "venue", "version", "line_max_unit", "line_min_unit",
    "line_interval", "price_ladder_definition", "key_line_definitions", "race_type",
    "suspend_reason", "bet_delay_models", "name", "event_name", "runners",
)
DEFINITION_RUNNER_ATTRIBUTES = (
    "selection_id", "sort_priority", "status", "handicap", "bsp", "adjustment_factor",
    "removal_date", "name",
)
_NESTED = {"ex": EX_ATTRIBUTES, "sp": SP_ATTRIBUTES, "market_definition": DEFINITION_ATTRIBUTES}


def _view(value, name: str = ""):
    """A value as a strategy sees it, in a form that compares whole: containers and their
    exact types, datetimes with their time zone, numbers by value (JSON's 2 and 2.0 are the
    same number to a strategy), other objects by class and attributes."""
    import datetime as dt

    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, float)):
        return ("number", float(value))
    if isinstance(value, dt.datetime):
        return ("datetime", value.isoformat(), value.tzinfo)
    if isinstance(value, dict):
        return ("dict", [(k, _view(v)) for k, v in value.items()])
    if isinstance(value, list):
        item = "runner" if name == "runners" else ""
        return ("list", [_view(v, item) for v in value])
    cls = f"{type(value).__module__}.{type(value).__qualname__}"
    if name in _NESTED:
        attributes = _NESTED[name]
    elif name == "runner":
        attributes = (DEFINITION_RUNNER_ATTRIBUTES if hasattr(value, "sort_priority")
                      else RUNNER_ATTRIBUTES)
    else:  # betfairlightweight's PriceLadderDescription, which its class is part of
        return (cls, vars(value) if hasattr(value, "__dict__") else repr(value))
    return ("object", [(a, _view(getattr(value, a), a)) for a in attributes])


def strategy_view(book) -> list:
    """Every attribute of a book a strategy can read, recursively (see _view)."""
    return [(a, _view(getattr(book, a), a)) for a in BOOK_ATTRIBUTES]


def handed_out_views(stream, *, stream_id: int = 10000) -> list[list]:
    """strategy_view of every book a historical stream hands flumine, message by message (a
    closed market's repeats left out, as in handed_out)."""
    stream.stream_id = stream_id
    return _views(stream.create_generator()())


def peer_views(path: str) -> list[list]:
    """handed_out_views of betfairlightweight's own historical stream, whose books (objects,
    stream id 0) flumine's stream hands on."""
    from betfairlightweight import APIClient, StreamListener

    trading = APIClient("username", "password", app_key="appkey")
    listener = StreamListener(max_latency=None, lightweight=False)
    stream = trading.streaming.create_historical_generator_stream(file_path=path,
                                                                  listener=listener)
    return _views(stream.get_generator()())


def _views(messages) -> list[list]:
    closed: set[str] = set()
    out = []
    for books in messages:
        kept = [b for b in books if b.market_id not in closed]
        out.append([strategy_view(b) for b in kept])
        closed.update(b.market_id for b in kept if b.status == "CLOSED")
    return out
