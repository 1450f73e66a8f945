"""The example scripts in examples/ run on the shipped sample and on recordings they were not
drawn for."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

from helpers.recordings import event_lines

pytest.importorskip("matplotlib")
pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import vantrel  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def load_plot_market():
    spec = importlib.util.spec_from_file_location("plot_market", EXAMPLES / "plot_market.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def assert_png(path):
    from matplotlib.image import imread

    assert path.read_bytes()[:8] == PNG_SIGNATURE
    height, width, _ = imread(path).shape
    assert width > 300 and height > 200


@pytest.mark.parametrize("options", [[], ["--minutes", "30", "--runners", "2"]])
def test_plot_market_draws_the_sample(tmp_path, options):
    out = tmp_path / "market.png"
    env = dict(os.environ, MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, str(EXAMPLES / "plot_market.py"), "-o", str(out), *options],
                          env=env, capture_output=True, text=True, check=True)
    assert done.stdout.strip() == str(out)
    assert_png(out)


@pytest.mark.parametrize("messages, inplay", [(240, True), (120, False)])
def test_plot_market_on_several_markets(tmp_path, messages, inplay):
    """The busiest market and its most traded runners are the ones drawn, in play or never."""
    lines = event_lines(7, markets=3, messages=240)
    path = tmp_path / "event.json"
    path.write_text("\n".join(lines[:messages]) + "\n")
    plot_market = load_plot_market()

    summaries = vantrel.market_summaries(str(path)).to_pandas()
    assert summaries["inplay_time"].notna().all() == inplay
    every = vantrel.prices_table(str(path), form="best", depth=1).to_pandas()
    final = every.groupby(["market_id", "selection_id"], observed=True)["total_matched"].last()
    by_market = final.groupby(level="market_id", observed=True).sum()
    assert by_market.nunique() == len(by_market)  # a tie would make any answer right
    market_id = plot_market.busiest_market(vantrel.runner_summaries(str(path)).to_pandas())
    assert market_id == by_market.idxmax()

    runners = vantrel.runner_summaries(str(path), markets=[market_id]).to_pandas()
    expected = runners.sort_values("matched_last", ascending=False)["selection_id"].head(2)
    prices = every[every["market_id"] == market_id]
    assert plot_market.leading_runners(prices, 2) == [int(s) for s in expected]

    out = plot_market.plot(path, tmp_path / "event.png", runners=3, minutes=5)
    assert_png(out)
