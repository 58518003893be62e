#!/usr/bin/env bash
# scripts/run from a fresh clone of the committed state (HEAD), started in
# another folder, on a machine as without GoogleTest and Google Benchmark:
# it configures and reports its steps, builds the tools the README names,
# runs the program in the caller's folder, keeps the caller's own ALSA
# devices reachable beside the virtual card, and shows the compiler's errors
# when the build fails.
# Usage: run_test.sh <repository> <system alsa.conf>
set -euo pipefail
repo=$1 system_conf=$2
git -C "$repo" rev-parse --git-dir >/dev/null 2>&1 || { echo "not a git checkout"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; echo "--- output:"; cat "$tmp/out"; exit 1; }

git clone -q "$repo" "$tmp/clone"
# As if neither were installed; scripts/run configures this build again.
cmake -S "$tmp/clone" -B "$tmp/clone/build" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
mkdir "$tmp/caller"
printf 'pcm.mydev { type vcard latency 10 }\n' > "$tmp/caller/mine.conf"
cd "$tmp/caller"
# A 1-second run on the default device (the virtual room), then one on mydev.
echo "t 1 r c c mydev r c x" |
  ALSA_CONFIG_PATH="$system_conf:$tmp/caller/mine.conf" "$tmp/clone/scripts/run" --virtual \
  >"$tmp/out" 2>&1 || fail "scripts/run exited with status $?"

grep -q '^Building quelmar' "$tmp/out" || fail "no build step line"
[ ! -e "$tmp/clone/build/tests" ] && [ ! -e "$tmp/clone/build/bench" ] || fail "tests or benchmarks configured"
for tool in plot/quelmar-plot measure/quelmar-measure; do
  [ -x "$tmp/clone/build/tools/$tool" ] || fail "$tool was not built"; done
grep -q 'Sync In = 24096 samples' "$tmp/out" || fail "no run on the virtual card's default device"
grep -q 'Sync In = 24042 samples' "$tmp/out" || fail "the caller's device mydev was not reachable"
[ "$(grep -c '^Results:' sweep_out.txt)" = 2 ] || fail "sweep_out.txt is not in the caller's folder"
[ ! -e "$tmp/clone/sweep_out.txt" ] || fail "sweep_out.txt went to the repository"

echo '#error deliberately broken' >> "$tmp/clone/src/console/main.cpp"
if echo x | "$tmp/clone/scripts/run" --virtual >"$tmp/out" 2>&1; then fail "a broken build started"; fi
grep -q 'deliberately broken' "$tmp/out" || fail "the compiler's error was not shown"
echo "scripts/run: fresh clone built, run in the caller's folder, caller's device reachable"
