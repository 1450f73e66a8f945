"""MarketBook.to_dict() per book and per price level, side by side with another build.

    .venv/bin/python bench/bench_to_dict.py [--quick] [--baseline PKG] [--pkg PKG] [--callgrind]
                                            [--books N] [--rounds N] [--no-shared] [PATH ...]

Inputs: the shared recordings, read in place (skipped when the folder is absent), a generated
deep market (deep20) and any paths given. From each input a sample of books spread evenly
over the replay is exported, each call timed on its own (the result is dropped outside the
clock, so freeing it is not counted), with the garbage collector off:

- cold: the first export of freshly replayed books, whose price lists Python has not asked
  for yet, as in a loop that exports every snapshot it replays;
- warm: the same books again, their price lists now made.

Each build runs in its own child process: the installed package, or --pkg PKG, against
--baseline PKG (a folder with a `vantrel` package, as scripts/build-variant.sh installs into
build/NAME/pkg), in alternating order for --rounds rounds; figures are the best pass.

--callgrind also counts the instructions spent inside to_dict (collected only inside the
extension's entry point, so it needs builds with their symbols: the ones build-variant.sh
makes, not the stripped wheel), cold and warm, per book and per price level.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import generated, shared_data_dir, shared_recordings  # noqa: E402

TOGGLE = "*market_book_to_dict*"


# --------------------------------------------------------------------------
# Child: one build, one input

def sample_books(path: str, count: int) -> list:
    import vantrel

    books = list(vantrel.iter_prices_file(path))
    step = max(1, len(books) // count)
    return books[::step][:count]


def touch_price_lists(books) -> None:
    for book in books:
        for runner in book.runners:
            runner.ex.available_to_back, runner.ex.available_to_lay, runner.ex.traded_volume


def count_levels(books) -> tuple[int, int]:
    """Price levels and runners over the books, from the lists to_dict exports."""
    levels = runners = 0
    for book in books:
        for r in book.runners:
            runners += 1
            levels += len(r.ex.available_to_back) + len(r.ex.available_to_lay)
            levels += len(r.ex.traded_volume)
            levels += len(r.sp.back_stake_taken) + len(r.sp.lay_liability_taken)
    return levels, runners


def export_seconds(books) -> float:
    # The thread's own CPU time: the machine may be shared, and time spent waiting for a core
    # is not the export's.
    clock = time.thread_time
    total = 0.0
    for book in books:
        t0 = clock()
        exported = book.to_dict()
        total += clock() - t0
        del exported
    return total


def child_time(path: str, count: int, reps: int) -> dict:
    cold, warm = [], []
    gc.disable()
    for _ in range(reps):
        books = sample_books(path, count)
        gc.collect()
        cold.append(export_seconds(books) / len(books))
        warm.append(export_seconds(books) / len(books))
        del books
    books = sample_books(path, count)
    levels, runners = count_levels(books)
    return {"books": len(books), "levels": levels, "runners": runners,
            "cold_us": min(cold) * 1e6, "warm_us": min(warm) * 1e6}


def child_pass(path: str, count: int, mode: str) -> dict:
    """One export of every sampled book, for callgrind to count."""
    books = sample_books(path, count)
    if mode == "warm":
        touch_price_lists(books)
    gc.disable()
    for book in books:
        book.to_dict()
    levels, runners = count_levels(books)
    return {"books": len(books), "levels": levels, "runners": runners}


# --------------------------------------------------------------------------
# Parent

def child_env(pkg: str | None) -> dict:
    env = dict(os.environ, PYTHONHASHSEED="0")
    if pkg:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [pkg, env.get("PYTHONPATH")]))
    return env


def run_child(pkg: str | None, args: list[str], wrapper: list[str] | None = None) -> dict:
    cmd = (wrapper or []) + [sys.executable, __file__, "--child", *args]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=child_env(pkg))
    if proc.returncode:
        sys.exit(f"child failed ({' '.join(args)}): {proc.stderr.strip()[-600:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def time_side_by_side(sides: dict[str, str | None], path: Path, books: int, rounds: int,
                      reps: int) -> dict[str, dict]:
    runs: dict[str, list[dict]] = {name: [] for name in sides}
    names = list(sides)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            runs[name].append(run_child(sides[name], ["time", str(path), str(books), str(reps)]))
    out = {}
    for name, results in runs.items():
        first = results[0]
        out[name] = {**first, "cold_us": min(x["cold_us"] for x in results),
                     "warm_us": min(x["warm_us"] for x in results)}
    return out


def callgrind_count(pkg: str | None, path: Path, books: int, mode: str) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        wrapper = ["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={out}",
                   f"--toggle-collect={TOGGLE}"]
        result = run_child(pkg, ["pass", str(path), str(books), mode], wrapper)
        totals = [line for line in out.read_text().splitlines() if line.startswith("totals:")]
    result["ir"] = int(totals[0].split()[1]) if totals else 0
    return result


def inputs(args) -> list[Path]:
    found: list[Path] = []
    shared = None if args.no_shared else shared_data_dir()
    if shared:
        found += shared_recordings(shared)
    found.append(generated("deep20:500" if args.quick else "deep20:2000", seed=1))
    found += [Path(p) for p in args.paths]
    return found


def ratio(before: float, after: float) -> str:
    return f"{before / after:.2f}x" if after else "-"


def table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    fmt = lambda r: "  ".join(c.rjust(w) if i else c.ljust(w)  # noqa: E731
                              for i, (c, w) in enumerate(zip(r, widths)))
    return "\n".join([fmt(header), fmt(["-" * w for w in widths]), *map(fmt, rows)])


def timing_rows(results: dict[str, dict[str, dict]], compare: bool) -> tuple[list, list]:
    header = ["input", "books", "levels/book", "runners/book"]
    for mode in ("cold", "warm"):
        header += ([f"{mode} us/book before", "after", "ratio"] if compare
                   else [f"{mode} us/book"])
    header.append("warm ns/level")
    rows = []
    for name, sides in results.items():
        after = sides["current"]
        row = [name, str(after["books"]), f"{after['levels'] / after['books']:.0f}",
               f"{after['runners'] / after['books']:.1f}"]
        for mode in ("cold", "warm"):
            key = f"{mode}_us"
            if compare:
                row += [f"{sides['baseline'][key]:.1f}", f"{after[key]:.1f}",
                        ratio(sides["baseline"][key], after[key])]
            else:
                row.append(f"{after[key]:.1f}")
        per_level = after["warm_us"] * 1e3 * after["books"] / after["levels"] if after["levels"] else None
        row.append(f"{per_level:.0f}" if per_level else "-")
        rows.append(row)
    return header, rows


def callgrind_rows(counts: dict[str, dict[str, dict]], compare: bool) -> tuple[list, list]:
    header = ["input", "mode", "Ir/book", "Ir/level"]
    if compare:
        header = ["input", "mode", "Ir/book before", "after", "Ir/level before", "after", "ratio"]
    rows = []
    for key, sides in counts.items():
        name, mode = key.rsplit(" ", 1)
        after = sides["current"]

        def per(side, what):
            n = side[what]
            return f"{side['ir'] / n:,.0f}" if n else "-"

        if compare:
            before = sides["baseline"]
            rows.append([name, mode, per(before, "books"), per(after, "books"),
                         per(before, "levels"), per(after, "levels"),
                         ratio(before["ir"], after["ir"])])
        else:
            rows.append([name, mode, per(after, "books"), per(after, "levels")])
    return header, rows


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        warnings.simplefilter("ignore")
        kind, path, count, extra = sys.argv[2:6]
        if kind == "time":
            print(json.dumps(child_time(path, int(count), int(extra))))
        else:
            print(json.dumps(child_pass(path, int(count), extra)))
        return 0

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("paths", nargs="*", help="more recordings to export")
    ap.add_argument("--quick", action="store_true", help="fewer books and a smaller deep file")
    ap.add_argument("--pkg", help="folder holding the vantrel package to measure "
                                  "(default: the installed one)")
    ap.add_argument("--baseline", help="folder holding the vantrel package to compare against")
    ap.add_argument("--books", type=int, help="books sampled per input (default 400, quick 100)")
    ap.add_argument("--rounds", type=int, help="child runs per build and input (default 3, quick 1)")
    ap.add_argument("--callgrind", action="store_true", help="also count instructions")
    ap.add_argument("--no-shared", action="store_true", help="skip the shared recordings")
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args()

    books = args.books or (100 if args.quick else 400)
    rounds = args.rounds or (1 if args.quick else 3)
    reps = 3 if args.quick else 5
    sides = {"current": args.pkg}
    if args.baseline:
        sides = {"baseline": args.baseline, **sides}
    compare = args.baseline is not None

    results: dict[str, dict] = {}
    for path in inputs(args):
        print(f"timing {path.name} ...", file=sys.stderr, flush=True)
        results[path.name] = time_side_by_side(sides, path, books, rounds, reps)
    print(f"to_dict per book ({books} books per input, thread CPU time, best of {rounds} runs x "
          f"{reps} passes; gc off)")
    print(table(*timing_rows(results, compare)))

    counts: dict[str, dict] = {}
    if args.callgrind:
        if not shutil.which("valgrind"):
            sys.exit("valgrind is needed for --callgrind (apt-get install valgrind)")
        cg_books = max(10, books // 4)
        for path in inputs(args):
            for mode in ("cold", "warm"):
                print(f"counting {path.name} {mode} ...", file=sys.stderr, flush=True)
                counts[f"{path.name} {mode}"] = {
                    name: callgrind_count(pkg, path, cg_books, mode) for name, pkg in sides.items()}
        if any(side["ir"] == 0 for sides_ in counts.values() for side in sides_.values()):
            print("note: nothing counted for a build without symbols; build one with "
                  "scripts/build-variant.sh", file=sys.stderr)
        print(f"\ninstructions inside to_dict (callgrind, {cg_books} books per input; per level: "
              "the books' whole count over their price levels)")
        print(table(*callgrind_rows(counts, compare)))

    if args.json:
        Path(args.json).write_text(json.dumps({"time": results, "callgrind": counts}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
