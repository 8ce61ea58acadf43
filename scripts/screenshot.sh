#!/usr/bin/env bash
# Runs one whole update in a real window under Xvfb against a simulated meter
# and saves a picture of the window at the end (docs/window.png): the check
# that the window works as a person would use it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-$root/docs/window.png}
scripts/build.sh default
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)   # installing, and port 502 (below 1024), need root
missing=()
for p in xdotool imagemagick; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d)
meter_ip=127.0.0.9   # an address of its own, away from run.sh and the tests
# The settings file is named after the build's brand (brand/CMakeLists.txt).
variant=0
grep -q '^LOADER_BRAND_VARIANT_1:BOOL=ON$' build/CMakeCache.txt && variant=1
ini=$work/$(sed -n "s/^LOADER_BRAND${variant}_SETTINGS_FILE:INTERNAL=//p" build/CMakeCache.txt)
build/settings/loader-settings set "$ini" "$meter_ip"
"${sudo_cmd[@]}" build/sim/meter-sim --address $meter_ip --password 1234 --image build/image/flash_image.bin \
  --exit-after-reset --log "$work/meter.log" > "$work/meter.out" &
sim=$!
# Xvfb names its display on the pipe once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$work/display" &
xvfb=$!
tool=
trap 'kill $sim $xvfb $tool 2>/dev/null || true; rm -rf "$work"' EXIT
read -r -t 10 display < "$work/display"
export DISPLAY=:$display
(cd "$work" && exec "$root/build/qt/ethernet-loader") &
tool=$!
wid=$(timeout 20 xdotool search --sync --name "Ethernet Firmware Version" | head -n 1)
# Xvfb has no window manager to activate the window: a click into the
# password field does, as a technician's first click would.
xdotool mousemove --window "$wid" 250 170 click 1
xdotool type --delay 50 1234
xdotool mousemove --window "$wid" 528 156 click 1   # "FIRMWARE UPDATE"
# The meter leaves after "RESET", the update's last step.
timeout 90 tail --pid=$sim -f /dev/null || { echo "the update did not reach RESET"; exit 1; }
wait $sim && echo "meter: flash equals the image" || echo "meter: flash differs"
sleep 1  # let the window repaint its verdict
import -window "$wid" "$out"
echo "saved $out"
