#!/usr/bin/env bash
# Builds the core's unit tests (tests/core/, doctest) and the fuzz targets as replayers of saved
# inputs with AddressSanitizer and UndefinedBehaviorSanitizer, and runs them, once per inflate
# backend: the streaming gzip decoder reads the trailer differently behind ISA-L and behind
# zlib. The fuzz targets go over their regression inputs and the seed corpus (fuzzing itself
# is fuzz/run.sh, run by hand for as long as it is worth).
#
# Usage: bash scripts/core-tests.sh [doctest options]
# CORE_TEST_INFLATERS=isal (or zlib) runs one backend only.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/need-packages.sh g++ libasan8 libubsan1 libisal-dev zlib1g-dev libbz2-dev \
  libzstd-dev liblzma-dev doctest-dev pkg-config
[ -x .venv/bin/python ] || bash scripts/setup.sh

root=$PWD
PATH=$root/.venv/bin:$PATH  # cmake and ninja come with the venv
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
# A recording of each of the generator's shapes, for the bzip2 decoder's tests.
recordings=$root/build/core-tests-recordings
if [ ! -d "$recordings" ]; then
  mkdir -p "$recordings.tmp"
  for shape in $("$root/.venv/bin/python" -c 'from tools.recordings import SHAPES; print(*SHAPES)'); do
    "$root/.venv/bin/python" -m tools.recordings --shape "$shape" --messages 1500 \
      --out "$recordings.tmp/$shape.json" >/dev/null
  done
  mv "$recordings.tmp" "$recordings"
fi
export VANTREL_TEST_RECORDINGS=$recordings
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
werror=OFF
[ "${VANTREL_WERROR:-0}" = 1 ] && werror=ON
fuzz_replayers=(fuzz_json_replay fuzz_reader_replay fuzz_replay_replay fuzz_sources_replay
  fuzz_tables_replay fuzz_bzip2_replay)
for inflate in ${CORE_TEST_INFLATERS:-isal zlib}; do
  # The ISA-L build is the one scripts/sanitize.sh makes, with the same flags: the core is
  # compiled once for both.
  build=$root/build/asan
  [ "$inflate" = isal ] || build=$root/build/core-tests-$inflate
  mkdir -p "$build"
  if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
           -DPython_EXECUTABLE="$root/.venv/bin/python" -DVANTREL_SANITIZE=ON \
           -DVANTREL_WERROR="$werror" -DVANTREL_CORE_TESTS=ON -DVANTREL_FUZZ_REPLAY=ON \
           -DVANTREL_INFLATE="$inflate" &&
         cmake --build "$build" --target core_tests "${fuzz_replayers[@]}" -j 2; } >"$build/build.log" 2>&1; then
    tail -n 40 "$build/build.log" >&2
    exit 1
  fi
  echo "core tests ($inflate inflate):"
  "$build/core_tests" "$@"
  bash scripts/fuzz-inputs.sh "$build"
done
