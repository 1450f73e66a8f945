"""The vantrel command line, run as `python -m vantrel` in a subprocess."""

import json
import os
import signal
import subprocess
import sys
import tarfile
import time
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.csv
import pyarrow.ipc
import pyarrow.parquet

import vantrel
from helpers.processes import parts_folders
from helpers.recordings import exchange_recordings, write_event, write_without_texts
from helpers.archives import huge_base256_size, long_name_of_32_tib, v7_header
from tools.recordings import archives
from tools.recordings.archives import exchange_tar
from helpers.table_reference import plain
from vantrel._sources import member_groups
from vantrel.cli import PARTS_PER_JOB


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd, timeout=120)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Three recordings, one gzip, in a folder; a.json sorts first."""
    root = tmp_path_factory.mktemp("cli")
    write_event(root / "a.json", 21, markets=2, messages=120)
    write_event(root / "b.json.gz", 22, markets=1, messages=150)
    write_event(root / "c.json", 23, markets=2, messages=90)
    return root


@pytest.fixture
def broken(folder, tmp_path):
    """The folder's recordings with an unreadable one in the middle."""
    bad = tmp_path / "bad.json.gz"
    bad.write_bytes(b"\x1f\x8b not really gzip")
    return [folder / "a.json", bad, folder / "c.json"]


def read(path):
    if path.suffix == ".parquet":
        return pa.parquet.read_table(path)
    if path.suffix == ".csv":
        return pa.csv.read_csv(path, convert_options=pa.csv.ConvertOptions(strings_can_be_null=True))
    return pa.ipc.open_file(path).read_all()


def rows(table):
    """Rows as plain values; CSV's texts and JSON lists read back as the values they stand for."""
    out = []
    for row in table.to_pylist():
        out.append({k: json.loads(v) if k == "winners" and isinstance(v, str) else plain(v)
                    for k, v in row.items()})
    return out


TABLES = {
    "prices": (vantrel.prices_table, [], {}),
    "ladder": (vantrel.prices_table, ["--form", "ladder", "--depth", "all", "--inplay"],
               {"form": "ladder", "depth": None, "inplay": True}),
    "sampled": (vantrel.prices_table, ["--depth", "2", "--every", "5s", "--changed-only"],
                {"depth": 2, "every": 5000, "changed_only": True}),
    "trades": (vantrel.trades_table, ["--table", "trades", "--market-types", "WIN"],
               {"market_types": ["WIN"]}),
    "markets": (vantrel.market_summaries, ["--table", "markets"], {}),
    "runners": (vantrel.runner_summaries, ["--table", "runners", "--before-off", "60,600"],
                {"before_off": [60, 600]}),
}


@pytest.mark.parametrize("suffix", [".parquet", ".csv", ".arrow", ".feather"])
@pytest.mark.parametrize("name", TABLES)
def test_export_equals_the_table_function(folder, tmp_path, name, suffix):
    function, flags, options = TABLES[name]
    out = tmp_path / f"out{suffix}"
    done = run("export", folder, "-o", out, "--jobs", 1, *flags)
    assert done.returncode == 0, done.stderr
    # renamed into place, with the permissions any new file gets
    assert os.listdir(tmp_path) == [out.name]
    umask = os.umask(0)
    os.umask(umask)
    assert out.stat().st_mode & 0o777 == 0o666 & ~umask
    expected = function(str(folder), **options)
    assert expected.num_rows > 0
    got = read(out)
    if suffix == ".csv":
        # CSV keeps no types: compare against the expected table read the same way
        assert rows(got) == rows(pa.csv.read_csv(_csv_of(expected, tmp_path)))
    else:
        assert got.schema == expected.schema
        assert rows(got) == rows(expected)


def _csv_of(table, tmp_path):
    """`table` through pyarrow's own CSV writer, its lists as JSON."""
    for i, field in enumerate(table.schema):
        if pa.types.is_list(field.type):
            texts = [None if v is None else json.dumps(v) for v in table.column(i).to_pylist()]
            table = table.set_column(i, field.name, pa.array(texts, pa.string()))
    path = tmp_path / "expected.csv.txt"
    pa.csv.write_csv(table, path)
    return path


@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_jobs_give_the_same_output_in_input_order(folder, tmp_path, suffix):
    sources = [folder / "c.json", folder / "a.json", folder / "b.json.gz", folder / "c.json"]
    outputs = []
    for jobs in (1, 2):
        out = tmp_path / f"jobs{jobs}{suffix}"
        done = run("export", *sources, "-o", out, "--jobs", jobs)
        assert done.returncode == 0, done.stderr
        outputs.append(rows(read(out)))
    assert outputs[0] == outputs[1]
    assert outputs[0] == rows(vantrel.prices_table([str(s) for s in sources]))


def test_info_table_and_json(folder):
    expected = vantrel.market_summaries(str(folder)).to_pylist()
    table = run("info", folder, "--jobs", 2)
    assert table.returncode == 0, table.stderr
    header, *lines = table.stdout.splitlines()
    assert header.split()[:3] == ["market", "event", "type"]
    assert [line.split()[0] for line in lines] == [m["market_id"] for m in expected]
    # aligned: the status column starts at the same place on every line
    starts = {line.index(m["status"], header.index("status")) for line, m in zip(lines, expected)}
    assert starts == {header.index("status")}

    as_json = run("info", folder, "--json")
    assert as_json.returncode == 0, as_json.stderr
    got = [json.loads(line) for line in as_json.stdout.splitlines()]
    assert [(g["market_id"], g["winners"], g["books"], g["total_matched"]) for g in got] == [
        (m["market_id"], m["winners"], m["books"], m["total_matched"]) for m in expected]
    assert got[0]["first_publish_time"] == expected[0]["first_publish_time"].isoformat().replace(
        "+00:00", "Z")


@pytest.mark.parametrize("args, message", [
    (["export", "{src}", "-o", "{tmp}/out.xlsx"], "format"),
    (["export", "{src}", "-o", "{tmp}/out.csv", "--bogus"], "unrecognized"),
    (["export", "{src}", "-o", "{tmp}/out.csv", "--table", "trades", "--depth", "2"], "--depth"),
    (["export", "{src}", "-o", "{tmp}/out.csv", "--table", "prices", "--before-off", "60"],
     "--before-off"),
    (["export", "{src}", "-o", "{tmp}/out.csv", "--every", "0"], "--every"),
    (["export", "{src}", "-o", "{tmp}/out.csv", "--depth", "all"], "--depth"),
    (["export", "{src}"], "-o"),
    (["info"], "SOURCE"),
    (["frobnicate", "{src}"], "invalid choice"),
])
def test_bad_usage_exits_2(folder, tmp_path, args, message):
    args = [a.format(src=folder, tmp=tmp_path) for a in args]
    done = run(*args)
    assert done.returncode == 2
    assert message in done.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("suffix", [".parquet", ".csv", ".arrow"])
def test_unreadable_input_exits_1_and_leaves_no_file(broken, tmp_path, suffix):
    out = tmp_path / f"out{suffix}"
    done = run("export", *broken, "-o", out, "--jobs", 2)
    assert done.returncode == 1
    assert "bad.json.gz" in done.stderr and "Traceback" not in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["bad.json.gz"]


@pytest.mark.parametrize("command", ["info", "export"])
@pytest.mark.parametrize("strict", [False, True])
def test_errors_skip_lists_skipped_files(broken, tmp_path, command, strict):
    out = tmp_path / "out.parquet"
    args = ["--errors", "skip"] + (["--strict"] if strict else [])
    if command == "export":
        args += ["-o", out]
    done = run(command, *broken, *args)
    assert done.returncode == (1 if strict else 0), done.stderr
    assert "skipped 1" in done.stderr and "bad.json.gz" in done.stderr
    if command == "export":
        good = [str(p) for p in broken if p.name != "bad.json.gz"]
        assert rows(read(out)) == rows(vantrel.prices_table(good))


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("strict", [False, True])
def test_errors_skip_lists_recordings_read_up_to_bytes_after_them(broken, tmp_path, strict, jobs):
    appended = tmp_path / "appended.json.gz"
    appended.write_bytes((broken[0].parent / "b.json.gz").read_bytes() + b"appended")
    out = tmp_path / "out.parquet"
    args = ["--errors", "skip", "--jobs", jobs, "-o", out] + (["--strict"] if strict else [])
    done = run("export", appended, *broken, *args)
    assert done.returncode == (1 if strict else 0), done.stderr
    listed = done.stderr.split("read 1 recording(s) up to bytes after their data:\n")[1]
    assert listed.startswith(f"  {appended}: bytes after the end of the gzip data, from byte ")
    assert "skipped 1" in done.stderr and "bad.json.gz" in done.stderr
    with pytest.warns(vantrel.TrailingBytesWarning), pytest.warns(vantrel.SkippedRecordingWarning):
        expected = vantrel.prices_table([appended, *broken], errors="skip")
    assert rows(read(out)) == rows(expected)


@pytest.mark.parametrize("where", ["missing", "a file", "read-only"])
def test_unwritable_output_fails_before_any_work(broken, tmp_path, where):
    # An unreadable input would be named if it were read: the output alone shows nothing was.
    target = tmp_path / "out"
    if where == "a file":
        target.write_bytes(b"")
    if where == "read-only":
        if os.geteuid() == 0:
            pytest.skip("root writes anywhere")
        target.mkdir()
        target.chmod(0o500)
    done = run("export", *broken, "-o", target / "prices.parquet")
    # the system's refusal, not bad usage: one line, no usage block
    assert done.returncode == 1
    assert done.stderr.startswith("vantrel: error: cannot write") and done.stderr.count("\n") == 1
    assert str(target / "prices.parquet") in done.stderr


def test_export_of_nothing_keeps_the_columns(tmp_path, broken):
    out = tmp_path / "empty.parquet"
    done = run("export", broken[1], "-o", out, "--errors", "skip", "--depth", "1")
    assert done.returncode == 0, done.stderr
    got = read(out)
    assert got.num_rows == 0
    assert got.schema == vantrel.prices_table([], depth=1).schema


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_stops_and_leaves_no_file(tmp_path, jobs):
    sample = (Path(__file__).resolve().parents[1] / "examples" / "1.234567890.gz").read_bytes()
    inputs = tmp_path / "in"
    inputs.mkdir()
    for i in range(30):
        (inputs / f"m{i:02d}.gz").write_bytes(sample)
    out = tmp_path / "out"
    out.mkdir()
    # A shell's background jobs ignore SIGINT; the export must get it as a terminal would send it.
    process = subprocess.Popen(
        [sys.executable, "-m", "vantrel", "export", inputs, "-o", out / "ladder.arrow", "--form",
         "ladder", "--depth", "all", "--jobs", str(jobs)], stderr=subprocess.PIPE, text=True,
        start_new_session=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while not os.listdir(out) and time.monotonic() < deadline:  # the export has begun
        time.sleep(0.01)
    os.killpg(process.pid, signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert "interrupted" in stderr and "Traceback" not in stderr
    assert os.listdir(out) == []


@pytest.fixture(scope="module")
def month(tmp_path_factory):
    """A plain tar of bzip2 recordings in the exchange's layout, to be cut into member groups."""
    path = tmp_path_factory.mktemp("month") / "month.tar"
    return exchange_tar(path, exchange_recordings(80, 8))


@pytest.mark.parametrize("name", TABLES)
def test_an_archive_is_spread_over_workers_with_the_output_of_one(month, tmp_path, name):
    function, flags, options = TABLES[name]
    assert len(member_groups(month, parts=4)) > 2  # the parts --jobs 1 and 2 work on
    expected = function(month, **options)
    assert expected.num_rows > 0
    for jobs in (1, 2):
        out = tmp_path / f"jobs{jobs}.parquet"
        done = run("export", month, "-o", out, "--jobs", jobs, *flags)
        assert done.returncode == 0, done.stderr
        got = read(out)
        assert got.schema == expected.schema
        assert rows(got) == rows(expected), jobs


@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_an_old_v7_header_is_exported_as_replay_reads_it(month, tmp_path, errors):
    names = [m.name for m in tarfile.open(month) if m.isreg()]
    for jobs in (1, 2):
        # The member that begins a group of the archive as it was gets the old header.
        old = names.index(member_groups(month, parts=PARTS_PER_JOB * jobs)[1].members[0])
        path = tmp_path / f"v7-{jobs}.tar"
        path.write_bytes(v7_header(open(month, "rb").read(), old))
        expected = vantrel.prices_table(str(path))
        assert expected.num_rows > 0
        out = tmp_path / f"jobs{jobs}.csv"
        done = run("export", path, "-o", out, "--jobs", jobs, "--errors", errors)
        assert done.returncode == 0, done.stderr
        assert rows(read(out)) == rows(pa.csv.read_csv(_csv_of(expected, tmp_path)))


@pytest.mark.parametrize("damage", [huge_base256_size, long_name_of_32_tib])
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_damaged_header_is_named_not_a_traceback(month, tmp_path, damage, jobs):
    path = tmp_path / "damaged.tar"
    path.write_bytes(damage(open(month, "rb").read()))
    with pytest.raises(vantrel.ReplayError, match="invalid tar header"):
        vantrel.prices_table(str(path))
    done = run("export", path, "-o", tmp_path / "out.parquet", "--jobs", jobs)
    assert done.returncode == 1
    assert "Traceback" not in done.stderr and "invalid tar header" in done.stderr
    # Skipped, the members before the damage keep their rows, as replay keeps them.
    out = tmp_path / "skipped.parquet"
    done = run("export", path, "-o", out, "--jobs", jobs, "--errors", "skip")
    assert "Traceback" not in done.stderr and done.returncode == 0, done.stderr
    with pytest.warns(vantrel.SkippedRecordingWarning):
        expected = vantrel.prices_table(str(path), errors="skip")
    assert expected.num_rows > 0
    assert rows(read(out)) == rows(expected)


@pytest.mark.parametrize("suffix", [".arrow", ".parquet", ".csv"])
@pytest.mark.parametrize("name", ["markets", "runners", "prices"])
def test_a_first_input_whose_texts_are_all_null(tmp_path, suffix, name):
    function, flags, options = TABLES[name]
    bare = write_without_texts(tmp_path / "football.json", 41, markets=1)
    full = write_event(tmp_path / "race.json", 42, markets=2)
    expected = function([bare, full], **options)
    for jobs in (1, 2):
        out = tmp_path / f"jobs{jobs}{suffix}"
        done = run("export", bare, full, "-o", out, "--jobs", jobs, *flags)
        assert done.returncode == 0, done.stderr
        got = read(out)
        if suffix == ".csv":
            options = pa.csv.ConvertOptions(strings_can_be_null=True)
            again = pa.csv.read_csv(_csv_of(expected, tmp_path), convert_options=options)
            assert rows(got) == rows(again)
        else:
            assert got.schema == expected.schema
            assert rows(got) == rows(expected)


@pytest.mark.parametrize("outcome", ["done", "failed"])
def test_worker_files_go_whatever_the_outcome(folder, month, tmp_path, outcome):
    bad = tmp_path / "bad.json.gz"
    bad.write_bytes(b"\x1f\x8b not really gzip")
    sources = [month, folder] + ([bad] if outcome == "failed" else [])
    process = subprocess.Popen(
        [sys.executable, "-m", "vantrel", "export", *sources, "-o", tmp_path / "out.parquet",
         "--jobs", "2"], stderr=subprocess.PIPE, text=True)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == (0 if outcome == "done" else 1), stderr
    assert parts_folders(process.pid, tmp_path) == set()
    assert sorted(os.listdir(tmp_path)) == ["bad.json.gz"] + (
        ["out.parquet"] if outcome == "done" else [])


def test_ctrl_c_while_workers_hand_over_leaves_no_worker_files(tmp_path):
    sample = (Path(__file__).resolve().parents[1] / "examples" / "1.234567890.gz").read_bytes()
    inputs = [tmp_path / f"m{i:02d}.gz" for i in range(40)]
    for path in inputs:
        path.write_bytes(sample)
    process = subprocess.Popen(
        [sys.executable, "-m", "vantrel", "export", *inputs, "-o", tmp_path / "out.parquet",
         "--form", "ladder", "--depth", "all", "--jobs", "2"], stderr=subprocess.PIPE, text=True,
        start_new_session=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    seen = False
    while time.monotonic() < deadline and not seen:
        seen = any(os.listdir(f) for f in parts_folders(process.pid, tmp_path) if os.path.isdir(f))
        time.sleep(0.005)
    os.killpg(process.pid, signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert seen, "the export's own hand-over folder never showed"
    assert process.returncode == 130, stderr
    assert parts_folders(process.pid, tmp_path) == set()
    assert not (tmp_path / "out.parquet").exists()


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".csv"])
def test_catalogue_writes_the_catalogue_of_every_input(tmp_path, suffix):
    events = archives.official_events(4, football=1, meetings=1, races=(1, 2),
                                      sizes=(20_000, 50_000))
    month = archives.official_tar(tmp_path / "month.tar", events)
    lone = tmp_path / "event.json"
    write_event(lone, 24, markets=2, messages=60)
    out = tmp_path / f"catalogue{suffix}"
    result = run("catalogue", month, lone, "-o", out, "--jobs", "2", "-q")
    assert result.returncode == 0, result.stderr
    expected = pa.concat_tables([vantrel.catalogue(month), vantrel.catalogue(str(lone))])
    got = read(out)
    assert got.num_rows == expected.num_rows > 0
    if suffix == ".csv":
        assert got.column("offset").to_pylist() == expected.column("offset").to_pylist()
        runners = [json.loads(text) for text in got.column("runners").to_pylist()]
        assert runners == expected.column("runners").to_pylist()
    else:
        assert got.to_pylist() == expected.to_pylist()
    missing = run("catalogue", tmp_path / "missing.tar", "-o", tmp_path / "none.parquet")
    assert missing.returncode == 1 and "missing.tar" in missing.stderr
    assert not (tmp_path / "none.parquet").exists()
