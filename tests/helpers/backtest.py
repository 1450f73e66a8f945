"""flumine simulations of small strategies, reduced to what a backtest's user looks at: the
orders (where, what, when placed), their fills and the profit."""

from __future__ import annotations

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


STRATEGIES = {
    "lowest-layer": (LowestLayer, {"stake": 2, "max_price": 8}),
    "first-runner": (FirstRunnerBacker, {"stake": 5, "seconds_before": 20}),
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
