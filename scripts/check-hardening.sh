#!/usr/bin/env bash
# Checks that programs carry the release hardening: ELF files every item of
# `hardening-check` (PIE, stack protector, fortified functions, read-only
# relocations, immediate binding, stack-clash and control-flow protection);
# Windows .exe files ASLR with high entropy and DEP in the PE header, and, where
# the file still has its symbols, the stack protector's guard.
#
#   scripts/check-hardening.sh FILE...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }

objdump=$(command -v x86_64-w64-mingw32-objdump || echo objdump)
status=0
bad() { echo "check-hardening: $1: $2" >&2; status=1; }

for file in "$@"; do
  case $(head -c 4 "$file" | od -An -tx1 | tr -d ' ') in
    7f454c46)
      # hardening-check reports "unknown" (not a failure) where a program
      # uses nothing that an item could protect.
      if ! report=$(hardening-check "$file" 2>&1); then
        bad "$file" "$(grep -E ': no' <<<"$report" | sed 's/^ *//' | paste -sd ';')"
      fi
      ;;
    4d5a*)
      flags=$("$objdump" -p "$file" | awk '/^DllCharacteristics/ { print $2 }')
      [ -n "$flags" ] || { bad "$file" "no PE optional header"; continue; }
      # IMAGE_DLLCHARACTERISTICS_ HIGH_ENTROPY_VA 0x20, DYNAMIC_BASE 0x40, NX_COMPAT 0x100.
      for pair in 20:high-entropy-ASLR 40:ASLR 100:DEP; do
        bit=$((16#${pair%%:*}))
        (((16#$flags & bit) == bit)) || bad "$file" "no ${pair#*:} (DllCharacteristics 0x$flags)"
      done
      symbols=$("$objdump" -t "$file" 2>/dev/null || true)
      if [ "$(wc -l <<<"$symbols")" -gt 10 ] && ! grep -q '__stack_chk_fail' <<<"$symbols"; then
        bad "$file" "no stack protector"
      fi
      ;;
    *) bad "$file" "neither an ELF nor a PE file" ;;
  esac
done
[ $status -ne 0 ] || echo "check-hardening: $# files hardened"
exit $status
