#!/usr/bin/env bash
# Builds the program and the virtual card as released (in build-bench) and
# compares one whole default measurement with sox playing the same sweep to
# the same virtual device. Options go to bench_whole_run (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps
# sox and its ALSA output are needed only here.
sox_packages=(sox libsox-fmt-alsa)
missing=()
for p in "${sox_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUELMAR_SANITIZE=OFF >/dev/null
cmake --build build-bench -j2 --target bench_whole_run >/dev/null
exec build-bench/bench/bench_whole_run "$@"
