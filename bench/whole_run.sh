#!/usr/bin/env bash
# Compares one whole default measurement with sox playing the same sweep to
# the same virtual device. Options go to bench_whole_run (see --help).
exec "$(dirname "$0")/build_and_run.sh" bench_whole_run "$@"
