#!/usr/bin/env bash
# The simulator's fuzzer for a bounded time (default 20 s): scripts/fuzz.sh sim.
#   scripts/fuzz-sim.sh [seconds]      FUZZ_BUILD_DIR overrides build-fuzz/
set -euo pipefail
exec "$(dirname "$0")/fuzz.sh" sim "${1:-20}"
