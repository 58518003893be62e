#!/usr/bin/env bash
# Builds the program and the virtual card as released (in build-bench) and
# compares one whole default measurement with sox playing the same sweep to
# the same virtual device. Options go to bench_whole_run (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."

# sox and its ALSA output are needed only here.
scripts/setup-deps sox libsox-fmt-alsa libbenchmark-dev

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUELMAR_SANITIZE=OFF \
      -DQUELMAR_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target bench_whole_run >/dev/null
exec build-bench/bench/bench_whole_run "$@"
