#!/usr/bin/env bash
# Builds the programs and the virtual card as released (in build-bench) and
# runs one benchmark of bench/ with the arguments that follow its name:
#   bench/build_and_run.sh bench_whole_run [ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1
shift

# sox and its ALSA output are needed only here.
scripts/setup-deps sox libsox-fmt-alsa libbenchmark-dev

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUELMAR_SANITIZE=OFF \
      -DQUELMAR_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target "$target" >/dev/null
exec "build-bench/bench/$target" "$@"
