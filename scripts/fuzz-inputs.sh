#!/usr/bin/env bash
# Runs the fuzz targets, built as replayers of saved inputs (VANTREL_FUZZ_REPLAY), over the
# saved regression inputs, the kept corpus and the seed corpus: every input a fuzzer has ever failed on, and the
# awkward recordings the fuzzers start from, without libFuzzer or a compiler that has it.
#
# Usage: bash scripts/fuzz-inputs.sh BUILD_DIR [RUNNER...]
#   BUILD_DIR holds the fuzz_*_replay programs; RUNNER (e.g. qemu-aarch64) runs each of them.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$1
shift
root=$PWD
rm -rf "$build/seeds"
"$root/.venv/bin/python" fuzz/make_corpus.py "$build/seeds" >/dev/null
for target in fuzz_json fuzz_reader fuzz_replay fuzz_sources fuzz_tables fuzz_bzip2; do
  name=${target#fuzz_}
  shopt -s nullglob
  inputs=("$build/seeds/$name"/* fuzz/regressions/"$name"/* fuzz/corpus/"$name"/*)
  shopt -u nullglob
  [ ${#inputs[@]} -gt 0 ] || continue
  if ! "$@" "$build/${target}_replay" "${inputs[@]}" >"$build/$target.log" 2>&1; then
    echo "$target fails on a saved input:" >&2
    tail -n 20 "$build/$target.log" >&2
    exit 1
  fi
  echo "$target: $(tail -n 1 "$build/$target.log")"
done
