#!/usr/bin/env bash
# The Windows build and its tests: cross-compiled with mingw-w64 (preset
# "windows", build-windows/) and run under Wine, headless, in a fresh Wine
# prefix inside build-windows/. Takes the image tool from the native build
# (build/), building it when it is missing.
#
# As root the tests run in a mount namespace of their own, where a 64 KiB
# tmpfs gives the image export a full disk (LOADER_TEST_FULL_DIR); elsewhere
# that one test skips.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -z "${LOADER_WINDOWS_NAMESPACE:-}" ] && [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  LOADER_WINDOWS_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

stage_start=$SECONDS
scripts/setup.sh
[ -x build/image/flash-image-tool ] || {
  [ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
  cmake --build build -j2 --target flash-image-tool
}
cmake --preset windows >/dev/null
cmake --build --preset windows
build_seconds=$((SECONDS - stage_start))

# Debian's wine64 package leaves the loader out of PATH.
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$root/build-windows/wineprefix WINEDEBUG=-all
# No .NET or HTML engine to install into the prefix: the tests use neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Name lookups of the tests stay on this machine (see tests/net).
export RES_OPTIONS=attempts:0

full=$root/build-windows/full-volume
mkdir -p "$full"
if [ -n "${LOADER_WINDOWS_NAMESPACE:-}" ] && mount -t tmpfs -o size=64k tmpfs "$full"; then
  export LOADER_TEST_FULL_DIR="Z:${full//\//\\}"
fi

prefix_start=$SECONDS
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# One server for the whole run, rather than one started per test program.
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot --init >/dev/null 2>&1
prefix_seconds=$((SECONDS - prefix_start))

tests_start=$SECONDS
ctest --preset windows
tests_seconds=$((SECONDS - tests_start))

echo "Windows stage: build ${build_seconds} s, Wine prefix ${prefix_seconds} s, tests ${tests_seconds} s"
