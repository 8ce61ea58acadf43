#!/usr/bin/env bash
# Builds the meter simulator's fuzzer with clang in a build directory of its
# own and runs it for a bounded time (default 20 s). Exits non-zero when the
# fuzzer finds a crash; the input that caused it is left in the build dir.
#   scripts/fuzz-sim.sh [seconds]      FUZZ_BUILD_DIR overrides build-fuzz/
set -euo pipefail

seconds="${1:-20}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;; esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"

CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$build" -DMETER_SIM_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target meter_sim_fuzz -j2

# A few well-formed inputs to start from; the first byte picks the entry.
corpus="$build/fuzz-corpus"
mkdir -p "$corpus"
printf '\x00VER?' >"$corpus/identify"
printf '\x00RESET' >"$corpus/reset"
printf '\x00\x45\x08\x1d\x96' >"$corpus/erase"
printf '\x01\x01\xf0\x00\x00\x00\x25\x01\x10\x45\x71\x00\x0f\x1eGoToBootMode1234\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$corpus/boot-request"
printf '\x02delay:70@cmd=W,every=3' >"$corpus/rule"
printf '\x03\x04VER?\x04\x45\x08\x1d\x96\x05RESET' >"$corpus/conversation"

"$build/sim/fuzz/meter_sim_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$build/" "$corpus"
