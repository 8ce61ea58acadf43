#!/usr/bin/env bash
# Builds the benchmarks (in build/, configured with the default preset if it
# is not yet) and runs them, printing their figures. Plain programs, not tests.
# The machine is shared: figures taken while it is busy are noisy, so run
# again when in doubt. UPDATE_RUNS sets how many updates update-bench times
# (default 3; about 11 s each). The rows behind slow links (fault-matrix-bench,
# slow-link-bench) wait out round trips of up to 2.5 s: several minutes each.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

[ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build build -j2 --target export-bench startup-bench update-bench floor-bench fault-matrix-bench fleet-bench \
  slow-link-bench

root=$PWD
echo
echo "== export-bench"
build/bench/export-bench build
# The window saves its settings file where it runs: not into the source tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo
echo "== startup-bench"
"$root/build/bench/startup-bench"
echo
echo "== update-bench"
"$root/build/bench/update-bench" "${UPDATE_RUNS:-3}"
echo
echo "== floor-bench (what this machine allows at best, to read update-bench against)"
"$root/build/bench/floor-bench"
echo
echo "== fault-matrix-bench"
"$root/build/bench/fault-matrix-bench" "${MATRIX_SEEDS:-3}"
echo
echo "== fleet-bench (meters on port 502 of 127.0.6.2 and up: needs root)"
if [ "$(id -u)" -eq 0 ]; then "$root/build/bench/fleet-bench"; else echo "skipped: not root"; fi
echo
echo "== slow-link-bench (meters on port 502 of 127.0.10.2 and up: needs root; about 8 minutes)"
if [ "$(id -u)" -eq 0 ]; then "$root/build/bench/slow-link-bench"; else echo "skipped: not root"; fi
echo
echo "== kill-study (runs killed with SIGKILL, their reports and retries; KILLS, default 10, about 20 s each)"
"$root/bench/kill-study.py" --kills "${KILLS:-10}" --build "$root/build"
