#!/usr/bin/env python3
"""vantrel against betfairlightweight and fixed floors, side by side in one run.

    .venv/bin/python bench/run.py [--quick] [--update-readme]

Contenders, each in a fresh child process per input and kind of work
(bench/workloads.py), children of one input and work run back to back in an
order that rotates from input to input:

  vantrel      iter_prices_file: load alone, iterate, read prices
  bfl-objects  betfairlightweight's historical stream, MarketBook objects
  bfl-dicts    the same with lightweight=True (plain dicts)
  zlib         floor: inflate the gzip file in one call (gzip inputs)
  orjson       floor: orjson.loads of every line, results kept
  json         floor: json.loads of every line, results kept (plain inputs)

"iterate" replays every snapshot touching nothing; "read prices" also reads each
runner's best back, best lay and last traded price in every snapshot. The peer
reads plain text only: for gzip inputs it gets a decompressed copy made before
any clock starts, so its figures never include inflating.

Figures: the median seconds of the repetitions inside each child, per message
and per uncompressed MB, and the peak resident memory of one call above the
child's memory after its imports. With valgrind present, instruction counts of
vantrel on small inputs. Results go to bench/out/ (results.json, results.md,
bench.png); --update-readme also rewrites the table in README.md and
docs/bench.png.

Inputs: the recordings in the shared data folder (beside the checkout, or
VANTREL_DATA_DIR; skipped when absent) and generated files cached in
bench/data/gen/.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import (BENCH, REPO, generated, is_gzip, plain_copy,  # noqa: E402
                    shared_data_dir, shared_recordings)

WORKLOADS = BENCH / "workloads.py"
OUT = BENCH / "out"
README = REPO / "README.md"
README_PNG = REPO / "docs" / "bench.png"
MARK_START, MARK_END = "<!-- bench:start -->", "<!-- bench:end -->"

# Generated inputs: (shape, messages or None for the shape's default, also measure a plain copy)
FULL_GEN = [("inplay2", None, False), ("deep20", None, True), ("five", None, False),
            ("huge", None, False)]
QUICK_GEN = [("inplay2", 20_000, False), ("deep20", 3_000, True), ("five", 3_000, False)]
# Instruction counts run on these in both modes: a few thousand messages take seconds.
COUNTED_GEN = [("inplay2", 5_000, False), ("deep20", 3_000, True), ("five", 3_000, False)]

PEERS = ("bfl-objects", "bfl-dicts")
REPLAYERS = ("vantrel",) + PEERS
WORKS = {"iterate": "iterate", "read": "read prices"}

# Targets: vantrel's speed-up over the peer when iterating, and load against the floors.
ITERATE_TARGETS = {"bfl-objects": 15.0, "bfl-dicts": 3.0}
DEEP_ITERATE_TARGETS = {"bfl-objects": 40.0, "bfl-dicts": 10.0}
DEEP_SHAPE = "deep20"
GZIP_LOAD_TARGET = 1.3   # load over inflating alone, at most
PLAIN_LOAD_TARGET = 5.0  # json.loads of the lines over load, at least
MEMORY_TARGET = 1.5      # peak resident memory of a replay over the uncompressed size, at most
MEMORY_MIN_SIZE = 1_000_000  # below this, fixed allocations swamp the ratio: shown, not judged


@dataclass(frozen=True)
class Plan:
    budget: float    # seconds each child aims to spend timing
    min_reps: int
    max_reps: int
    cap: float       # a child whose repetitions are this slow stops short of min_reps
    slow: float      # a peer whose one iterate pass takes longer is not also run to read prices


FULL = Plan(budget=6.0, min_reps=3, max_reps=5, cap=90.0, slow=300.0)
QUICK = Plan(budget=0.6, min_reps=3, max_reps=5, cap=3.0, slow=30.0)


@dataclass
class Input:
    label: str
    path: Path       # what vantrel reads
    plain: Path      # what the peer and the parsing floors read
    gzip: bool
    size: int        # uncompressed bytes
    messages: int    # non-blank lines
    shape: str = ""


@dataclass
class Measure:
    contender: str
    work: str
    file: str
    times: list[float] = field(default_factory=list)
    inner: int = 1
    baseline: int = 0
    peak: int = 0
    error: str = ""
    skipped: str = ""
    info: dict = field(default_factory=dict)

    @property
    def seconds(self) -> float | None:
        return statistics.median(self.times) if self.times else None

    @property
    def memory(self) -> int:
        return self.peak - self.baseline


# --------------------------------------------------------------------------
# Inputs

def count_messages(path: Path) -> int:
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip())


def make_input(path: Path, label: str, shape: str = "") -> Input:
    plain = plain_copy(path) if is_gzip(path) else path
    return Input(label, path, plain, is_gzip(path), plain.stat().st_size,
                 count_messages(plain), shape)


def generated_inputs(requests, seed: int) -> list[Input]:
    inputs = []
    for shape, messages, with_plain in requests:
        gz = generated(f"{shape}:{messages}" if messages else shape, seed)
        inp = make_input(gz, "", shape)
        inp.label = f"{shape}-{round(inp.messages / 1000)}k.gz"
        inputs.append(inp)
        if with_plain:
            inputs.append(Input(inp.label[:-3], inp.plain, inp.plain, False, inp.size,
                                inp.messages, shape))
    return inputs


def gather_inputs(args) -> tuple[list[Input], list[str]]:
    notes = []
    inputs = []
    shared = None if args.no_shared else shared_data_dir()
    if shared is not None:
        inputs += [make_input(p, p.name) for p in shared_recordings(shared)]
    elif not args.no_shared:
        notes.append("shared recordings not found: generated inputs only")
    inputs += generated_inputs(QUICK_GEN if args.quick else FULL_GEN, args.seed)
    return inputs, notes


# --------------------------------------------------------------------------
# Measuring

def run_child(contender: str, work: str, path: Path, plan: Plan) -> Measure:
    cmd = [sys.executable, str(WORKLOADS), contender, work, str(path),
           "--budget", str(plan.budget), "--min-reps", str(plan.min_reps),
           "--max-reps", str(plan.max_reps), "--cap", str(plan.cap)]
    proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
    m = Measure(contender, work, str(path))
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
        m.error = lines[-1][:200]
        return m
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    m.times, m.inner, m.baseline, m.peak = out.pop("times"), out.pop("inner"), \
        out.pop("baseline"), out.pop("peak")
    for key in ("contender", "work", "path"):
        out.pop(key)
    m.info = out
    return m


def rotate(items: tuple, by: int) -> tuple:
    by %= len(items)
    return items[by:] + items[:by]


def jobs_for(inp: Input, index: int, peers: bool, have_orjson: bool) -> list[tuple[str, str, Path]]:
    """The children one input needs, floors and load first, then each work in turn."""
    jobs = [("vantrel", "load", inp.path)]
    if inp.gzip:
        jobs.append(("zlib", "floor", inp.path))
    else:
        jobs.append(("json", "floor", inp.plain))
    if have_orjson:
        jobs.append(("orjson", "floor", inp.plain))
    replayers = REPLAYERS if peers else ("vantrel",)
    for work in WORKS:
        for contender in rotate(replayers, index):
            jobs.append((contender, work, inp.path if contender == "vantrel" else inp.plain))
    return jobs


def measure_all(inputs: list[Input], plan: Plan, peers: bool,
                have_orjson: bool) -> dict[tuple[str, str, str], Measure]:
    done: dict[tuple[str, str, str], Measure] = {}
    for index, inp in enumerate(inputs):
        print(f"{inp.label}: {inp.size / 1e6:.1f} MB, {inp.messages:,} messages", flush=True)
        for contender, work, path in jobs_for(inp, index, peers, have_orjson):
            key = (contender, work, str(path))
            if key in done:  # the peer and the parsers read one plain copy for .gz and plain alike
                continue
            first = done.get((contender, "iterate", str(path)))
            if work == "read" and first and first.times and first.times[0] * first.inner > plan.slow:
                m = Measure(contender, work, str(path),
                            skipped=f"one iterate pass took {first.times[0]:.0f} s")
            else:
                started = time.perf_counter()
                m = run_child(contender, work, path, plan)
                m.info["child_wall"] = time.perf_counter() - started
            done[key] = m
            print(f"  {contender:<12} {WORKS.get(work, work):<12} {describe(m, inp)}", flush=True)
    return done


def describe(m: Measure, inp: Input) -> str:
    if m.error:
        return f"error: {m.error}"
    if m.skipped:
        return f"not run: {m.skipped}"
    return (f"{m.seconds * 1e3:10.1f} ms  {m.seconds / inp.messages * 1e6:9.2f} us/msg"
            f"  ({len(m.times)} x {m.inner})")


# --------------------------------------------------------------------------
# Instruction counts

def callgrind_total(work: str, path: Path) -> int:
    with tempfile.TemporaryDirectory(prefix="vantrel-cg-") as tmp:
        out = Path(tmp) / "callgrind.out"
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "-q",
               sys.executable, str(WORKLOADS), "vantrel", work, str(path), "--once"]
        # A fixed hash seed keeps the interpreter's own share of the count steady.
        env = dict(os.environ, PYTHONHASHSEED="0")
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env, check=False)
        if proc.returncode != 0:
            raise RuntimeError(f"callgrind on {path.name} ({work}): {proc.stderr.strip()[-300:]}")
        for line in out.read_text().splitlines():
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1])
    raise RuntimeError(f"no instruction total in the callgrind output for {path.name}")


def instruction_counts(inputs: list[Input]) -> tuple[list[dict], str]:
    """Instructions per message of the replay (load and iterate, less load alone)
    and per uncompressed byte of the load (load, less the imports alone)."""
    if shutil.which("valgrind") is None:
        return [], "valgrind not found: instruction counts skipped (apt-get install valgrind)"
    runs = [("none", inputs[0].path)] + [(w, i.path) for i in inputs for w in ("load", "iterate")]
    # Counts do not depend on what else runs, so both cores may share the work.
    with ThreadPoolExecutor(max_workers=2) as pool:
        totals = dict(zip(runs, pool.map(lambda r: callgrind_total(*r), runs)))
    imports = totals[runs[0]]
    rows = []
    for inp in inputs:
        load, iterate = totals[("load", inp.path)], totals[("iterate", inp.path)]
        rows.append({"input": inp.label, "messages": inp.messages, "bytes": inp.size,
                     "load_ir": load - imports, "replay_ir": iterate - load,
                     "ir_per_byte_load": (load - imports) / inp.size,
                     "ir_per_message_replay": (iterate - load) / inp.messages})
    return rows, ""


# --------------------------------------------------------------------------
# Figures

class Results:
    def __init__(self, inputs: list[Input], measures: dict[tuple[str, str, str], Measure]):
        self.inputs = inputs
        self.measures = measures

    def label(self, file: str) -> str:
        """The input a measured file belongs to; a plain copy is named after its gzip file."""
        return next((i.label for i in self.inputs if file in (str(i.path), str(i.plain))), file)

    def notes(self, plan: Plan) -> list[str]:
        notes = []
        for m in self.measures.values():
            what = f"{m.contender} {WORKS.get(m.work, m.work)} on {self.label(m.file)}"
            if m.error:
                notes.append(f"{what} failed: {m.error}")
            elif m.skipped:
                notes.append(f"{what} not run: {m.skipped}")
            elif len(m.times) < plan.min_reps:
                notes.append(f"{what}: {len(m.times)} repetition(s), since {plan.min_reps} "
                             f"would pass {plan.cap:.0f} s")
        return notes

    def get(self, inp: Input, contender: str, work: str) -> Measure | None:
        path = inp.path if contender in ("vantrel", "zlib") else inp.plain
        return self.measures.get((contender, work, str(path)))

    def seconds(self, inp: Input, contender: str, work: str) -> float | None:
        m = self.get(inp, contender, work)
        return m.seconds if m else None

    def speedup(self, inp: Input, peer: str, work: str) -> float | None:
        ours, theirs = self.seconds(inp, "vantrel", work), self.seconds(inp, peer, work)
        return theirs / ours if ours and theirs else None

    def ratios(self, inp: Input) -> dict:
        r: dict = {}
        deep = inp.shape == DEEP_SHAPE
        for work in WORKS:
            for peer in PEERS:
                value = self.speedup(inp, peer, work)
                target = (DEEP_ITERATE_TARGETS if deep else ITERATE_TARGETS)[peer] \
                    if work == "iterate" else None
                r[f"{work}_vs_{peer}"] = judged(value, target, at_least=True)
        load = self.seconds(inp, "vantrel", "load")
        if inp.gzip:
            floor = self.seconds(inp, "zlib", "floor")
            r["load_vs_floor"] = judged(load / floor if load and floor else None,
                                        GZIP_LOAD_TARGET, at_least=False, floor="zlib")
        else:
            floor = self.seconds(inp, "json", "floor")
            r["load_vs_floor"] = judged(floor / load if load and floor else None,
                                        PLAIN_LOAD_TARGET, at_least=True, floor="json")
        orj = self.seconds(inp, "orjson", "floor")
        r["load_vs_orjson"] = judged(orj / load if load and orj else None, None, True)
        replay = self.get(inp, "vantrel", "iterate")
        multiple = replay.memory / inp.size if replay and replay.times else None
        r["memory"] = judged(multiple, MEMORY_TARGET if inp.size >= MEMORY_MIN_SIZE else None,
                             at_least=False)
        return r


def judged(value: float | None, target: float | None, at_least: bool, floor: str = "") -> dict:
    ok = None
    if value is not None and target is not None:
        ok = value >= target if at_least else value <= target
    return {"value": value, "target": target, "at_least": at_least, "ok": ok, "floor": floor}


def cell(r: dict) -> str:
    if r["value"] is None:
        return "-"
    text = f"{r['value']:.2f}x" if r["value"] < 10 else f"{r['value']:.1f}x"
    if r["floor"]:
        text += f" {r['floor']}"
    if r["target"] is not None:
        text += f" {'>=' if r['at_least'] else '<='}{r['target']:g} {'ok' if r['ok'] else 'MISS'}"
    return text


def mb(n: float) -> str:
    return f"{n / 1e6:.1f}" if n >= 1e6 else f"{n / 1e6:.2f}"


def detail_rows(res: Results) -> tuple[list[str], list[list[str]]]:
    head = ["input", "contender", "work", "reps", "median s", "us/msg", "MB/s",
            "peak MB", "x size", "note"]
    rows = []
    for inp in res.inputs:
        for contender, work in [("vantrel", "load"), ("zlib", "floor"), ("json", "floor"),
                                ("orjson", "floor")] + [(c, w) for w in WORKS for c in REPLAYERS]:
            m = res.get(inp, contender, work)
            if m is None:
                continue
            name = WORKS.get(work, work)
            if m.error or m.skipped:
                rows.append([inp.label, contender, name] + ["-"] * 6
                            + [m.error or f"not run: {m.skipped}"])
                continue
            s = m.seconds
            rows.append([inp.label, contender, name, f"{len(m.times)}x{m.inner}", f"{s:.4f}",
                         f"{s / inp.messages * 1e6:.2f}", f"{inp.size / s / 1e6:.0f}",
                         mb(m.memory), f"{m.memory / inp.size:.2f}", ""])
    return head, rows


RATIO_HEAD = ["input", "MB", "msgs", "iterate vs bfl-objects", "iterate vs bfl-dicts",
              "read vs bfl-objects", "read vs bfl-dicts", "load vs floor", "load vs orjson",
              "peak RSS / size"]


def ratio_rows(res: Results) -> tuple[list[str], list[list[str]]]:
    rows = []
    for inp in res.inputs:
        r = res.ratios(inp)
        rows.append([inp.label, mb(inp.size), f"{inp.messages:,}",
                     cell(r["iterate_vs_bfl-objects"]), cell(r["iterate_vs_bfl-dicts"]),
                     cell(r["read_vs_bfl-objects"]), cell(r["read_vs_bfl-dicts"]),
                     cell(r["load_vs_floor"]), cell(r["load_vs_orjson"]), cell(r["memory"])])
    return RATIO_HEAD, rows


def deep_vs_five(res: Results) -> tuple[list[str], list[list[str]]]:
    """Time per message of the 20-runner file beside its 5-runner twin: with the same
    change per message, a replay that rebuilds only what changed costs about the same."""
    deep = next((i for i in res.inputs if i.shape == DEEP_SHAPE and i.gzip), None)
    five = next((i for i in res.inputs if i.shape == "five" and i.gzip), None)
    if deep is None or five is None:
        return [], []
    head = ["contender", "work", f"{deep.label} us/msg", f"{five.label} us/msg", "ratio"]
    rows = []
    for work in WORKS:
        for contender in REPLAYERS:
            a, b = res.seconds(deep, contender, work), res.seconds(five, contender, work)
            if a and b:
                ua, ub = a / deep.messages * 1e6, b / five.messages * 1e6
                rows.append([contender, WORKS[work], f"{ua:.2f}", f"{ub:.2f}", f"{ua / ub:.2f}x"])
    return head, rows


def callgrind_rows(rows: list[dict]) -> tuple[list[str], list[list[str]]]:
    head = ["input", "msgs", "MB", "load Ir/byte", "replay Ir/msg"]
    return head, [[r["input"], f"{r['messages']:,}", mb(r["bytes"]),
                   f"{r['ir_per_byte_load']:.1f}", f"{r['ir_per_message_replay']:,.0f}"]
                  for r in rows]


def text_table(head: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    line = lambda cells: "  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip()
    return "\n".join([line(head), line(["-" * w for w in widths])] + [line(r) for r in rows])


def md_table(head: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


# --------------------------------------------------------------------------
# Environment

def peer_setup() -> tuple[bool, bool, str]:
    """(peer importable, orjson importable, a line on what the peer parses with)."""
    try:
        import orjson  # noqa: F401
        have_orjson = True
    except ImportError:
        have_orjson = False
    try:
        import betfairlightweight
        from betfairlightweight import compat
    except ImportError:
        return False, have_orjson, "betfairlightweight not installed: peer skipped"
    fast_json = compat.json.__name__ == "orjson"
    fast_dates = getattr(compat, "ciso8601", None) is not None
    line = (f"betfairlightweight {betfairlightweight.__version__}: json via {compat.json.__name__}, "
            f"dates via {'ciso8601' if fast_dates else 'strptime'}")
    if not (fast_json and fast_dates):
        line += "  (speed extras missing: the peer is NOT at its best)"
    return True, have_orjson, line


def machine() -> dict:
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name")), "")
    except OSError:
        pass
    return {"cores": os.cpu_count(), "cpu": cpu, "python": platform.python_version()}


# --------------------------------------------------------------------------
# Outputs

def chart(res: Results, path: Path, title: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    inputs = [i for i in res.inputs if res.seconds(i, "vantrel", "iterate")]
    fig, axes = plt.subplots(1, len(WORKS), figsize=(6 + 0.9 * len(inputs), 5), sharey=True)
    width = 0.8 / len(REPLAYERS)
    for ax, (work, name) in zip(axes, WORKS.items()):
        for k, contender in enumerate(REPLAYERS):
            values = []
            for inp in inputs:
                s = res.seconds(inp, contender, work)
                values.append(s / inp.messages * 1e6 if s else float("nan"))
            ax.bar([i + (k - (len(REPLAYERS) - 1) / 2) * width for i in range(len(inputs))],
                   values, width, label=contender)
        ax.set_yscale("log")
        ax.set_title(name)
        ax.set_xticks(range(len(inputs)), [i.label for i in inputs], rotation=35, ha="right",
                      fontsize=8)
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].set_ylabel("microseconds per message (log scale)")
    axes[0].legend()
    fig.suptitle(title)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def readme_block(meta: dict, res: Results) -> str:
    head, rows = ratio_rows(res)
    deep_head, deep_rows = deep_vs_five(res)
    lines = [
        f"{'Quick' if meta['quick'] else 'Full'} run of {meta['date']} on {meta['cores']} cores "
        f"({meta['cpu'] or 'unknown cpu'}), Python {meta['python']}; {meta['peer']}. "
        "Ratios are vantrel's speed-up over the peer (higher is better), load over the floor "
        "(zlib: lower is better; json: speed-up) and peak memory of a replay over the "
        f"uncompressed size (judged from {MEMORY_MIN_SIZE // 1_000_000} MB up). "
        "The peer reads gzip inputs from a copy decompressed beforehand.",
        "",
        md_table(head, rows),
    ]
    if deep_rows:
        lines += ["", md_table(deep_head, deep_rows)]
    lines += ["", "![time per message by contender and input](docs/bench.png)"]
    return "\n".join(lines)


def update_readme(block: str) -> None:
    text = README.read_text()
    start, end = text.find(MARK_START), text.find(MARK_END)
    if start < 0 or end < start:
        raise SystemExit(f"README.md has no {MARK_START} ... {MARK_END} block")
    README.write_text(text[:start + len(MARK_START)] + "\n" + block + "\n" + text[end:])


def markdown_report(meta: dict, res: Results, counts: list[dict], notes: list[str]) -> str:
    parts = [f"# Benchmark results ({'quick' if meta['quick'] else 'full'}, {meta['date']})", "",
             f"{meta['cores']} cores, {meta['cpu']}, Python {meta['python']}, "
             f"{meta['peer']}; wall time {meta['wall_s']:.0f} s.", "",
             "## Ratios", "", md_table(*ratio_rows(res))]
    deep = deep_vs_five(res)
    if deep[1]:
        parts += ["", "## deep20 against five", "", md_table(*deep)]
    if counts:
        parts += ["", "## Instructions (callgrind)", "", md_table(*callgrind_rows(counts))]
    parts += ["", "## Every measurement", "", md_table(*detail_rows(res))]
    if notes:
        parts += ["", "## Notes", ""] + [f"- {n}" for n in notes]
    return "\n".join(parts) + "\n"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\n", 1)[1])
    ap.add_argument("--quick", action="store_true", help="small inputs, short timings")
    ap.add_argument("--update-readme", action="store_true",
                    help="rewrite the results block of README.md and docs/bench.png")
    ap.add_argument("--no-shared", action="store_true", help="skip the shared recordings")
    ap.add_argument("--no-peer", action="store_true", help="measure vantrel and the floors only")
    ap.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    ap.add_argument("--seed", type=int, default=1, help="seed of the generated inputs")
    args = ap.parse_args(argv)

    started = time.perf_counter()
    plan = QUICK if args.quick else FULL
    have_peer, have_orjson, peer_line = peer_setup()
    try:
        import vantrel
    except ImportError as exc:
        print(f"cannot import vantrel ({exc}); run scripts/bench.sh, or build with "
              "scripts/setup.sh and run this with .venv/bin/python", file=sys.stderr)
        return 2
    inputs, notes = gather_inputs(args)
    meta = {"quick": args.quick, "date": datetime.date.today().isoformat(), **machine(),
            "vantrel": vantrel.__file__, "peer": peer_line, "plan": asdict(plan)}
    peers = have_peer and not args.no_peer
    if not have_orjson:
        notes.append("orjson not installed: its floor is skipped")

    print(f"vantrel benchmark, {'quick' if args.quick else 'full'} run: Python {meta['python']}, "
          f"{meta['cores']} cores ({meta['cpu']})")
    print(f"vantrel from {meta['vantrel']}")
    print(peer_line)
    print("one child process per contender, input and work; medians of the repetitions "
          "inside each; garbage collector off while timing, for every contender")
    print("the peer reads plain text: gzip inputs are decompressed beforehand, outside any "
          "timing; the peer and the parsing floors are measured once per text, so a .gz input "
          "and its plain copy share their figures\n", flush=True)

    res = Results(inputs, measure_all(inputs, plan, peers, have_orjson))
    measured_s = time.perf_counter() - started
    notes += res.notes(plan)

    counts: list[dict] = []
    if not args.no_callgrind:
        print("\ncounting instructions under callgrind ...", flush=True)
        counted = generated_inputs(COUNTED_GEN, args.seed)
        counts, note = instruction_counts(counted)
        if note:
            notes.append(note)
    meta["wall_s"] = time.perf_counter() - started
    meta["callgrind_s"] = meta["wall_s"] - measured_s

    print("\n" + text_table(*detail_rows(res)))
    print("\nRatios (vantrel's speed-up over the peer; load over the floor; peak memory over "
          f"size, judged from {MEMORY_MIN_SIZE // 1_000_000} MB up)")
    print(text_table(*ratio_rows(res)))
    deep = deep_vs_five(res)
    if deep[1]:
        print("\nSame change per message, 20 runners against 5")
        print(text_table(*deep))
    if counts:
        print("\nInstructions (callgrind): load per uncompressed byte, replay per message")
        print(text_table(*callgrind_rows(counts)))
    for n in notes:
        print(f"note: {n}")

    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "results.json").write_text(json.dumps({
        "meta": meta, "notes": notes,
        "inputs": [{**asdict(i), "path": str(i.path), "plain": str(i.plain)} for i in inputs],
        "measures": [{**asdict(m), "seconds": m.seconds} for m in res.measures.values()],
        "ratios": {i.label: res.ratios(i) for i in inputs},
        "callgrind": counts,
    }, indent=1))
    (OUT / "results.md").write_text(markdown_report(meta, res, counts, notes))
    title = f"vantrel and peers, {'quick' if args.quick else 'full'} run, {meta['date']}"
    chart(res, OUT / "bench.png", title)
    written = [OUT / "results.json", OUT / "results.md", OUT / "bench.png"]
    if args.update_readme:
        update_readme(readme_block(meta, res))
        chart(res, README_PNG, title)
        written += [README, README_PNG]
    print(f"\nwrote {', '.join(str(p.relative_to(REPO)) for p in written)}; "
          f"{meta['wall_s']:.0f} s in all, {meta['callgrind_s']:.0f} s of it counting instructions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
