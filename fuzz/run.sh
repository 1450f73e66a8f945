#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan into build/fuzz, replays every saved
# regression input, then fuzzes each target in turn for FUZZ_SECONDS (default 60).
#
#   bash fuzz/run.sh                          # all targets, as CI runs them
#   FUZZ_SECONDS=3600 bash fuzz/run.sh fuzz_json
#   FUZZ_INFLATE=zlib bash fuzz/run.sh fuzz_reader   # the fallback inflater instead of ISA-L
#
# The working corpus stays in build/fuzz/corpus between runs, and fuzz/corpus/TARGET keeps
# small inputs worth starting from again, that reached code the seeds do not. A failing input
# is written to build/fuzz/crashes/ and the run exits non-zero. Copy it into
# fuzz/regressions/TARGET/ once the fault is fixed, so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
inflate=${FUZZ_INFLATE:-auto}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_json fuzz_reader fuzz_replay fuzz_sources fuzz_tables
  fuzz_bzip2)

bash scripts/need-packages.sh clang libclang-rt-dev zlib1g-dev libisal-dev libbz2-dev libzstd-dev \
  liblzma-dev pkg-config
[ -x .venv/bin/python ] || bash scripts/setup.sh

root=$PWD
build=$root/build/fuzz
[ "$inflate" = auto ] || build=$build-$inflate
PATH=$root/.venv/bin:$PATH
mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
         -DPython_EXECUTABLE="$root/.venv/bin/python" -DVANTREL_SANITIZE=ON -DVANTREL_FUZZ=ON \
         -DVANTREL_INFLATE="$inflate" &&
       cmake --build "$build" --target "${targets[@]}"; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  exit 1
fi

rm -rf "$build/seeds"
"$root/.venv/bin/python" fuzz/make_corpus.py "$build/seeds"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  bin=$build/$target
  log=$build/$target.log
  mkdir -p "$build/corpus/$name" "$build/crashes"
  max_len=8192
  [ "$name" != reader ] && [ "$name" != sources ] && [ "$name" != bzip2 ] || max_len=65536

  regressions=(fuzz/regressions/"$name"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$bin" "${regressions[@]}" >"$log" 2>&1; then
      echo "fuzz: $target fails on a saved regression input:" >&2
      tail -n 40 "$log" >&2
      status=1
      continue
    fi
  fi

  if "$bin" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$name-" "$build/corpus/$name" "$build/seeds/$name" \
      $(ls -d fuzz/corpus/"$name" 2>/dev/null) \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    echo "fuzz: $target: ${seconds}s, ${runs:-?} inputs, $cov, no failures"
  else
    echo "fuzz: $target FAILED (inputs in $build/crashes/):" >&2
    grep -v -E '^#[0-9]+' "$log" | tail -n 60 >&2
    status=1
  fi
done
exit $status
