"""One engine per process: both modules are one library, and what it keeps can be given back."""

import gzip
import json
import subprocess
import sys

import pytest

import vantrel
import vantrel.vantrel
from vantrel import _engine

from helpers.recordings import market_recording


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("engine") / "1.5.gz"
    lines = market_recording("1.5", seed=4, count=300)
    path.write_bytes(gzip.compress("".join(json.dumps(line) + "\n" for line in lines).encode()))
    return str(path)


def test_the_package_engine_is_the_second_module_of_the_one_library(recording):
    assert _engine.__file__ == vantrel.vantrel.__file__
    assert sys.modules["vantrel._engine"] is _engine
    # A fresh interpreter that asks for the engine before anything else gets the same one, and
    # the objects it hands out are of vantrel.vantrel's classes.
    code = ("import sys, vantrel._engine as e, vantrel.vantrel as v, vantrel;"
            "b = next(iter(vantrel.replay(sys.argv[1])));"
            "assert type(b) is v.MarketBook and e.__file__ == v.__file__, (type(b), e.__file__)")
    subprocess.run([sys.executable, "-c", code, recording], check=True)


def _iter_prices_file(path):
    return [b.to_dict() for b in vantrel.iter_prices_file(path)]


def _replay(path):
    return [b.to_dict() for b in vantrel.replay(path)]


def _prices_table(path):
    return repr(vantrel.prices_table(path).to_pylist())  # NaN is no equal of itself, its repr is


@pytest.mark.parametrize("read", [_iter_prices_file, _replay, _prices_table])
def test_release_memory_empties_every_cache_and_later_reads_are_unchanged(recording, read):
    before = read(recording)
    assert any(_engine.kept_memory().values())
    vantrel.release_memory()
    assert set(_engine.kept_memory().values()) == {0}
    assert read(recording) == before


def test_release_memory_while_iterators_are_open(recording):
    expected = _iter_prices_file(recording)
    first = vantrel.iter_prices_file(recording)
    books = vantrel.replay([recording, recording])
    got = [next(first).to_dict()]
    replayed = [next(books).to_dict()]
    vantrel.release_memory()
    got += [b.to_dict() for b in first]
    replayed += [b.to_dict() for b in books]
    assert got == expected
    assert replayed == _replay(recording) * 2
