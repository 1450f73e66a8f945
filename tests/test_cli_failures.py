"""The command line when the world around it fails: killed outright, told to write over its own
input, a disk that fills up, a storage package that is not installed."""

import errno
import io
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.csv  # noqa: E402
import pyarrow.ipc  # noqa: E402
import pyarrow.parquet  # noqa: E402

from helpers.processes import parts_folders, still_running, workers_of  # noqa: E402
from helpers.recordings import write_event  # noqa: E402

SAMPLE = Path(__file__).resolve().parents[1] / "examples" / "1.234567890.gz"


def command(*args, code=""):
    """`vantrel ARGS` as a command, after `code` ran in its interpreter."""
    script = f"import sys\n{code}\nfrom vantrel.cli import main\nsys.exit(main(sys.argv[1:]))"
    return [sys.executable, "-c", script, *map(str, args)]


def run(*args, code="", **options):
    return subprocess.run(command(*args, code=code), capture_output=True, text=True, timeout=120,
                          **options)


@pytest.fixture
def many(tmp_path):
    """Enough copies of the sample recording that an export with two workers takes a while."""
    inputs = tmp_path / "in"
    inputs.mkdir()
    sample = SAMPLE.read_bytes()
    for i in range(60):
        (inputs / f"m{i:02d}.gz").write_bytes(sample)
    return inputs


def leftovers(out, pid):
    """What the export running as `pid` has in its output folder and hand-over places."""
    return parts_folders(pid, out) | {str(p) for p in out.iterdir() if f".{pid}." in p.name}


# Without the death signal the workers have only the pipe to see the parent go by: the way
# everywhere but Linux.
WITHOUT_DEATH_SIGNAL = ("import functools\nfrom vantrel.cli import orphans, tasks\n"
                        "tasks.start_worker = functools.partial(orphans.start_worker, "
                        "death_signal=False)")


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads /proc for the workers")
@pytest.mark.parametrize("code", ["", WITHOUT_DEATH_SIGNAL], ids=["death signal", "pipe alone"])
def test_kill_9_ends_the_workers_and_the_next_run_removes_what_it_left(many, tmp_path, code):
    out = tmp_path / "out"
    out.mkdir()
    target = out / "ladder.parquet"
    process = subprocess.Popen(
        command("export", many, "-o", target, "--form", "ladder", "--depth", "all", "--jobs", 2,
                code=code), stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    workers = []
    while time.monotonic() < deadline and not (
            len(workers) >= 2 and any(os.listdir(f) for f in parts_folders(process.pid, out))):
        workers = workers_of(process.pid)
        time.sleep(0.01)
    assert len(workers) >= 2, "the export never got under way"
    process.kill()
    process.wait()
    stuck = still_running(workers)
    for pid in stuck:  # not to outlive the test when it fails
        os.kill(pid, signal.SIGKILL)
    assert stuck == []
    left = leftovers(out, process.pid)
    assert left, "a process killed outright cleans up nothing itself"

    again = run("export", SAMPLE, "-o", target, "--jobs", 1, "-q")
    assert again.returncode == 0, again.stderr
    assert not any(os.path.exists(path) for path in left)
    assert os.listdir(out) == ["ladder.parquet"]


def dead_pid():
    """The id of a process that has ended."""
    ended = subprocess.Popen([sys.executable, "-c", "pass"])
    ended.wait()
    return ended.pid


def test_a_run_removes_only_what_ended_runs_of_its_own_left(tmp_path):
    dead, live = dead_pid(), os.getpid()
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "kept.json").write_bytes(b"")
    out = tmp_path / "out"
    out.mkdir()
    files = {  # name: whether a run removes it
        f".ladder.parquet.{dead}.0123abcd.part": True,
        f".trades.CSV.{dead}.89abcdef.part": True,
        f".ladder.parquet.{live}.0123abcd.part": False,  # a run still going
        f".notes.txt.{dead}.0123abcd.part": False,  # not an output vantrel writes
        f"ladder.parquet.{dead}.0123abcd.part": False,
        f".ladder.parquet.{dead}.part": False,
        f".vantrel-parts-{dead}-notadir0": False,
    }
    folders = {f".vantrel-parts-{dead}-abc_1234": True, f".vantrel-parts-{live}-abcd1234": False}
    for name in files:
        (out / name).write_bytes(b"x")
    for name in folders:
        (out / name).mkdir()
        (out / name / "0.parquet").write_bytes(b"x")
    # a link in a shared folder leads nowhere the removal would follow
    (out / f".vantrel-parts-{dead}-link0000").symlink_to(elsewhere)
    done = run("export", SAMPLE, "-o", out / "ladder.parquet", "--jobs", 1, "-q")
    assert done.returncode == 0, done.stderr
    expected = {name for name, removed in {**files, **folders}.items() if not removed}
    assert set(os.listdir(out)) == expected | {"ladder.parquet", f".vantrel-parts-{dead}-link0000"}
    assert os.listdir(elsewhere) == ["kept.json"]


MISSING_STORAGE = {  # a URL, the module taken away, and the package to install
    "s3": ("s3://bucket/2024/1.234567890.bz2", "s3fs", "s3fs"),
    "https": ("https://example.com/1.234567890.bz2", "aiohttp", "aiohttp"),
    "chained": ("simplecache::s3://bucket/1.234567890.bz2", "s3fs", "s3fs"),
    "no fsspec": ("s3://bucket/1.234567890.bz2", "fsspec", "fsspec"),
}


@pytest.mark.parametrize("case", MISSING_STORAGE)
def test_a_url_without_its_storage_package_is_one_line_naming_it(tmp_path, case):
    url, module, package = MISSING_STORAGE[case]
    if module != "fsspec":
        pytest.importorskip("fsspec")
    taken = f"sys.modules[{module!r}] = None"
    out = tmp_path / "out.parquet"
    for args in (["info", url, "--jobs", 2], ["export", SAMPLE, url, "-o", out, "--jobs", 1]):
        done = run(*args, code=taken)
        assert done.returncode == 2, done.stderr
        assert done.stderr.startswith(f"vantrel: error: {url}: ") and done.stderr.count("\n") == 1
        assert done.stderr.endswith(f"needs {package}: pip install {package}\n")
    assert os.listdir(tmp_path) == []


def test_a_catalogue_naming_urls_says_which_package_is_missing(tmp_path):
    import vantrel

    pytest.importorskip("fsspec")
    url = "s3://bucket/1.234567890.gz"
    table = vantrel.catalogue(str(SAMPLE))
    table = table.set_column(table.schema.get_field_index("source"), "source",
                             pa.array([url] * table.num_rows))
    picked = tmp_path / "picked.parquet"
    pa.parquet.write_table(table, picked)
    done = run("info", "--catalogue", picked, code="sys.modules['s3fs'] = None")
    assert (done.returncode, done.stderr) == (
        2, f"vantrel: error: {url}: reading s3:// needs s3fs: pip install s3fs\n")


class FullDisk(io.RawIOBase):
    """A file on a disk with `room` bytes left: writes beyond it fail as a full disk's do,
    after what fits is written."""

    def __init__(self, path, room):
        self.file = open(path, "wb")
        self.room = room

    def writable(self):
        return True

    def write(self, data):
        if len(data) > self.room:
            self.file.write(bytes(data[:self.room]))
            self.room = 0
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        self.room -= len(data)
        return self.file.write(data)

    def close(self):
        self.file.close()
        super().close()


@pytest.fixture
def full_disk(monkeypatch):
    """Every file the exporter writes is on a disk with 64 KiB left: the joined Parquet file
    through Python's open, the others through pyarrow's writers given a file object."""
    from vantrel.cli import writers

    room = 64 << 10

    def opened(path, mode="r", *args, **options):
        return FullDisk(path, room) if "w" in mode else open(path, mode, *args, **options)

    def onto_full_disk(write):
        return lambda path, *args, **options: write(
            pa.PythonFile(FullDisk(path, room), mode="w"), *args, **options)

    monkeypatch.setattr(writers, "open", opened, raising=False)
    monkeypatch.setattr(writers, "parquet_writer", onto_full_disk(pyarrow.parquet.ParquetWriter))
    monkeypatch.setattr(pyarrow.csv, "CSVWriter", onto_full_disk(pyarrow.csv.CSVWriter))
    monkeypatch.setattr(pyarrow.ipc, "new_file", onto_full_disk(pyarrow.ipc.new_file))


@pytest.mark.parametrize("suffix, jobs", [
    (".parquet", 1), (".parquet", 2), (".csv", 1), (".arrow", 2),
])
def test_a_full_disk_is_one_line_and_leaves_nothing(many, tmp_path, capsys, full_disk, suffix,
                                                      jobs):
    from vantrel.cli import main

    out = tmp_path / "out"
    out.mkdir()
    target = out / f"ladder{suffix}"
    inputs = sorted(many.iterdir())[:4]
    status = main(["export", *map(str, inputs), "-o", str(target), "--form", "ladder",
                   "--depth", "all", "--jobs", str(jobs)])
    stderr = capsys.readouterr().err
    assert status == 1
    assert stderr == f"vantrel: error: cannot write {str(target)!r}: {os.strerror(errno.ENOSPC)}\n"
    assert os.listdir(out) == []
    assert parts_folders(os.getpid(), out) == set()


def limit_file_size(size):
    def limit():
        import resource

        # Past the limit a write fails with EFBIG, once the signal that would end the process
        # instead is ignored (as its workers inherit).
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


@pytest.mark.skipif(not hasattr(signal, "SIGXFSZ"), reason="no file size limit here")
@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_any_error_of_the_system_while_writing_is_one_line(many, tmp_path, suffix, jobs):
    out = tmp_path / "out"
    out.mkdir()
    process = subprocess.Popen(
        command("export", many, "-o", out / f"ladder{suffix}", "--form", "ladder", "--depth",
                "all", "--jobs", jobs), stderr=subprocess.PIPE, text=True,
        preexec_fn=limit_file_size(256 << 10))
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 1, stderr
    assert stderr.startswith("vantrel: error: cannot write ") and stderr.count("\n") == 1
    assert stderr.endswith(f": {os.strerror(errno.EFBIG)}\n")
    assert os.listdir(out) == []
    assert parts_folders(process.pid, out) == set()


def over_an_input(tmp_path, case):
    """The arguments of an export whose output is one of its inputs, and that output."""
    import vantrel

    data = tmp_path / "data"
    data.mkdir()
    recording = write_event(data / "1.234567890.csv", 31, markets=1, messages=80)
    earlier = data / "prices.parquet"  # an earlier export's output, kept beside its recordings
    earlier.write_bytes(b"PAR1 an earlier table PAR1")
    picked = tmp_path / "picked.parquet"
    pyarrow.parquet.write_table(vantrel.catalogue(str(recording)), picked)
    link = tmp_path / "link.csv"
    if case == "a link to it":
        link.symlink_to(recording)
    if case == "a hard link to it":
        os.link(recording, link)
    return {
        "its own path": (["export", recording], recording),
        "a link to it": (["export", recording], link),
        "a hard link to it": (["export", data], link),
        "in a source folder": (["export", data], earlier),
        "matched by a glob": (["export", data / "*"], earlier),
        "the catalogue read": (["export", "--catalogue", picked], picked),
        "named by the catalogue": (["export", "--catalogue", picked], recording),
        "catalogued over its source": (["catalogue", data / "1.234567890.csv"], recording),
    }[case]


@pytest.mark.parametrize("case", [
    "its own path", "a link to it", "a hard link to it", "in a source folder",
    "matched by a glob", "the catalogue read", "named by the catalogue",
    "catalogued over its source",
])
@pytest.mark.parametrize("jobs", [1, 2])
def test_an_output_that_is_an_input_is_refused_before_anything_is_written(tmp_path, case, jobs):
    args, output = over_an_input(tmp_path, case)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    done = run(*args, "-o", output, "--jobs", jobs)
    assert done.returncode == 2
    assert done.stderr.startswith(f"vantrel: error: will not write {str(output)!r}: it is ")
    assert done.stderr.count("\n") == 1, done.stderr
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


def test_an_output_beside_the_inputs_is_written(tmp_path):
    args, _ = over_an_input(tmp_path, "its own path")
    elsewhere = tmp_path / "data" / "prices.csv"
    elsewhere.write_bytes(b"an earlier table")
    done = run(*args, "-o", elsewhere, "-q")
    assert done.returncode == 0, done.stderr
    assert elsewhere.read_bytes().startswith(b'"market_id"')
