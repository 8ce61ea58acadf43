#!/usr/bin/env bash
# The tool's main job, rehearsed: builds the tool, starts a simulated meter on
# 127.0.0.2 (Modbus TCP 502, bootloader 5555), points the tool's settings at
# it and opens the window. Type the admin password (1234) and press
# "FIRMWARE UPDATE". When the window closes, the meter says whether its
# flash now equals the firmware the tool carries.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/build.sh default

meter_ip=127.0.0.2
password=${METER_PASSWORD:-1234}
rundir=$root/run
mkdir -p "$rundir"
# The tool keeps the last address in its working directory; start it at the
# meter every time. The tool's own writer sets the address and keeps whatever
# else the file holds.
ini=$rundir/QT510x_QT520x_Ethernet_Loader.ini
grep -q '^LOADER_BRAND_VARIANT_1:BOOL=ON$' build/CMakeCache.txt && ini=$rundir/LRV715_LRV716_Ethernet_Loader.ini
build/settings/loader-settings set "$ini" "$meter_ip"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)   # ports 502 and 5555 below 1024 need root
"${sudo_cmd[@]}" "$root/build/sim/meter-sim" --address "$meter_ip" --password "$password" \
  --image "$root/build/image/flash_image.bin" --log "$rundir/meter-sim.log" > "$rundir/meter-sim.out" &
sim=$!
trap 'kill -INT $sim 2>/dev/null || true' EXIT

echo "Simulated meter on $meter_ip (Modbus TCP 502, bootloader UDP 5555), admin password: $password"
echo "Enter the password and press FIRMWARE UPDATE; close the window when done."

cd "$rundir"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display here: the window opens under Xvfb, where nobody sees it (scripts/screenshot.sh shows a whole run)."
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/app/ethernet-loader" || true
else
  "$root/build/app/ethernet-loader" || true
fi

kill -INT $sim 2>/dev/null || true
trap - EXIT
status=0
wait $sim || status=$?
tail -n 1 "$rundir/meter-sim.out"
case $status in
  0) echo "The meter's flash equals the tool's firmware." ;;
  1) echo "The meter's flash does not equal the tool's firmware (no complete update)." ;;
  *) echo "The simulated meter could not start (status $status)." ;;
esac
