#!/usr/bin/env bash
# Makes a release into dist/ (or DIR): the two Debian packages, the Windows
# installer and zip, an SPDX 2.3 SBOM and SHA256SUMS over all of them.
#
#   scripts/release.sh [--output DIR] [--only debian|windows]
#                      [--cert CERT.p12 --password-file FILE [--timestamp URL]]
#
# With a certificate every Windows program, the uninstaller inside the
# installer and the installer itself are signed (scripts/sign-windows.sh);
# without one the release is unsigned and says so. Builds are hardened and
# reproducible: dates come from SOURCE_DATE_EPOCH, the last commit's time
# unless set, so the same commit gives the same bytes in any folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

output=dist
only=all
unset LOADER_SIGN_CERT LOADER_SIGN_PASSWORD_FILE LOADER_SIGN_TIMESTAMP
while [ $# -gt 0 ]; do
  case $1 in
    --output) output=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --cert) export LOADER_SIGN_CERT=$(realpath "$2"); shift 2 ;;
    --password-file) export LOADER_SIGN_PASSWORD_FILE=$(realpath "$2"); shift 2 ;;
    --timestamp) export LOADER_SIGN_TIMESTAMP=$2; shift 2 ;;
    *) echo "usage: $0 [--output DIR] [--only debian|windows] [--cert P12 --password-file FILE [--timestamp URL]]" >&2
       exit 2 ;;
  esac
done
case $only in all | debian | windows) ;; *) echo "release: --only takes debian or windows" >&2; exit 2 ;; esac
if [ -n "${LOADER_SIGN_CERT:-}" ]; then
  [ -n "${LOADER_SIGN_PASSWORD_FILE:-}" ] || { echo "release: --cert needs --password-file" >&2; exit 2; }
  # Fails now, not after the build, when the certificate or its password is wrong.
  openssl pkcs12 -in "$LOADER_SIGN_CERT" -passin "file:$LOADER_SIGN_PASSWORD_FILE" -nokeys -noout ||
    { echo "release: cannot open $LOADER_SIGN_CERT with its password file" >&2; exit 1; }
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) ||
    { echo "release: no git history here; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022

scripts/setup.sh
mkdir -p "$output"
output=$(realpath "$output")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
version=$(sed -n 's/^project(EthernetLoader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -f "$output"/ethernet-loader[_-]"$version"* "$output"/meter-sim_"$version"* "$output"/SHA256SUMS

# The native build: the Debian packages, and the image tool the cross build runs.
cmake --preset default >/dev/null
if [ "$only" = windows ]; then
  cmake --build build -j2 --target flash-image-tool
else
  cmake --build build -j2 --target release_files
  (cd build && cpack -B "$stage/debian" >/dev/null)
  cp "$stage"/debian/*.deb "$output/"
fi

if [ "$only" != debian ]; then
  cmake --preset windows >/dev/null
  cmake --build build-windows -j2 --target release_files
  (cd build-windows && cpack -B "$stage/windows" >/dev/null)
  installer=$stage/windows/ethernet-loader-$version-win64.exe
  zip=$stage/windows/ethernet-loader-$version-win64.zip
  # The zip's entries in name order, each dated SOURCE_DATE_EPOCH.
  strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$zip" >/dev/null
  if [ -n "${LOADER_SIGN_CERT:-}" ]; then
    scripts/sign-windows.sh "$installer"
  fi
  cp "$installer" "$zip" "$output/"
fi

/usr/bin/python3 scripts/sbom.py --output "$output/ethernet-loader-$version.spdx.json" --version "$version" \
  --commit "$(git rev-parse HEAD)" --native build --windows build-windows \
  --only "$only" "$output"
/usr/bin/python3 scripts/sbom.py --check "$output/ethernet-loader-$version.spdx.json"
(cd "$output" && find . -maxdepth 1 -type f ! -name 'SHA256SUMS*' -printf '%P\n' | sort | xargs -d '\n' sha256sum -- > SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)

echo "release: $output"
(cd "$output" && find . -maxdepth 1 -type f -printf '  %s\t%P\n' | sort -k2)
if [ "$only" != debian ]; then
  if [ -n "${LOADER_SIGN_CERT:-}" ]; then
    echo "release: the Windows programs, the uninstaller and the installer are signed"
  else
    echo "release: UNSIGNED - no certificate given (--cert, --password-file); Windows will name no publisher"
  fi
fi
