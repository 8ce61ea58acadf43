#!/usr/bin/env bash
# The pace of a whole update by each window, clicked as a technician would
# under Xvfb: the Linux window (build/) and the Windows window under Wine
# (build-windows/, made by scripts/test-windows.sh), one after the other
# against meter-sim on the real ports. Measured on the meter's own clock, from
# the boot-mode request to "RESET", against what the protocol prescribes
# between the two: 500 ms for the answer, 2000 ms for the bootloader to
# start, 500 ms before "VER?", 500 ms for its answer, 500 ms for the erase and
# 50 ms per written block. Needs root (or sudo) for port 502, below 1024.
#
#   bench/window-pace.sh [RUNS]     (each window RUNS times, default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-1}
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build build -j2 --target ethernet-loader meter-sim loader-settings >/dev/null
[ -x build-windows/win32/ethernet-loader.exe ] || { echo "build-windows/: run scripts/test-windows.sh first"; exit 1; }

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" &
xvfb=$!
sim=
trap '[ -n "$sim" ] && "${sudo_cmd[@]}" kill $sim 2>/dev/null; "$wineserver" -k 2>/dev/null; kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
read -r -t 10 display < "$work/display"
export DISPLAY=:$display
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf /usr/share/wine/fonts/marlett.ttf \
  "$WINEPREFIX/drive_c/windows/Fonts/"
probe() { "$wine" "$root/build-windows/tests/win32/window-probe.exe" "$@" | tr -d '\r'; }

# One update by one window; prints its ratio.
pace() {
  local front=$1 dir=$work/$1-$2 ip=127.16.$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1)) tool
  mkdir -p "$dir"
  # Either brand's settings file (brand/CMakeLists.txt names them).
  for ini in $(sed -n 's/^LOADER_BRAND[01]_SETTINGS_FILE:INTERNAL=//p' build/CMakeCache.txt); do
    build/settings/loader-settings set "$dir/$ini" "$ip"
  done
  "${sudo_cmd[@]}" build/sim/meter-sim --address "$ip" --password 1234 --image build/image/flash_image.bin \
    --exit-after-reset --log "$dir/meter.log" > "$dir/meter.out" &
  sim=$!
  until grep -q ready "$dir/meter.out" 2>/dev/null; do sleep 0.1; done
  if [ "$front" = linux ]; then
    (cd "$dir" && exec "$root/build/qt/ethernet-loader") &
    tool=$!
    local wid
    wid=$(timeout 20 xdotool search --sync --name "Ethernet Firmware Version" | head -n 1)
    xdotool mousemove --window "$wid" 250 170 click 1        # the password field
    xdotool type --delay 20 1234
    xdotool mousemove --window "$wid" 528 156 click 1        # "FIRMWARE UPDATE"
  else
    (cd "$dir" && exec "$wine" "$root/build-windows/win32/ethernet-loader.exe") &
    tool=$!
    probe window 30000 >/dev/null
    # shellcheck disable=SC2046
    xdotool mousemove --sync $(probe center PasswordField) click 1
    xdotool type --delay 20 1234
    # shellcheck disable=SC2046
    xdotool mousemove --sync $(probe center UpdateButton) click 1
  fi
  timeout 120 tail --pid=$sim -f /dev/null || true
  wait $sim || echo "$front: meter-sim says the flash differs"
  sim=
  kill $tool 2>/dev/null || true
  wait $tool 2>/dev/null || true
  local first reset writes
  first=$(sed -n '1s/^{"t":\([0-9.]*\).*"command":"MODBUS".*/\1/p' "$dir/meter.log")
  reset=$(sed -n 's/^{"t":\([0-9.]*\).*"command":"RESET".*/\1/p' "$dir/meter.log")
  writes=$(grep -c '"command":"W"' "$dir/meter.log" || true)
  awk -v f="$front" -v a="$first" -v b="$reset" -v n="$writes" 'BEGIN {
    p = 4.0 + 0.05 * n
    printf "%-6s %d blocks, request to RESET %.3f s, prescribed %.3f s, ratio %.4f\n", f, n, b - a, p, (b - a) / p }'
}

for i in $(seq "$runs"); do
  pace linux "$i"
  pace wine "$i"
done
