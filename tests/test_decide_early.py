"""A filtered run decodes no more of a recording named as one market's file than it needs to
rule the market out: nothing when its name is ruled out, up to its first definition otherwise.
What is never decoded can hold no error, so damage past that point shows whether it was read."""

import bz2
import json
import os
import warnings

import pytest

import vantrel
from helpers.recordings import market_recording, replayed
from tools.recordings.archives import TarWriter

KEPT, RULED_OUT = "1.500", "1.501"


def text(market_id, market_type, count=120):
    lines = market_recording(market_id, seed=int(market_id[2:]), count=count,
                             market_type=market_type, event_id="29")
    return "".join(json.dumps(line) + "\n" for line in lines).encode()


def damaged_bz2(data):
    """bzip2 of `data` cut short: its first blocks decode, its end is missing."""
    whole = bz2.compress(data, 1)  # 100 kB blocks, so the first ones are whole well before
    return whole[: len(whole) - 64]


@pytest.fixture(scope="module")
def big_ruled_out():
    # Several 100 kB blocks of text, so the first definition is decoded long before the cut.
    return text(RULED_OUT, "PLACE", count=4000)


def archive(path, members):
    with TarWriter(path) as tar:
        for name, data in members:
            tar.add(name, data)
    return str(path)


def assert_same_books(filtered, unfiltered, keep):
    assert filtered == [book for book in unfiltered if book[0] in keep]


@pytest.mark.parametrize("options", [{"markets": [KEPT]}, {"market_types": ["WIN"]},
                                     {"market_types": ["WIN"], "event_ids": ["29"]}])
def test_a_ruled_out_member_is_read_no_further_than_it_takes(tmp_path, big_ruled_out, options):
    whole = archive(tmp_path / "whole.tar", [(f"29/{KEPT}.bz2", bz2.compress(text(KEPT, "WIN"))),
                                            (f"29/{RULED_OUT}.bz2", bz2.compress(big_ruled_out))])
    damaged = archive(tmp_path / "damaged.tar",
                      [(f"29/{KEPT}.bz2", bz2.compress(text(KEPT, "WIN"))),
                       (f"29/{RULED_OUT}.bz2", damaged_bz2(big_ruled_out))])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a read member's damage is a warning with errors="skip"
        got = replayed(damaged, errors="skip", **options)
    assert_same_books(got, replayed(whole), {KEPT})
    # Unfiltered, the same archive's damage is met and named.
    with pytest.raises(vantrel.ReplayError, match=RULED_OUT):
        replayed(damaged)


def test_a_member_named_as_another_market_is_read_whole(tmp_path):
    # A name is only a hint: a member named as one market but holding another is judged by
    # what it holds, as an unnamed one is.
    path = archive(tmp_path / "misnamed.tar",
                   [(f"29/{RULED_OUT}.bz2", bz2.compress(text(KEPT, "WIN")))])
    assert replayed(path, market_types=["WIN"]) == replayed(path)
    with pytest.warns(vantrel.FilterWarning):
        assert replayed(path, market_types=["PLACE"]) == []


@pytest.mark.parametrize("name", [f"{RULED_OUT}.bz2", f"{RULED_OUT}"])
def test_a_lone_file_ruled_out_by_its_name_is_not_opened_for_reading(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"\x00garbage, no recording at all")
    with pytest.warns(vantrel.FilterWarning):
        assert replayed(str(path), markets=[KEPT]) == []
    with pytest.raises(vantrel.ReplayError):
        replayed(str(path), markets=[RULED_OUT])


def test_keys_met_by_markets_read_no_further_count_against_the_warning(tmp_path, big_ruled_out):
    path = archive(tmp_path / "a.tar", [(f"29/{RULED_OUT}.bz2", damaged_bz2(big_ruled_out))])
    with pytest.warns(vantrel.FilterWarning) as caught:
        assert replayed(path, market_types=["WIN"], event_ids=["29"]) == []
    assert [w.message.key for w in caught] == ["market_types"]


def test_tables_pass_over_what_replay_passes_over(tmp_path, big_ruled_out):
    path = archive(tmp_path / "t.tar", [(f"29/{KEPT}.bz2", bz2.compress(text(KEPT, "WIN"))),
                                        (f"29/{RULED_OUT}.bz2", damaged_bz2(big_ruled_out))])
    table = vantrel.market_summaries(path, market_types=["WIN"])
    assert table.column("market_id").to_pylist() == [KEPT]
    with pytest.raises(vantrel.ReplayError, match=RULED_OUT):
        vantrel.market_summaries(path)


def read_so_far():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs Linux's /proc/self/io")
@pytest.mark.parametrize("threads", [1, 2])
def test_a_member_ruled_out_by_its_name_is_stepped_over_not_read(tmp_path, threads):
    # Bytes that would fail as bzip2: were they decoded, the run would say so.
    big = b"BZh9" + os.urandom(8 << 20)
    path = archive(tmp_path / "month.tar", [
        (f"PRO/1/{RULED_OUT}.bz2", big),
        (f"PRO/1/{KEPT}.bz2", bz2.compress(text(KEPT, "WIN"))),
        (f"PRO/1/{RULED_OUT}1.bz2", big),
    ])
    before = read_so_far()
    kept = replayed(path, markets=[KEPT], threads=threads)
    assert kept and {market_id for market_id, _, _ in kept} == {KEPT}
    assert read_so_far() - before < 1 << 20
