#!/usr/bin/env bash
# Builds quelmar-measure and the virtual card as released (in build-bench)
# and compares a whole default measurement with sox playing and recording as
# long on the same virtual device, then the peak memory of a 600 s sweep
# with a 10 s one. Options go to bench_measure_run (see --help); for a
# separate microphone: --device speakers --capture usbmic.
set -euo pipefail
cd "$(dirname "$0")/.."

# sox and its ALSA output are needed only here.
scripts/setup-deps sox libsox-fmt-alsa libbenchmark-dev

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUELMAR_SANITIZE=OFF \
      -DQUELMAR_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target bench_measure_run >/dev/null
exec build-bench/bench/bench_measure_run "$@"
