"""Draws a market's life to a PNG: the best back and lay prices and the traded volume of its
leading runners over time, with the moment it went in play marked.

    python examples/plot_market.py [PATH] [-o OUT.png] [--runners N] [--minutes M]

Without PATH it draws the sample recording shipped beside this script. With several markets in
the recording it draws the one with the most money matched. Needs the `examples` extra
(pyarrow, pandas and matplotlib).
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

# Only a file is written, so no display is needed, whatever the machine has.
matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.dates import DateFormatter  # noqa: E402
from matplotlib.ticker import FuncFormatter, LogLocator  # noqa: E402

import vantrel  # noqa: E402

SAMPLE = Path(__file__).with_name("1.234567890.gz")


def busiest_market(runners: pd.DataFrame) -> str:
    """The market whose runners matched the most: summed from the runners, since some
    recordings never carry the market's own traded volume."""
    matched = runners.groupby("market_id", observed=True, sort=False)["matched_last"].sum()
    return str(matched.idxmax())


def leading_runners(prices: pd.DataFrame, count: int) -> list[int]:
    """The runners with the most money matched by the end, as the ones a reader follows."""
    final = prices.groupby("selection_id")["total_matched"].last().fillna(0)
    return [int(s) for s in final.sort_values(ascending=False).index[:count]]


def runner_names(runners: pd.DataFrame) -> dict[int, str]:
    return {
        int(s): str(n) if pd.notna(n) else str(s)
        for s, n in zip(runners["selection_id"], runners["name"])
    }


def draw_prices(axes: Axes, prices: pd.DataFrame, leaders: list[int]) -> None:
    for index, selection in enumerate(leaders):
        rows = prices[prices["selection_id"] == selection]
        colour = f"C{index}"
        axes.step(rows["publish_time"], rows["back_price_1"], where="post", color=colour,
                  linewidth=1)
        axes.step(rows["publish_time"], rows["lay_price_1"], where="post", color=colour,
                  linewidth=1, linestyle=":")
    axes.set_yscale("log")
    # Odds read as plain numbers (2, 5, 10), not powers of ten.
    axes.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    axes.yaxis.set_minor_formatter(FuncFormatter(lambda value, _: ""))
    axes.set_ylabel("best back (solid) / lay (dotted)")
    axes.grid(True, which="major", alpha=0.3)


def draw_volume(axes: Axes, prices: pd.DataFrame, names: dict[int, str], leaders: list[int]) -> None:
    for index, selection in enumerate(leaders):
        rows = prices[prices["selection_id"] == selection]
        axes.step(rows["publish_time"], rows["total_matched"], where="post", color=f"C{index}",
                  linewidth=1.2, label=names.get(selection, str(selection)))
    axes.set_ylabel("traded volume")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="upper left", fontsize="small")


def mark_inplay(axes: Axes, inplay_time: pd.Timestamp) -> None:
    if pd.isna(inplay_time):
        return
    axes.axvline(inplay_time, color="black", linewidth=1, linestyle="--")
    axes.annotate("in play", (inplay_time, 1), xycoords=("data", "axes fraction"),
                  xytext=(-4, -4), textcoords="offset points", ha="right", va="top",
                  fontsize="small")


def plot(path: Path, out: Path, runners: int = 4, minutes: float | None = None) -> Path:
    runners_table = vantrel.runner_summaries(str(path)).to_pandas()
    if runners_table.empty:
        raise SystemExit(f"{path}: no market in the recording")
    market_id = busiest_market(runners_table)
    summaries = vantrel.market_summaries(str(path), markets=[market_id]).to_pandas()
    market = summaries.iloc[0]
    prices = vantrel.prices_table(str(path), form="best", depth=1, markets=[market_id]).to_pandas()
    if minutes is not None and pd.notna(market["inplay_time"]):
        start = market["inplay_time"] - pd.Timedelta(minutes=minutes)
        prices = prices[prices["publish_time"] >= start]
    leaders = leading_runners(prices, runners)
    names = runner_names(runners_table[runners_table["market_id"] == market_id])

    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(9, 6.5),
                                         height_ratios=(3, 2), layout="constrained")
    draw_prices(top, prices, leaders)
    draw_volume(bottom, prices, names, leaders)
    for axes in (top, bottom):
        mark_inplay(axes, market["inplay_time"])
    bottom.xaxis.set_major_formatter(DateFormatter("%H:%M"))  # type: ignore[no-untyped-call]
    bottom.set_xlabel("publish time (UTC)")
    title = " / ".join(str(market[k]) for k in ("event_name", "market_name") if pd.notna(market[k]))
    top.set_title(f"{title or market_id}  ({market_id})")
    figure.savefig(out, dpi=90)
    plt.close(figure)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path", nargs="?", type=Path, default=SAMPLE)
    parser.add_argument("-o", "--out", type=Path, default=Path("market.png"))
    parser.add_argument("--runners", type=int, default=4, help="leading runners to draw")
    parser.add_argument("--minutes", type=float,
                        help="start this many minutes before the market went in play")
    args = parser.parse_args()
    print(plot(args.path, args.out, args.runners, args.minutes))


if __name__ == "__main__":
    main()
