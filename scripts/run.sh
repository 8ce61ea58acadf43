#!/usr/bin/env bash
# The tool's main job, rehearsed: builds the tool and starts simulated
# meters on 127.0.0.2 and up (Modbus TCP 502, bootloader 5555).
#  - With a display: points the window's settings at the first meter (keeping
#    the rest of the settings file) and opens the window. Type the admin password (1234) and press "FIRMWARE UPDATE".
#    When the window closes, the meter says whether its flash now equals the
#    firmware the tool carries.
#  - Without one: the fleet updater updates three meters at once, watches
#    each come back into service (the simulated meters boot in 1 s), and
#    prints each meter's verdict with the revision it came back with; then
#    the meters say what their flash holds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh build
cmake --preset default >/dev/null
cmake --build --preset default --target ethernet-loader ethernet-loader-cli meter-sim loader-settings

meter_ip=127.0.0.2
password=${METER_PASSWORD:-1234}
rundir=$root/run
mkdir -p "$rundir"
headless=
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || headless=1
meters=1
[ -z "$headless" ] || meters=3

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)   # port 502, below 1024, needs root
"${sudo_cmd[@]}" "$root/build/sim/meter-sim" --address "$meter_ip" --meters "$meters" --password "$password" \
  --image "$root/build/image/flash_image.bin" --log "$rundir/meter-sim.log" > "$rundir/meter-sim.out" &
sim=$!
trap 'kill -INT $sim 2>/dev/null || true' EXIT
# The meters serve once the simulator has named their ports on its first line.
for _ in $(seq 100); do
  grep -q '"ready":true' "$rundir/meter-sim.out" 2>/dev/null && break
  kill -0 $sim 2>/dev/null || break
  sleep 0.1
done

if [ -n "$headless" ]; then
  hosts=(127.0.0.2 127.0.0.3 127.0.0.4)
  echo "No display here: the fleet updater updates the simulated meters ${hosts[*]} (admin password $password)."
  status=0
  LOADER_PASSWORD=$password "$root/build/cli/ethernet-loader-cli" update "${hosts[@]}" \
    --report "$rundir/report.json" || status=$?
  echo "Report: $rundir/report.json (exit status $status: 0 every meter updated and back in service, 1 any failed)"
else
  # The tool keeps the last address in its working directory; start it at the
  # meter every time. The tool's own writer sets the address and keeps whatever
  # else the file holds. The file is named after the build's brand
  # (brand/CMakeLists.txt).
  variant=0
  grep -q '^LOADER_BRAND_VARIANT_1:BOOL=ON$' build/CMakeCache.txt && variant=1
  ini=$rundir/$(sed -n "s/^LOADER_BRAND${variant}_SETTINGS_FILE:INTERNAL=//p" build/CMakeCache.txt)
  build/settings/loader-settings set "$ini" "$meter_ip"
  echo "Simulated meter on $meter_ip (Modbus TCP 502, bootloader UDP 5555), admin password: $password"
  echo "Enter the password and press FIRMWARE UPDATE; close the window when done."
  (cd "$rundir" && "$root/build/qt/ethernet-loader") || true
fi

kill -INT $sim 2>/dev/null || true
trap - EXIT
status=0
wait $sim || status=$?
grep -v '^{' "$rundir/meter-sim.out" || true
tail -n 1 "$rundir/meter-sim.out"
case $status in
  0) echo "Every meter's flash equals the tool's firmware." ;;
  1) echo "A meter's flash does not equal the tool's firmware (no complete update)." ;;
  *) echo "The simulated meters could not start (status $status)." ;;
esac
