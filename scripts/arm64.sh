#!/usr/bin/env bash
# Cross-compiles the core for Linux ARM64 with Debian's cross compiler and runs, under
# qemu-user, its unit tests and the fuzz targets over the saved regression inputs and the seed
# corpus: the NEON string scan and the system layer on a second architecture and page size
# policy. The ARM64 build inflates with zlib (ISA-L's fast paths are x86's). The programs are
# linked statically: under Debian 12's qemu-user a dynamically linked one hangs as it starts its
# first thread.
#
# Usage: bash scripts/arm64.sh [doctest options]   (as root, to install what is missing)
set -euo pipefail
cd "$(dirname "$0")/.."

dpkg --print-foreign-architectures | grep -qx arm64 || {
  dpkg --add-architecture arm64
  apt-get update -qq
}
bash scripts/need-packages.sh g++-aarch64-linux-gnu qemu-user doctest-dev libbz2-dev:arm64 \
  zlib1g-dev:arm64 libzstd-dev:arm64 liblzma-dev:arm64 pkg-config
[ -x .venv/bin/python ] || bash scripts/setup.sh

root=$PWD
build=$root/build/arm64
PATH=$root/.venv/bin:$PATH  # cmake and ninja come with the venv
targets=(core_tests fuzz_json_replay fuzz_reader_replay fuzz_replay_replay fuzz_sources_replay
  fuzz_tables_replay fuzz_bzip2_replay)
lib=/usr/lib/aarch64-linux-gnu
mkdir -p "$build"
if ! { PKG_CONFIG_LIBDIR=$lib/pkgconfig \
       cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
         -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
         -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_LIBRARY_ARCHITECTURE=aarch64-linux-gnu \
         -DCMAKE_EXE_LINKER_FLAGS=-static -DZLIB_LIBRARY=$lib/libz.a \
         -DBZIP2_LIBRARY_RELEASE=$lib/libbz2.a -DLIBLZMA_LIBRARY_RELEASE=$lib/liblzma.a \
         -DZSTD_LIBRARY=$lib/libzstd.a \
         -DVANTREL_WERROR="${VANTREL_WERROR:-0}" \
         -DVANTREL_PYTHON=OFF -DVANTREL_INFLATE=zlib -DVANTREL_CORE_TESTS=ON -DVANTREL_FUZZ_REPLAY=ON &&
       cmake --build "$build" --target "${targets[@]}" -j 2; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  exit 1
fi
file "$build/core_tests" | grep -q aarch64

echo "core tests (arm64, under qemu):"
qemu-aarch64 "$build/core_tests" "$@"
echo "fuzz targets over saved and seed inputs (arm64, under qemu):"
bash scripts/fuzz-inputs.sh "$build" qemu-aarch64
