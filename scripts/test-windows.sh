#!/usr/bin/env bash
# The Windows build and its tests: cross-compiled with mingw-w64 (preset
# "windows", build-windows/) and run under Wine, headless, in a fresh Wine
# prefix inside build-windows/; then the window driven as a technician would
# on an X server of its own (Xvfb, xdotool) and one whole update by
# ethernet-loader-cli.exe, both against meter-sim; last the installer, in a
# Wine prefix of its own. Takes the image tool and meter-sim from the native
# build (build/), building them when missing.
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
scripts/check-hardening.sh build-windows/win32/ethernet-loader*.exe build-windows/cli/ethernet-loader-cli.exe
build_seconds=$((SECONDS - stage_start))

# Debian's wine64 package leaves the loader out of PATH.
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$root/build-windows/wineprefix WINEDEBUG=-all
# No .NET or HTML engine to install into the prefix: the tests use neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Name lookups of the tests stay on this machine (see tests/support/NoResolverTraffic.cpp).
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
# No window manager under Xvfb: Wine draws the windows' frames and captions itself.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
# Wine's own Tahoma (the face Windows draws dialogs with) and Marlett (the
# caption buttons), which Debian's Wine does not find in fonts-wine by itself.
cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf /usr/share/wine/fonts/marlett.ttf \
  "$WINEPREFIX/drive_c/windows/Fonts/"
prefix_seconds=$((SECONDS - prefix_start))

tests_start=$SECONDS
ctest --preset windows
tests_seconds=$((SECONDS - tests_start))

[ -x build/sim/meter-sim ] || cmake --build build -j2 --target meter-sim
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# The window under Wine, as a technician uses it, against meter-sim.
window_start=$SECONDS
WINE=$wine WINESERVER=$wineserver METER_SIM_PREFIX="${sudo_cmd[*]}" tests/win32/window-tests.sh build-windows build/sim/meter-sim \
  build-windows/window-tests
window_seconds=$((SECONDS - window_start))
"$wineserver" -p

# One whole update by the Windows build of the tool, under Wine, against the
# Linux build of meter-sim on loopback (the tool's fixed ports 502 and 5555:
# meter-sim needs root for 502, below 1024). meter-sim checks the flash against the image the .exe carries
# and exits 0 only when it matches.
e2e_start=$SECONDS
work=$root/build-windows/e2e
rm -rf "$work"
mkdir -p "$work"
# The ports are fixed, so the address is the run's own: away from the other
# tests and scripts (127.0.x.x) and from a run of this stage in another
# checkout on the same machine.
meter_ip=127.14.$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1))
mkfifo "$work/meter.out"
"${sudo_cmd[@]}" build/sim/meter-sim --address "$meter_ip" --password 1234 --image build-windows/image/flash_image.bin \
  --exit-after-reset --log "$work/meter.log" > "$work/meter.out" &
sim=$!
trap 'kill $sim 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true' EXIT
exec 3< "$work/meter.out"
read -r -t 20 ready <&3 || { echo "meter-sim did not start"; exit 1; }
cli_status=0
# The tool's report and trace paths are Windows ones: relative to the folder it runs in.
mkdir -p "$work/traces"
(cd "$work" && LOADER_PASSWORD=1234 timeout 300 "$wine" "$root/build-windows/cli/ethernet-loader-cli.exe" \
  update "$meter_ip" --report report.json --trace traces) || cli_status=$?
sim_status=0
timeout 10 tail --pid=$sim -f /dev/null || kill $sim 2>/dev/null || true
wait $sim || sim_status=$?
echo "meter-sim: $(cat <&3)"
exec 3<&-
e2e_seconds=$((SECONDS - e2e_start))
if [ $cli_status -ne 0 ] || [ $sim_status -ne 0 ]; then
  echo "Wine end-to-end update failed: ethernet-loader-cli.exe status $cli_status, meter-sim status $sim_status" \
       "(logs in $work)"
  exit 1
fi
echo "Wine end-to-end update: the meter's flash equals the image ethernet-loader-cli.exe carries"
# Its support trace: one pcapng file, which tshark (where there is one) reads.
traces=("$work"/traces/*.pcapng)
if [ ${#traces[@]} -ne 1 ] || [ ! -f "${traces[0]}" ] ||
   [ "$(head -c 4 "${traces[0]}" | od -An -tx1 | tr -d ' \n')" != 0a0d0d0a ]; then
  echo "Wine end-to-end update: no single pcapng support trace in $work/traces"
  exit 1
fi
if command -v tshark >/dev/null && ! tshark -r "${traces[0]}" >/dev/null 2>&1; then
  echo "Wine end-to-end update: tshark cannot read ${traces[0]}"
  exit 1
fi
echo "Wine end-to-end update: its support trace ${traces[0]##*/} is pcapng"

# The installer and the zip, and the installer in a fresh Wine prefix of its own.
installer_start=$SECONDS
(cd build-windows && cpack >/dev/null)
"$wineserver" -k 2>/dev/null || true
WINE=$wine WINESERVER=$wineserver tests/win32/installer-test.sh \
  "build-windows/packages/ethernet-loader-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)-win64.exe" \
  build-windows/tests/win32/window-probe.exe build-windows/installer-test
installer_seconds=$((SECONDS - installer_start))

echo "Windows stage: build ${build_seconds} s, Wine prefix ${prefix_seconds} s, tests ${tests_seconds} s," \
     "window ${window_seconds} s, end-to-end update ${e2e_seconds} s, installer ${installer_seconds} s"
