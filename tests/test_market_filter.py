"""The exchange's market filter in vantrel.replay and the tables: a filtered run gives what an
unfiltered one gives filtered afterwards by each book's definition, on every kind of source; a
key that met no market warns at the end of a finished run; bad values are refused."""

import gc
import warnings

import pytest
from betfairlightweight.filters import streaming_market_filter

import vantrel
from helpers import market_mix
from helpers.recordings import replayed
from helpers.table_reference import ms, table_rows

IDS = market_mix.market_ids()

# The keys as each book's definition shows them: the reference the engine is held to.
DEFINITION_VALUES = {
    "event_ids": lambda d: d.event_id,
    "event_type_ids": lambda d: d.event_type_id,
    "market_types": lambda d: d.market_type,
    "country_codes": lambda d: d.country_code,
    "venues": lambda d: d.venue,
    "race_types": lambda d: d.race_type,
    "betting_types": lambda d: d.betting_type,
    "bsp_market": lambda d: d.bsp_market,
    "turn_in_play_enabled": lambda d: d.turn_in_play_enabled,
}
CAMEL = {"marketIds": "markets", "eventIds": "event_ids", "eventTypeIds": "event_type_ids",
         "marketTypes": "market_types", "countryCodes": "country_codes", "venues": "venues",
         "raceTypes": "race_types", "bettingTypes": "betting_types", "bspMarket": "bsp_market",
         "turnInPlayEnabled": "turn_in_play_enabled"}


def snake_keys(options):
    keys = {k: v for k, v in options.items() if k != "market_filter"}
    keys.update({CAMEL[k]: v for k, v in (options.get("market_filter") or {}).items()})
    return {k: [v] if isinstance(v, str) else v for k, v in keys.items()}


def meets(book, keys):
    d = book.market_definition
    for key, wanted in keys.items():
        if key == "markets":
            continue
        value = DEFINITION_VALUES[key](d)
        if value is None or (value != wanted if isinstance(wanted, bool) else value not in wanted):
            return False
    return True


def filtered_afterwards(books, options):
    """The books of an unfiltered run a filter keeps: markets of other ids not at all; the others
    from their first definition on, while every definition meets every key, and never again once
    one does not."""
    keys = snake_keys(options)
    dropped, out = set(), []
    for book in books:
        if "markets" in keys and book.market_id not in keys["markets"]:
            continue
        if book.market_id in dropped or book.market_definition is None:
            continue
        if not meets(book, keys):
            dropped.add(book.market_id)
            continue
        out.append(book)
    return [(b.market_id, b.publish_time, b.to_dict()) for b in out]


FILTERS = {
    "markets": {"markets": [IDS[0], IDS[3]]},
    "one market as a str": {"markets": IDS[2]},
    "event_ids": {"event_ids": ["30001"]},
    "event_type_ids": {"event_type_ids": ["1"]},
    "market_types": {"market_types": ["WIN", "MATCH_ODDS"]},
    "country_codes": {"country_codes": "GB"},
    "venues": {"venues": ("Ascot", "Leopardstown")},
    # the Leopardstown market is a chase at its second definition alone: dropped there for good
    "race_types": {"race_types": ["Hurdle", "Flat"]},
    "betting_types": {"betting_types": ["ASIAN_HANDICAP_DOUBLE_LINE"]},
    "bsp_market": {"bsp_market": True},
    "not bsp_market": {"bsp_market": False},
    "turn_in_play_enabled": {"turn_in_play_enabled": False},
    "keys together": {"event_type_ids": ["7"], "country_codes": ["GB", "IE"],
                      "turn_in_play_enabled": True},
    "ids and a definition key": {"markets": IDS[1:], "event_type_ids": {"1"}},
    "market_filter": {"market_filter": streaming_market_filter(country_codes=["GB"],
                                                               market_types=["WIN", "PLACE"])},
    "market_filter with other keys": {"market_filter": {"raceTypes": ["Flat", "Hurdle"]},
                                      "bsp_market": True},
}


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    folder = tmp_path_factory.mktemp("mix")
    return {kind: market_mix.write(folder, kind) for kind in ("lone", "event", "tar")}


@pytest.fixture(scope="module")
def unfiltered(sources):
    return {kind: list(vantrel.replay(source)) for kind, source in sources.items()}


@pytest.mark.parametrize("options", FILTERS.values(), ids=FILTERS.keys())
@pytest.mark.parametrize("kind", ["lone", "event", "tar"])
def test_a_filtered_run_is_the_unfiltered_run_filtered_afterwards(sources, unfiltered, kind,
                                                                  options):
    expected = filtered_afterwards(unfiltered[kind], options)
    with warnings.catch_warnings():
        warnings.simplefilter("error", vantrel.FilterWarning)
        got = replayed(sources[kind], **options)
    assert got == expected
    assert 0 < len({market for market, _, _ in got}) < len(IDS)


def test_a_market_is_judged_at_its_first_definition(sources):
    # Chase only at the Leopardstown market's second definition: it was dropped at its first
    with pytest.warns(vantrel.FilterWarning, match="race_types=\\['Chase'\\]"):
        assert list(vantrel.replay(sources["event"], race_types=["Chase"])) == []
    # the timeless market's first change comes before its definition, and is not a book of it
    first = next(vantrel.replay(sources["event"], markets=IDS[market_mix.TIMELESS],
                                event_type_ids="1"))
    assert first.market_definition is not None


@pytest.mark.parametrize("options", [FILTERS["keys together"], FILTERS["race_types"],
                                     FILTERS["markets"]], ids=["keys", "dropped", "ids"])
@pytest.mark.parametrize("table", ["prices_table", "trades_table", "market_summaries",
                                   "runner_summaries"])
def test_the_tables_keep_the_books_replay_keeps(sources, unfiltered, table, options):
    pytest.importorskip("pyarrow")
    books = {(m, t) for m, t, _ in replayed(sources["event"], **options)}
    build = getattr(vantrel, table)
    got = table_rows(build(sources["event"], **options))
    everything = table_rows(build(sources["event"]))
    if table in ("prices_table", "trades_table"):
        # rows of a market's books before its drop stay; none after it
        books = {(m, ms(t)) for m, t in books}
        assert got == [r for r in everything if (r["market_id"], r["publish_time"]) in books]
    else:
        # a market dropped along the way has no last state to sum up
        last = {b.market_id: (b.market_id, b.publish_time) for b in unfiltered["event"]}
        kept = {m for m, _ in books if last[m] in books}
        assert got == [r for r in everything if r["market_id"] in kept]
    assert got


def test_values_are_matched_exactly_as_the_stream_writes_them(sources):
    with pytest.warns(vantrel.FilterWarning):
        assert list(vantrel.replay(sources["event"], market_types=["win"])) == []
    assert {b.market_id for b in vantrel.replay(sources["event"], market_types=["WIN"])} == {
        IDS[0], IDS[2]}


def unmatched_warnings(run):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run()
    return [w for w in caught if issubclass(w.category, vantrel.FilterWarning)]


UNMATCHED = {
    "a key alone": ({"race_types": ["win"]}, {"race_types": ["win"]}),
    "one key of two": ({"venues": ["Ascot"], "country_codes": ["FR", "DE"]},
                       {"country_codes": ["FR", "DE"]}),
    "two keys": ({"event_ids": "1", "bsp_market": True, "betting_types": ["LINE"]},
                 {"event_ids": ["1"], "betting_types": ["LINE"]}),
    "a flag": ({"market_types": "ASIAN_HANDICAP", "bsp_market": True}, {}),
    "ids": ({"markets": ["1.1", IDS[0]], "venues": ["Kempton"]}, {"venues": ["Kempton"]}),
    "no ids": ({"markets": []}, {"markets": []}),
    "camelCase": ({"market_filter": {"countryCodes": ["gb"]}}, {"country_codes": ["gb"]}),
    "every key met": ({"venues": ["Ascot"], "country_codes": ["IE"]}, {}),
    "no filter": ({}, {}),
}


@pytest.mark.parametrize("options, expected", UNMATCHED.values(), ids=UNMATCHED.keys())
@pytest.mark.parametrize("run", ["replay", "prices_table", "market_summaries"])
def test_a_key_that_matched_no_market_warns_at_the_end(sources, run, options, expected):
    if run != "replay":
        pytest.importorskip("pyarrow")

    def whole_run():
        if run == "replay":
            list(vantrel.replay(sources["event"], **options))
        else:
            getattr(vantrel, run)(sources["event"], **options)

    found = unmatched_warnings(whole_run)
    # "a flag": the ASIAN_HANDICAP market has no starting price, so bsp_market=True is met by
    # other markets only: each key met some market, though no market met both
    assert {w.message.key: w.message.values for w in found} == expected
    for w in found:
        assert w.filename == __file__  # said where the caller ran it
        assert str(w.message).startswith(f"{w.message.key}={w.message.values!r} matched no market")


def test_the_warning_names_how_values_are_matched():
    text = str(vantrel.FilterWarning("race_types", ["win"]))
    assert text == ("race_types=['win'] matched no market; values are matched exactly as the "
                    "stream writes them")
    assert str(vantrel.FilterWarning("bsp_market", False)) == "bsp_market=False matched no market"


def test_a_key_met_in_one_recording_of_the_run_does_not_warn(sources):
    lone = sources["lone"]
    found = unmatched_warnings(lambda: list(vantrel.replay(lone, venues=["Ascot"])))
    assert found == []
    # the last recording alone has no Ascot market
    assert len(unmatched_warnings(lambda: list(vantrel.replay(lone[-1], venues=["Ascot"])))) == 1


def test_an_unfinished_run_does_not_warn(sources, tmp_path):
    source = sources["event"]

    def abandoned():
        books = vantrel.replay(source, venues=["Ascot"], race_types=["Bumper"])
        del books
        gc.collect()

    assert unmatched_warnings(abandoned) == []
    broken = tmp_path / "broken.json.gz"
    broken.write_bytes(b"\x1f\x8b not gzip")

    def stopped():
        with pytest.raises(vantrel.ReplayError):
            list(vantrel.replay([source, str(broken)], race_types=["Bumper"]))

    assert unmatched_warnings(stopped) == []
    # skipping the broken recording, the run goes to its end
    assert len(unmatched_warnings(
        lambda: list(vantrel.replay([source, str(broken)], race_types=["Bumper"],
                                    errors="skip")))) == 1


def test_a_finished_iterator_warns_once(sources):
    books = vantrel.replay(sources["event"], race_types=["Bumper"])
    assert len(unmatched_warnings(lambda: list(books))) == 1
    assert unmatched_warnings(lambda: list(books)) == []


def test_the_warning_can_be_made_an_error(sources):
    with warnings.catch_warnings():
        warnings.simplefilter("error", vantrel.FilterWarning)
        with pytest.raises(vantrel.FilterWarning, match="race_types"):
            list(vantrel.replay(sources["event"], race_types=["Bumper"]))


BAD = {
    "a number for a list": ({"event_ids": 123}, "event_ids must be a str or an iterable of str"),
    "bytes for a list": ({"country_codes": b"GB"}, "country_codes must be a str or an iterable"),
    "a number in a list": ({"venues": ["Ascot", 5]}, "venues must hold str, not int"),
    "None in a list": ({"markets": [None]}, "markets must hold str, not NoneType"),
    "a text for a flag": ({"bsp_market": "yes"}, "bsp_market must be True, False or None"),
    "a number for a flag": ({"turn_in_play_enabled": 1}, "turn_in_play_enabled must be True"),
    "an unknown key": ({"venue": ["Ascot"]}, "unexpected keyword argument 'venue'"),
    "market_filter a list": ({"market_filter": ["WIN"]}, "market_filter must be a dict"),
    "an unknown camelCase key": ({"market_filter": {"countryCode": ["GB"]}},
                                 "market_filter has no key 'countryCode'"),
    "a snake_case key in market_filter": ({"market_filter": {"race_types": ["Flat"]}},
                                          "market_filter has no key 'race_types'"),
    "a bad camelCase value": ({"market_filter": {"bspMarket": "yes"}},
                              r"market_filter\['bspMarket'\] must be True"),
    "a key given twice": ({"market_filter": {"marketTypes": ["WIN"]}, "market_types": "PLACE"},
                          "market_types and market_filter\\['marketTypes'\\] are the same key"),
}


@pytest.mark.parametrize("options, text", BAD.values(), ids=BAD.keys())
@pytest.mark.parametrize("run", ["replay", "prices_table", "trades_table", "market_summaries",
                                 "runner_summaries"])
def test_bad_filter_values_are_refused_before_any_work(run, options, text):
    if run != "replay":
        pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match=text):
        getattr(vantrel, run)("/no/such/file", **options)


def test_the_stream_filter_dict_and_the_arguments_agree(sources):
    snake = {"event_type_ids": ["7"], "market_types": ["WIN", "PLACE"], "bsp_market": True}
    camel = streaming_market_filter(**snake)
    assert replayed(sources["tar"], market_filter=camel) == replayed(sources["tar"], **snake)
    # a key left None in the dict is no key at all
    assert replayed(sources["tar"], market_filter={**camel, "venues": None}) == replayed(
        sources["tar"], **snake)
