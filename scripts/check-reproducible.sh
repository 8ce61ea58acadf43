#!/usr/bin/env bash
# Builds the release of the last commit twice, in two folders of different
# names and depths one after the other, and compares the results byte for
# byte: the Windows installer, the zip, each .exe as built, and (unless
# "windows" is asked) the two Debian packages; the SBOM and SHA256SUMS too.
# At the first difference it says which file and shows diffoscope's account.
#
#   scripts/check-reproducible.sh [--first CHECKOUT] [windows|all]
#
# --first takes the first build from a checkout that has built already (the
# suite passes its own, after the Windows tests) instead of a fresh clone. Its
# programs may come from ccache, whose objects made in another folder keep
# that folder's name in their debug information; so then only what is
# released is compared (stripped programs), not the programs as built.
# ccache is off: a cached object made in another folder would hide exactly
# the differences looked for here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export CCACHE_DISABLE=1

first=
what=all
while [ $# -gt 0 ]; do
  case $1 in
    --first) first=$(realpath "$2"); shift 2 ;;
    windows | all) what=$1; shift ;;
    *) echo "usage: $0 [--first CHECKOUT] [windows|all]" >&2; exit 2 ;;
  esac
done
only=$([ "$what" = windows ] && echo windows || echo all)
commit=$(git rev-parse HEAD)
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# checkout DIR: a clean clone of the commit.
checkout() {
  git clone -q --no-checkout "$root" "$1"
  git -C "$1" checkout -q --detach "$commit"
}
# release CHECKOUT NAME: builds there; keeps the artifacts and the built .exe files in $scratch/NAME.
release() {
  local start=$SECONDS
  "$1/scripts/release.sh" --only "$only" --output "$scratch/$2" >"$scratch/$2.log" 2>&1 ||
    { tail -30 "$scratch/$2.log"; echo "check-reproducible: the build in $1 failed" >&2; exit 1; }
  if [ -z "$first" ] && [ -d "$1/build-windows" ]; then
    mkdir -p "$scratch/$2/exe"
    cp "$1"/build-windows/win32/ethernet-loader*.exe "$1"/build-windows/cli/ethernet-loader-cli.exe "$scratch/$2/exe/"
  fi
  echo "check-reproducible: built in $1 in $((SECONDS - start)) s"
}

if [ -n "$first" ]; then
  [ "$(git -C "$first" rev-parse HEAD)" = "$commit" ] || { echo "check-reproducible: $first is not at $commit" >&2; exit 1; }
  release "$first" one
else
  checkout "$scratch/a/src"
  release "$scratch/a/src" one
fi
checkout "$scratch/b/the-second-build"
release "$scratch/b/the-second-build" two

# Artifacts first, then the SBOM and SHA256SUMS, which differ whenever an artifact does.
names=$( (cd "$scratch/one" && find . -type f; cd "$scratch/two" && find . -type f) | sort -u |
  awk '{ print (/SHA256SUMS|spdx/ ? 1 : 0) "\t" $0 }' | sort | cut -f2)
count=0
differing=()
while read -r name; do
  if [ ! -f "$scratch/one/$name" ] || [ ! -f "$scratch/two/$name" ]; then
    differing+=("${name#./} (in one build only)")
  elif cmp -s "$scratch/one/$name" "$scratch/two/$name"; then
    count=$((count + 1))
  else
    differing+=("${name#./}")
  fi
done <<<"$names"
if ((${#differing[@]})); then
  first=${differing[0]}
  echo "check-reproducible: differs between the two builds: ${differing[*]}" >&2
  if [ -f "$scratch/one/$first" ] && [ -f "$scratch/two/$first" ]; then
    echo "check-reproducible: $first, as diffoscope sees it:" >&2
    diffoscope --no-progress --text - --max-report-size 200000 "$scratch/one/$first" "$scratch/two/$first" |
      head -200 >&2 || true
  fi
  exit 1
fi
echo "check-reproducible: $count files bit-identical across two builds of $commit:"
(cd "$scratch/one" && find . -type f -printf '  %s\t%P\n' | sort -k2)
