"""The command line as a user meets it: help, version, its one error prefix, what it says when
a package or input is missing, the closing summary, and SIGTERM cleaned up as Ctrl-C is."""

import importlib.metadata
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")

import vantrel  # noqa: E402
from helpers.processes import still_running, workers_of  # noqa: E402
from helpers.recordings import exchange_recordings, write_event  # noqa: E402
from tools.recordings import Shape, generate  # noqa: E402
from tools.recordings.archives import exchange_tar  # noqa: E402
from vantrel._sources import member_groups  # noqa: E402
from vantrel.cli import Counts, Progress, parts_prefix  # noqa: E402
from vantrel.cli.tasks import scratch_place  # noqa: E402

SAMPLE = Path(__file__).resolve().parents[1] / "examples" / "1.234567890.gz"


def run(*args, code="", **options):
    """`vantrel ARGS`, after `code` ran in the same interpreter (to take a package away)."""
    script = f"import sys\n{code}\nfrom vantrel.cli import main\nsys.exit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True,
                          text=True, timeout=120, **options)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("usage")
    write_event(root / "a.json", 21, markets=2, messages=120)
    write_event(root / "b.json.gz", 22, markets=1, messages=150)
    return root


def test_the_command_alone_prints_help():
    done = run()
    assert done.returncode == 2
    assert done.stderr.startswith("usage: vantrel") and "export" in done.stderr
    assert "Run 'vantrel COMMAND --help'" in " ".join(done.stderr.split())


def test_the_version_is_the_installed_one():
    installed = importlib.metadata.version("vantrel")
    assert vantrel.__version__ == installed
    done = run("--version")
    assert (done.returncode, done.stdout) == (0, f"vantrel {installed}\n")


@pytest.mark.parametrize("args", [
    ("export", "x.json", "-o", "out.csv", "--form", "bset"),
    ("info", "x.json", "--jobs", "0"),
    ("export", "x.json"),
], ids=["bad choice", "bad number", "missing option"])
def test_usage_errors_carry_the_one_prefix(args):
    done = run(*args)
    assert done.returncode == 2
    last = done.stderr.splitlines()[-1]
    assert last.startswith("vantrel: error: "), done.stderr


@pytest.mark.parametrize("command", ["info", "export"])
def test_without_pyarrow_both_commands_say_so_in_one_line(tmp_path, command):
    output = ["-o", tmp_path / "out.parquet"] if command == "export" else []
    done = run(command, SAMPLE, *output, code="sys.modules['pyarrow'] = None")
    assert done.returncode == 2
    assert done.stderr == f"vantrel: error: {command} needs pyarrow: pip install 'vantrel[cli]'\n"


@pytest.mark.parametrize("jobs", [1, 2])
def test_an_empty_folder_is_a_one_line_error(tmp_path, jobs):
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / ".hidden").write_bytes(b"")
    done = run("info", tmp_path / "empty", "--jobs", jobs)
    assert done.returncode == 1
    assert done.stderr == (f"vantrel: error: {tmp_path / 'empty'}: the folder holds no files "
                           "(hidden ones are skipped)\n")


SUMMARY = re.compile(r"vantrel: ([\d,]+) files?, ([\d,]+) markets?, ([\d,]+) books?, "
                     r"([\d,]+) rows? in \d+\.\ds")


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("table", ["prices", "trades", "markets"])
def test_the_run_ends_with_a_summary_of_what_was_read(folder, tmp_path, jobs, table):
    out = tmp_path / "out.arrow"
    done = run("export", folder, "-o", out, "--table", table, "--jobs", jobs)
    assert done.returncode == 0, done.stderr
    summary = SUMMARY.fullmatch(done.stderr.splitlines()[-1])
    assert summary, done.stderr
    markets = vantrel.market_summaries(folder)
    written = pa.ipc.open_file(out).read_all()
    expected = [2, markets.num_rows, sum(markets.column("books").to_pylist()), written.num_rows]
    assert [int(n.replace(",", "")) for n in summary.groups()] == expected
    assert run("export", folder, "-o", out, "--quiet").stderr == ""


@pytest.fixture(scope="module")
def long_texts(tmp_path_factory):
    """Markets whose texts run long, as football's and place markets' do, beside races'."""
    root = tmp_path_factory.mktemp("long")
    generate(root / "1.100000001.gz", Shape(
        kind="match", runners=3, market_type="OVER_UNDER_25", market_name="Over/Under 2.5 Goals",
        event_name="Wolverhampton Wanderers v Nottingham Forest"), messages=60, seed=3)
    generate(root / "1.100000002.gz", Shape(
        runners=10, market_type="PLACE", market_name="To Be Placed", number_of_winners=3,
        event_name="Newmarket (July) 12th Jul"), messages=80, seed=4)
    write_event(root / "event.json", 21, markets=2, messages=60)
    return root


@pytest.mark.parametrize("columns", [None, 60, 80, 100, 160, 1000])
def test_info_fits_the_terminal(long_texts, columns):
    env = {name: value for name, value in os.environ.items() if name != "COLUMNS"}
    if columns is not None:  # a terminal's width, as shells give it; else a pipe's
        env["COLUMNS"] = str(columns)
    done = run("info", long_texts, "-q", "--jobs", 1, env=env)
    assert done.returncode == 0, done.stderr
    header, *lines = done.stdout.splitlines()
    expected = vantrel.market_summaries(long_texts).to_pylist()
    assert [line.split()[0] for line in lines] == [m["market_id"] for m in expected]
    if (columns or 120) >= 80:  # where what is left reads
        assert max(len(line) for line in [header, *lines]) <= (columns or 120)
    # a text cut short is its start and an ellipsis, in the same place on every line
    event, after = header.index("event"), header.index("type")
    for line, market in zip(lines, expected):
        shown, text = line[event:after].rstrip(), market["event_name"] or ""
        assert shown == text or (shown.endswith("\u2026") and text.startswith(shown[:-1]))
    # room for everything: nothing cut short or left out
    assert ("\u2026" not in done.stdout and "first" in header) == (columns == 1000)


def test_progress_counts_an_archives_members(tmp_path):
    month = tmp_path / "month.tar"
    exchange_tar(month, exchange_recordings(80, 6))
    groups = member_groups(month, parts=3, floor=1)
    assert groups and len(groups) > 1 and len(groups[0].members) > 1
    progress = Progress([*groups, str(SAMPLE)], enabled=False)
    progress.file_done(groups[0], Counts(markets=2, books=10, rows=30))
    assert progress.text() == f"{len(groups[0].members)}/7 files, 2 markets"


def test_jobs_default_to_the_cpus_this_process_may_use():
    if not hasattr(os, "sched_setaffinity"):
        pytest.skip("no CPU affinity here")
    done = run("export", "--help", preexec_fn=lambda: os.sched_setaffinity(0, {0}))
    assert "here 1)" in " ".join(done.stdout.split())


def test_csv_times_are_iso_8601(tmp_path):
    out = tmp_path / "out.csv"
    assert run("export", SAMPLE, "-o", out, "--table", "markets").returncode == 0
    header, row = out.read_text().splitlines()[:2]
    values = [v.strip('"') for v in row.split(",")]
    times = [v for v in values if re.fullmatch(r"\d{4}-\d\d-\d\d[ T].*Z", v)]
    assert times and all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", t)
                         for t in times), row


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads /proc for the workers")
@pytest.mark.parametrize("masks", [True, False], ids=["signal masks", "no signal masks"])
def test_sigterm_cleans_up_as_ctrl_c_does(tmp_path, masks):
    sample = SAMPLE.read_bytes()
    inputs = [tmp_path / f"m{i:02d}.gz" for i in range(40)]
    for path in inputs:
        path.write_bytes(sample)
    out = tmp_path / "out"
    out.mkdir()
    code = "" if masks else "import signal\ndel signal.pthread_sigmask"
    script = f"import sys\n{code}\nfrom vantrel.cli import main\nsys.exit(main(sys.argv[1:]))"
    process = subprocess.Popen(
        [sys.executable, "-c", script, "export", *inputs, "-o", out / "ladder.parquet",
         "--form", "ladder", "--depth", "all", "--jobs", "2"], stderr=subprocess.PIPE, text=True)
    places = ("/dev/shm", tempfile.gettempdir(), str(out))
    deadline = time.monotonic() + 60
    parts = []
    while time.monotonic() < deadline and not any(os.listdir(p) for p in parts):
        parts = [os.path.join(place, name) for place in places if os.path.isdir(place)
                 for name in os.listdir(place) if name.startswith(parts_prefix(process.pid))]
        time.sleep(0.005)
    workers = workers_of(process.pid)
    assert parts and workers, "the export never got under way"
    process.send_signal(signal.SIGTERM)  # the process alone, as a service manager sends it
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 143, stderr
    assert stderr.splitlines()[-1] == "vantrel: error: terminated" and "Traceback" not in stderr
    assert not any(os.path.exists(p) for p in parts)
    assert os.listdir(out) == []
    assert still_running(workers) == []


def test_main_runs_outside_the_main_thread(capsys):
    # An application may run the command in a thread of its own, where signals cannot be taken.
    import threading

    from vantrel.cli import main

    status = []
    thread = threading.Thread(target=lambda: status.append(
        main(["info", str(SAMPLE), "--jobs", "1", "--json"])))
    thread.start()
    thread.join(60)
    assert status == [0]
    assert '"market_id": "1.234567890"' in capsys.readouterr().out


@pytest.mark.parametrize("output, expected", [
    ("out/ladder.parquet", "out"),
    (None, tempfile.gettempdir()),
], ids=["beside the output", "temporary folder"])
def test_scratch_place_without_statvfs(monkeypatch, tmp_path, output, expected):
    # Windows has no os.statvfs: the workers' tables then wait where a disk has room.
    monkeypatch.delattr(os, "statvfs")
    monkeypatch.chdir(tmp_path)
    assert scratch_place(output) == os.path.abspath(expected)
