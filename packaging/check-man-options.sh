#!/bin/sh
# Usage: check-man-options.sh PROGRAM MANPAGE
# The manual page and PROGRAM --help name the same options: every option the
# help prints is in the page, and the page names no option the help lacks.
# Subcommands listed under "Subcommands:" (as CLI11 prints them) are in the
# page too, and their own --help counts as well, with that of theirs.
set -eu
program=$1
page=$2

help=$("$program" --help) || { echo "$program --help failed" >&2; exit 1; }
subcommands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:$/,/^$/s/^  *\([a-z][a-z0-9-]*\) .*/\1/p')
list_subcommands() { sed -n '/^Subcommands:$/,/^$/s/^  *\([a-z][a-z0-9-]*\) .*/\1/p'; }
for sub in $subcommands; do
  sub_help=$("$program" "$sub" --help) || { echo "$program $sub --help failed" >&2; exit 1; }
  help="$help
$sub_help"
  # One level further: "plan update" takes the options of its own.
  for nested in $(printf '%s\n' "$sub_help" | list_subcommands); do
    help="$help
$("$program" "$sub" "$nested" --help)" || { echo "$program $sub $nested --help failed" >&2; exit 1; }
  done
done

# The words that are long options (--name) or short ones (-h).
options() { tr -c 'a-zA-Z0-9-' '\n' | grep -E -- '^(--[a-z0-9][a-z0-9-]*|-[a-zA-Z])$' | sort -u; }

from_help=$(printf '%s\n' "$help" | options)
# scdoc writes a hyphen as \- and bold or italic text between \fB and \fR.
text=$(case "$page" in *.gz) zcat -- "$page" ;; *) cat -- "$page" ;; esac |
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g')
from_page=$(printf '%s\n' "$text" | options)

if [ -z "$from_help" ]; then
  echo "$program --help names no option" >&2
  exit 1
fi
status=0
for o in $from_help; do
  printf '%s\n' "$from_page" | grep -qx -- "$o" || { echo "$page lacks $o (in $program --help)" >&2; status=1; }
done
for o in $from_page; do
  printf '%s\n' "$from_help" | grep -qx -- "$o" || { echo "$page names $o, which $program --help lacks" >&2; status=1; }
done
for sub in $subcommands; do
  printf '%s\n' "$text" | grep -qw -- "$sub" || { echo "$page lacks the subcommand $sub" >&2; status=1; }
done
[ $status -eq 0 ] && echo "$(basename "$page"): the $(printf '%s\n' "$from_help" | wc -l) options" \
  "${subcommands:+and the subcommands $(echo $subcommands) }of $(basename "$program") --help"
exit $status
