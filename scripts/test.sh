#!/usr/bin/env bash
# The whole test suite: a normal build with its Debian packages checked, the
# same suite again under Address and UndefinedBehavior sanitizers, the
# threaded parts under ThreadSanitizer, a bounded fuzzing run of the
# simulator's frame decoding, the image formats and the settings file
# (scripts/fuzz.sh), the Windows build's tests under Wine, and the release's
# reproducibility and signing (scripts/test-release.sh). Installs what
# is missing, configures and builds by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

scripts/check-format.sh
scripts/build.sh default
ctest --preset default
scripts/test-package.sh

scripts/build.sh asan
ctest --preset asan

# Threads: the fleet updater and the simulator, under ThreadSanitizer.
scripts/build.sh tsan
ctest --preset tsan

scripts/fuzz.sh all "${FUZZ_SECONDS:-20}"

scripts/test-windows.sh

# Releases: reproducible Windows files and a signed installer.
scripts/test-release.sh
