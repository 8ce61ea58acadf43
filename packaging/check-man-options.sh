#!/bin/sh
# Usage: check-man-options.sh PROGRAM MANPAGE
# The manual page and PROGRAM --help name the same long options: every option
# the help prints is in the page, and the page names no option the help lacks.
set -eu
program=$1
page=$2

help=$("$program" --help) || { echo "$program --help failed" >&2; exit 1; }
options() { grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u; }

from_help=$(printf '%s\n' "$help" | options)
# scdoc writes a hyphen as \- and bold or italic text between \fB and \fR.
from_page=$(case "$page" in *.gz) zcat -- "$page" ;; *) cat -- "$page" ;; esac |
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' | options)

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
[ $status -eq 0 ] && echo "$(basename "$page"): the $(printf '%s\n' "$from_help" | wc -l) options of $(basename "$program") --help"
exit $status
