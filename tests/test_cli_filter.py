"""The command line's market filter options and --window: what they export is what the table
functions give, and the run names an option that matched no market in any input."""

import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet  # noqa: E402

import vantrel  # noqa: E402
from helpers import market_mix  # noqa: E402
from helpers.table_reference import table_rows  # noqa: E402

IDS = market_mix.market_ids()


def run(*args):
    return subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


@pytest.fixture(scope="module")
def lone(tmp_path_factory):
    """A recording per market: the tasks of a run see different markets."""
    return market_mix.write(tmp_path_factory.mktemp("cli-filter"), "lone")


EXPORTS = {
    "lists": (["--event-type-ids", "7", "--country-codes", "GB,IE", "--market-types", "WIN",
               "--market-types", "PLACE"],
              {"event_type_ids": ["7"], "country_codes": ["GB", "IE"],
               "market_types": ["WIN", "PLACE"]}),
    "ids and events": (["--markets", f"{IDS[0]},{IDS[3]}", "--event-ids", "30003"],
                       {"markets": [IDS[0], IDS[3]], "event_ids": ["30003"]}),
    "races": (["--venues", "Ascot,Leopardstown", "--race-types", "Flat,Hurdle"],
              {"venues": ["Ascot", "Leopardstown"], "race_types": ["Flat", "Hurdle"]}),
    "flags": (["--no-bsp-market", "--turn-in-play-enabled", "--betting-types", "ODDS"],
              {"bsp_market": False, "turn_in_play_enabled": True, "betting_types": ["ODDS"]}),
    "window": (["--window=-10m,90s", "--bsp-market"], {"window": (-600, 90), "bsp_market": True}),
    "open window": (["--window", "0,", "--table", "trades"], {"window": (0, None)}),
    "grid in a window": (["--every", "5s", "--window=-300,0", "--venues", "Ascot"],
                         {"every": 5000, "window": (-300, 0), "venues": ["Ascot"]}),
}


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("flags, options", EXPORTS.values(), ids=EXPORTS.keys())
def test_export_takes_the_filter_and_the_window(lone, tmp_path, flags, options, jobs):
    out = tmp_path / "out.parquet"
    done = run("export", *lone, "-o", out, "--jobs", jobs, *flags)
    assert done.returncode == 0, done.stderr
    assert "matched no market" not in done.stderr
    build = vantrel.trades_table if "trades" in flags else vantrel.prices_table
    expected = table_rows(build(lone, **options))
    assert expected
    assert table_rows(pa.parquet.read_table(out)) == expected


def test_info_takes_the_filter(lone):
    done = run("info", *lone, "--json", "--event-type-ids", "1", "--jobs", 1)
    assert done.returncode == 0, done.stderr
    assert [line.split('"market_id": "')[1][:11] for line in done.stdout.splitlines()] == [
        IDS[3], IDS[4]]


UNMATCHED = {
    "a list": (["--race-types", "win"],
               ["--race-types win matched no market (values are matched exactly as the stream "
                "writes them)"]),
    # Ascot in one input, GB in several: each option met a market somewhere in the run
    "met in different inputs": (["--venues", "Ascot", "--country-codes", "GB"], []),
    "a flag and a list": (["--no-turn-in-play-enabled", "--venues", "Ascot", "--event-ids", "9"],
                          ["--event-ids 9 matched no market"]),
    "a flag": (["--bsp-market", "--event-type-ids", "1"], []),
}


@pytest.mark.parametrize("flags, notes", UNMATCHED.values(), ids=UNMATCHED.keys())
def test_the_summary_names_an_option_that_matched_no_market(lone, flags, notes):
    done = run("info", *lone, "--jobs", 2, *flags)
    assert done.returncode == 0, done.stderr
    summary = done.stderr.strip().splitlines()[-1]
    assert summary.startswith("vantrel: 5 files, ")
    for note in notes:
        assert note.split(" (")[0] in summary
    assert summary.count("matched no market") == len(notes)


def test_quiet_still_warns_of_an_option_that_matched_nothing(lone, tmp_path):
    # the Leopardstown market alone is read, and it has no starting price
    done = run("export", *lone, "-o", tmp_path / "out.csv", "--quiet", "--bsp-market",
               "--markets", IDS[2])
    assert done.returncode == 0, done.stderr
    assert done.stderr == "vantrel: warning: --bsp-market matched no market\n"


@pytest.mark.parametrize("args, text", [
    (["--table", "markets", "--window=-60,0"], "--window: only for --table prices or trades"),
    (["--window", "60"], "not a window"),
    (["--window=-1x,0"], "not a time from the off"),
    (["--window", "60,-60"], "start must come before its end"),
    (["--bsp-market", "yes"], "unrecognized arguments"),
])
def test_bad_window_and_flags_are_usage_errors(lone, tmp_path, args, text):
    done = run("export", lone[0], "-o", tmp_path / "out.csv", *args)
    assert done.returncode == 2
    assert text in done.stderr


def test_help_describes_the_filter_options():
    text = " ".join(run("export", "--help").stdout.split())
    for flag in ("--markets", "--event-ids", "--event-type-ids", "--market-types",
                 "--country-codes", "--venues", "--race-types", "--betting-types",
                 "--bsp-market", "--no-bsp-market", "--turn-in-play-enabled",
                 "--no-turn-in-play-enabled", "--window START,END"):
        assert flag in text
    assert "matched exactly as the stream writes them" in text
