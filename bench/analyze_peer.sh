#!/usr/bin/env bash
# Compares quelmar-analyze with lsconv (Debian's drc) deconvolving the same
# recordings of 1, 10, 60 and 300 s. Options go to bench_analyze_peer (see
# --help); --analyzer runs another build of quelmar-analyze.
"$(dirname "$0")/../scripts/setup-deps" drc
exec "$(dirname "$0")/build_and_run.sh" bench_analyze_peer "$@"
