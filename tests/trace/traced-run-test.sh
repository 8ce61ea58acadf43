#!/usr/bin/env bash
# Traced runs against meter-sim on ports of its own: an update, and a probe
# behind a 300 ms round trip; check-trace.py then holds each trace against
# the run's report.
# Usage: traced-run-test.sh CLI METER_SIM
set -euo pipefail
cli=$1 sim=$2
here=$(cd "$(dirname "$0")" && pwd)
command -v tshark >/dev/null || { echo "skipped: no tshark"; exit 77; }
work=$(mktemp -d)
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_STATE_HOME=$work/state
printf 'Tr4ce-pw\n' > "$work/password"
chmod 600 "$work/password"
# An address of this test's own, so that no other test's run holds its meter.
address=127.78.$((RANDOM % 250)).2

# run NAME COMMAND [SIM OPTIONS...]: a meter-sim, the command against it, check-trace on its trace.
run() {
  local name=$1 command=$2
  shift 2
  local fd modbus boot ready
  exec {fd}< <(exec "$sim" --address "$address" --modbus-port 0 --boot-port 0 --password Tr4ce-pw \
    --boot-delay 200 --log "$work/$name-sim.log" "$@" 2> "$work/$name-sim.err")
  sims+=($!)
  read -r -t 10 -u "$fd" ready || { echo "FAIL: meter-sim did not start"; exit 1; }
  modbus=$(sed -n 's/.*"modbusPort":\([0-9]*\).*/\1/p' <<<"$ready")
  boot=$(sed -n 's/.*"bootPort":\([0-9]*\).*/\1/p' <<<"$ready")
  mkdir "$work/$name"
  "$cli" "$command" "$address" --modbus-port "$modbus" --boot-port "$boot" --password-file "$work/password" \
    --back-within 0 --report "$work/$name/report.json" --trace "$work/$name" > "$work/$name.out" 2>&1 ||
    { echo "FAIL: $command: $(cat "$work/$name.out")"; exit 1; }
  local traces=("$work/$name/$address"-*.pcapng)
  [ ${#traces[@]} -eq 1 ] && [ -f "${traces[0]}" ] || { echo "FAIL: $name left no trace: $(ls "$work/$name")"; exit 1; }
  rtt=()
  [ "$name" = probe ] && rtt=(--rtt 300)
  python3 "$here/check-trace.py" "${traces[0]}" "$work/$name/report.json" --password-file "$work/password" \
    --modbus-port "$modbus" --boot-port "$boot" "${rtt[@]}"
}
run update update
run probe probe --rtt 300
