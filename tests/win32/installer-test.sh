#!/usr/bin/env bash
# The Windows installer as a technician's laptop meets it, in a Wine prefix
# of its own: a silent install (/S), the window started from its Start-menu
# entry (it shows its caption and keeps its settings in the user's own
# folder), then the silent uninstaller removes what was installed. Run by
# scripts/test-windows.sh:
#
#   installer-test.sh INSTALLER PROBE_EXE WORK_DIR
#
# Environment: WINE, WINESERVER, and the stage's other Wine settings.
set -euo pipefail
installer=$(realpath "$1")
probe_exe=$(realpath "$2")
work=$3
wine=${WINE:?}
wineserver=${WINESERVER:?}

rm -rf "$work"
mkdir -p "$work/prefix"
work=$(realpath "$work")
export WINEPREFIX=$work/prefix
xvfb=
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  true
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
probe() { "$wine" "$probe_exe" "$@" | tr -d '\r'; }

mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" &
xvfb=$!
read -r -t 10 display < "$work/display" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$display


"$wine" wineboot --init >/dev/null 2>&1
drive_c=$WINEPREFIX/drive_c
local_app_data=$(ls -d "$drive_c"/users/*/AppData/Local | grep -v /Public/ | head -n 1)

"$wine" "$installer" /S
"$wineserver" -w
program_dir="$drive_c/Program Files/Ethernet Loader"
for f in ethernet-loader.exe ethernet-loader-brand1.exe ethernet-loader-cli.exe Uninstall.exe wireshark/meterboot.lua; do
  [ -f "$program_dir/$f" ] || fail "not installed: $f"
done
settings_dir="$local_app_data/Ethernet Loader"
[ -d "$settings_dir" ] || fail "no settings folder in the user's %LOCALAPPDATA%"
mapfile -t links < <(find "$drive_c" -path '*Start Menu*' -name '*Ethernet Loader.lnk' | sort)
[ "${#links[@]}" -eq 2 ] || fail "expected a Start-menu entry per brand, found ${#links[@]}: ${links[*]}"

# The first brand's entry, as a click in the Start menu starts it.
entry=$(printf '%s\n' "${links[@]}" | grep 'VELTRONA' | head -n 1)
"$wine" start /unix "$entry"
shown=$(probe window 30000) || fail "the installed window did not show"
version=$(basename "$installer" | sed -n 's/^ethernet-loader-\(.*\)-win64\.exe$/\1/p')
[ "$shown" = "VELTRONA | QT510x, QT520x - Ethernet Firmware Version $version" ] || fail "caption: \"$shown\""
# shellcheck disable=SC2046
xdotool mousemove --sync $(probe center AddressField)
xdotool key alt+F4
probe gone 20000 || fail "the installed window did not close"
# Closing saved the settings where the entry started the window.
grep -q '^ipaddress=0.0.0.0' "$settings_dir/QT510x_QT520x_Ethernet_Loader.ini" 2>/dev/null ||
  fail "the settings file is not in the user's folder: $(find "$drive_c" -name '*Ethernet_Loader.ini')"
"$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\EthernetLoader' >/dev/null 2>&1 ||
  fail "no uninstall entry"

"$wine" "$program_dir/Uninstall.exe" /S
"$wineserver" -w
[ ! -e "$program_dir" ] || fail "left after uninstalling: $(find "$program_dir")"
left_links=$(find "$drive_c" -path '*Start Menu*' -iname '*Ethernet Loader*')
[ -z "$left_links" ] || fail "Start-menu entries left after uninstalling: $left_links"
for key in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\EthernetLoader' \
           'HKLM\Software\Microsoft\Active Setup\Installed Components\EthernetLoader'; do
  if "$wine" reg query "$key" >/dev/null 2>&1; then fail "registry key left: $key"; fi
done
# The user's settings are theirs and stay.
[ -f "$settings_dir/QT510x_QT520x_Ethernet_Loader.ini" ] || fail "uninstalling removed the user's settings"

echo "installer test (install, Start-menu entry, uninstall): $failures failures"
[ "$failures" -eq 0 ]
