#!/usr/bin/env bash
# Compares a whole default quelmar-measure run with sox playing and recording
# as long on the same virtual device, then the peak memory of a 600 s sweep
# with a 10 s one. Options go to bench_measure_run (see --help); for a
# separate microphone: --device speakers --capture usbmic.
exec "$(dirname "$0")/build_and_run.sh" bench_measure_run "$@"
