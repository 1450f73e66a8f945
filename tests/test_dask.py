"""vantrel.dask on a local cluster of two worker processes, against the single-process tables."""

import re

import pytest

pa = pytest.importorskip("pyarrow")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
fsspec = pytest.importorskip("fsspec")
pd = pytest.importorskip("pandas")

import vantrel
import vantrel.dask as vdask
from helpers.recordings import exchange_recordings, write_event, write_without_texts
from tools.recordings.archives import exchange_tar
from vantrel._sources import member_groups

TABLES = [
    ("prices_table", {}),
    ("prices_table", {"form": "ladder", "depth": 2, "inplay": False}),
    ("prices_table", {"form": "ltp", "every": 5000}),
    ("prices_table", {"depth": 1, "changed_only": True}),
    ("trades_table", {}),
    ("market_summaries", {}),
    ("runner_summaries", {"before_off": (0, 120)}),
]
TABLE_IDS = [f"{name}-{i}" for i, (name, _) in enumerate(TABLES)]
BACKENDS = ["numpy_nullable", "pyarrow"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Recordings in a folder tree, with a hidden file and folder a directory walk skips."""
    root = tmp_path_factory.mktemp("dask")
    (root / "day2").mkdir()
    (root / ".cache").mkdir()
    write_event(root / "a.json", 21, markets=3)
    write_event(root / "b.json.gz", 22, markets=1, messages=300)
    write_event(root / "day2" / "c.json", 23, markets=2, peer_safe=False)
    write_event(root / ".hidden.json", 24, markets=1)
    write_event(root / ".cache" / "d.json", 25, markets=1)
    return root


def visible_files(folder):
    return [str(folder / "a.json"), str(folder / "b.json.gz"), str(folder / "day2" / "c.json")]


def single_process(name, options, sources, dtype_backend="numpy_nullable"):
    return vdask.to_pandas(getattr(vantrel, name)(sources, **options), dtype_backend)


def assert_same_frame(got, expected):
    # Partitions carry categories of their own, so only the values of categoricals must agree.
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected, check_categorical=False)


def shapes(folder):
    """Sources in each accepted shape, with the files they stand for in order."""
    a, b, c = visible_files(folder)
    return {
        "files": ([a, b, c], [a, b, c]),
        "glob": (str(folder / "*.json*"), [a, b]),
        "directory": (str(folder), [a, b, c]),
        "mixed": ([str(folder / "day2"), str(folder / "[ab].*")], [c, a, b]),
    }


@pytest.mark.parametrize("shape", ["files", "glob", "directory", "mixed"])
@pytest.mark.parametrize(("name", "options"), TABLES, ids=TABLE_IDS)
def test_cluster_frame_matches_single_process_table(client, folder, shape, name, options):
    sources, files = shapes(folder)[shape]
    ddf = getattr(vdask, name)(sources, **options)
    assert ddf.npartitions == len(files)
    got = ddf.compute()
    assert len(got) > 0
    assert_same_frame(got, single_process(name, options, files))


@pytest.mark.parametrize("dtype_backend", BACKENDS)
@pytest.mark.parametrize(("name", "options"), TABLES, ids=TABLE_IDS)
def test_schema_is_known_before_computing(client, folder, name, options, dtype_backend):
    ddf = getattr(vdask, name)(str(folder), dtype_backend=dtype_backend, **options)
    meta = ddf.dtypes  # from the meta alone: nothing is read for it
    got = ddf.compute()
    assert list(ddf.columns) == list(got.columns)
    for column, dtype in meta.items():
        computed = got.dtypes[column]
        if isinstance(dtype, pd.CategoricalDtype):
            assert isinstance(computed, pd.CategoricalDtype), column
        else:
            assert dtype == computed, column


def arrow_types_of(name, options):
    """What each column of the pyarrow backend must hold: the table's own Arrow type, with
    strings decoded from their dictionaries."""
    schema = getattr(vantrel, name)(b"", **options).schema
    return {f.name: f.type.value_type if pa.types.is_dictionary(f.type) else f.type
            for f in schema}


@pytest.mark.parametrize(("name", "options"), TABLES, ids=TABLE_IDS)
def test_pyarrow_backend_keeps_every_column_in_arrow(folder, name, options):
    expected = arrow_types_of(name, options)
    table = getattr(vantrel, name)(visible_files(folder), **options)
    frame = vdask.to_pandas(table, dtype_backend="pyarrow")
    assert {c: d.pyarrow_dtype for c, d in frame.dtypes.items()} == expected
    decoded = table.cast(pa.schema(list(expected.items())))
    pd.testing.assert_frame_equal(frame, decoded.to_pandas(types_mapper=pd.ArrowDtype))


READERS = {
    "pandas": lambda path: pd.read_parquet(path, dtype_backend="pyarrow"),
    "dask": lambda path: dd.read_parquet(path, dtype_backend="pyarrow").compute(),
    # pandas names each column's dtype back from the file's metadata
    "pandas-default": pd.read_parquet,
}


# pandas cannot name the dtype of a list column (market_summaries' winners) from a file's
# metadata, whichever the backend: that table is read back with the pyarrow dtypes only.
ROUND_TRIPS = [(reader, *TABLES[i]) for reader in READERS for i in (0, 4, 5, 6)
               if reader != "pandas-default" or TABLES[i][0] != "market_summaries"]


@pytest.mark.parametrize(("reader", "name", "options"), ROUND_TRIPS,
                         ids=[f"{r}-{n}" for r, n, _ in ROUND_TRIPS])
def test_pyarrow_backend_survives_a_parquet_round_trip(client, folder, tmp_path, reader, name,
                                                       options):
    ddf = getattr(vdask, name)(str(folder), dtype_backend="pyarrow", **options)
    ddf.to_parquet(tmp_path / "out", write_index=False)
    expected = ddf.compute().reset_index(drop=True)
    got = READERS[reader](tmp_path / "out")
    if reader != "pandas":
        # these readers hand plain Arrow strings out as pandas' own string dtype
        strings = [c for c, d in expected.dtypes.items() if d == pd.ArrowDtype(pa.string())]
        expected = expected.astype(dict.fromkeys(strings, pd.StringDtype("pyarrow")))
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected)


def test_nothing_is_read_until_computed(client, tmp_path):
    ddf = vdask.runner_summaries([str(tmp_path / "not-yet.json")], before_off=(30,))
    assert "back_price_30s" in ddf.columns
    with pytest.raises(ValueError, match="not-yet.json"):
        ddf.compute()


def test_remote_urls_are_read_through_fsspec_on_the_workers(client, folder):
    url = f"file://{folder}/*.json*"
    ddf = vdask.market_summaries(url)
    assert ddf.npartitions == 2
    opened = [fsspec.open(f"file://{p}", "rb").open() for p in visible_files(folder)[:2]]
    try:
        expected = single_process("market_summaries", {}, opened)
    finally:
        for f in opened:
            f.close()
    assert_same_frame(ddf.compute(), expected)


def test_remote_directory_skips_hidden_files(client, folder):
    ddf = vdask.trades_table(f"file://{folder}")
    assert ddf.npartitions == 3
    assert_same_frame(ddf.compute(), single_process("trades_table", {}, visible_files(folder)))


@pytest.mark.parametrize("dtype_backend", BACKENDS)
def test_a_file_with_nulls_keeps_the_schema_of_one_without(client, tmp_path, dtype_backend):
    # event ids null in one file only: each partition on its own would convert differently
    plain = write_event(tmp_path / "plain.json", 31, markets=1)
    odd = tmp_path / "odd.json"
    text = re.sub(r'("eventId":\s*")', r"\1x", open(plain).read())
    odd.write_text(text)
    ddf = vdask.market_summaries([plain, str(odd)], dtype_backend=dtype_backend)
    got = ddf.compute()
    assert got["event_id"].isna().tolist() == [False, True]
    assert got["event_id"].dtype == ddf.dtypes["event_id"]


@pytest.mark.parametrize("name", ["market_summaries", "runner_summaries"])
@pytest.mark.parametrize("bare_first", [True, False])
def test_a_partition_whose_string_columns_are_all_null(client, tmp_path, name, bare_first):
    bare = write_without_texts(tmp_path / "bare.json", 32, markets=1)
    full = write_event(tmp_path / "full.json", 33, markets=1)
    sources = [bare, full] if bare_first else [full, bare]
    alone = getattr(vantrel, name)(bare)
    # Every text the definition may leave out is null throughout (ids and statuses never are).
    nulls = {f.name for f in alone.schema
             if pa.types.is_dictionary(f.type) and alone.column(f.name).null_count == alone.num_rows}
    assert nulls == ({"event_name", "market_name", "market_type", "country_code", "venue"}
                     if name == "market_summaries" else {"name"})
    ddf = getattr(vdask, name)(sources)
    got = ddf.compute()
    assert_same_frame(got, single_process(name, {}, sources))
    assert got.dtypes.astype(str).tolist() == ddf.dtypes.astype(str).tolist()


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda f: vdask.prices_table(str(f / "nothing-*.json")), FileNotFoundError),
        (lambda f: vdask.prices_table(str(f), depth=0), ValueError),
        (lambda f: vdask.prices_table(str(f), form="wide"), ValueError),
        (lambda f: vdask.runner_summaries(str(f), before_off=(60, 60)), ValueError),
        (lambda f: vdask.trades_table([str(f), 3]), TypeError),
        (lambda f: vdask.market_summaries(str(f), dtype_backend="numpy"), ValueError),
        (lambda f: vdask.to_pandas(vantrel.trades_table(b""), dtype_backend="arrow"), ValueError),
    ],
)
def test_bad_arguments_fail_before_the_cluster_runs_anything(folder, call, error):
    with pytest.raises(error):
        call(folder)


def test_a_broken_file_fails_the_compute_with_its_name(client, tmp_path):
    good = write_event(tmp_path / "good.json", 41, markets=1)
    bad = tmp_path / "bad.json.gz"
    bad.write_bytes(b"\x1f\x8b\x08\x00garbage")
    ddf = vdask.trades_table([good, str(bad)])
    with pytest.raises(ValueError, match="bad.json.gz"):
        ddf.compute()
    skipped = vdask.trades_table([good, str(bad)], errors="skip")
    assert_same_frame(skipped.compute(), single_process("trades_table", {}, [good]))


@pytest.fixture(scope="module")
def month(tmp_path_factory):
    """A plain tar of bzip2 recordings in the exchange's layout."""
    path = tmp_path_factory.mktemp("month") / "month.tar"
    return exchange_tar(path, exchange_recordings(90, 7))


@pytest.mark.parametrize("dtype_backend", BACKENDS)
@pytest.mark.parametrize(("name", "options"), TABLES, ids=TABLE_IDS)
def test_an_archive_gives_a_partition_per_member_group(client, folder, month, name, options,
                                                       dtype_backend):
    groups = member_groups(month, vdask.ARCHIVE_PARTS)
    assert len(groups) > 2
    sources = [str(folder / "a.json"), month]
    ddf = getattr(vdask, name)(sources, dtype_backend=dtype_backend, **options)
    assert ddf.npartitions == 1 + len(groups)
    # each partition holds its group's members, in the archive's order
    member_sources = ddf.partitions[1:].compute() if name == "market_summaries" else None
    if member_sources is not None:
        assert list(member_sources["source"].astype(str).unique()) == [
            f"{month} (member {m})" for g in groups for m in g.members]
    assert_same_frame(ddf.compute(), single_process(name, options, sources, dtype_backend))


def test_the_market_filter_and_window_reach_the_partitions(client, tmp_path):
    import warnings

    from helpers import market_mix

    files = market_mix.write(tmp_path, "lone")
    options = {"venues": ["Ascot", "Leopardstown"], "market_filter": {"bspMarket": True},
               "window": (-600, 0)}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ddf = vdask.prices_table(files, **options)
        got = ddf.compute()
    # Files without a market of the filter are the common case: no partition warns of them,
    # nor does the meta, built from a recording of nothing.
    assert not [w for w in caught if issubclass(w.category, vantrel.FilterWarning)]
    assert set(got["market_id"]) == set(market_mix.market_ids()[:2])
    assert_same_frame(got, single_process("prices_table", options, files))
    with pytest.raises(TypeError, match="bsp_market must be True, False or None"):
        vdask.trades_table(files, bsp_market="yes")


def test_the_catalogue_gives_offsets_in_the_archive_on_disk(client, month):
    """Member groups are read into memory: their members' offsets still count from the
    archive's start."""
    ddf = vdask.catalogue(str(month))
    assert ddf.npartitions > 1
    got = ddf.compute()
    expected = vantrel.catalogue(str(month))
    assert got["offset"].tolist() == expected["offset"].to_pylist()
    assert got["size"].tolist() == expected["size"].to_pylist()
    assert got["member"].astype(str).tolist() == expected["member"].to_pylist()


@pytest.mark.parametrize(("name", "options"), [TABLES[0], TABLES[5]], ids=TABLE_IDS[0:6:5])
def test_a_catalogue_table_is_cut_into_partitions(client, month, monkeypatch, name, options):
    monkeypatch.setattr(vdask, "RECORDINGS_PER_PART", 2)
    catalogue = vantrel.catalogue(str(month))
    picked = catalogue.filter(pa.compute.is_in(
        catalogue["market_id"], value_set=pa.array(catalogue["market_id"].to_pylist()[::2])))
    ddf = getattr(vdask, name)(picked, **options)
    assert ddf.npartitions > 1
    assert_same_frame(ddf.compute(), single_process(name, options, picked))
