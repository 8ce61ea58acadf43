#!/usr/bin/env bash
# check-trace.py on runs made up by fake-run.py: the good one passes, and
# each fault (password in clear, 0x08000 not last, a retry the report does
# not count) fails it.
set -u
here=$(dirname "$0")
command -v tshark >/dev/null || { echo "skipped: no tshark"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0
for fault in none clear-password block-order count; do
  rm -f "$dir"/*
  args=()
  [ "$fault" = none ] || args=(--fault "$fault")
  python3 "$here/fake-run.py" "$dir" --rtt 300 "${args[@]}"
  python3 "$here/check-trace.py" "$dir"/127.0.0.2-*.pcapng "$dir/report.json" --password-file "$dir/password" \
    --rtt 300 > "$dir/said" 2>&1
  got=$? want=1
  [ "$fault" = none ] && want=0
  if [ $got -ne $want ]; then
    echo "fault $fault: check-trace exited $got, not $want:"
    cat "$dir/said"
    failed=$((failed + 1))
  fi
done
echo "$((4 - failed)) passed, $failed failed"
[ $failed -eq 0 ]
