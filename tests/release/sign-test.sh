#!/usr/bin/env bash
# Signing a release: a certificate authority and a code-signing certificate
# made here for the test sign a Windows release (scripts/release.sh --cert).
# Every program in the zip, the installer, the programs in it and the
# uninstaller it writes verify against that authority; removing the signature
# from a program gives back the unsigned release's bytes; the signed
# installer installs and uninstalls silently under Wine and the signed
# window starts (tests/win32/installer-test.sh). Run by scripts/test-release.sh:
#
#   sign-test.sh WORK_DIR
#
# Expects the Windows build (build-windows/) and its window probe.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$1
rm -rf "$work"
mkdir -p "$work/ca"
work=$(realpath "$work")
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# The authority and the signer, valid for a day.
ca=$work/ca
printf 'test-only-%s\n' "$RANDOM$RANDOM" > "$ca/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca/ca.key" -out "$ca/ca.pem" -days 1 \
  -subj "/CN=Ethernet Loader Test CA" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$ca/signer.key" -out "$ca/signer.csr" \
  -subj "/CN=Ethernet Loader Test Signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > "$ca/ext"
openssl x509 -req -in "$ca/signer.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -CAcreateserial -days 1 \
  -extfile "$ca/ext" -out "$ca/signer.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/signer.pem" -certfile "$ca/ca.pem" \
  -out "$ca/signer.p12" -passout "file:$ca/password"

scripts/release.sh --only windows --output "$work/unsigned" > "$work/unsigned.log" 2>&1 ||
  { tail -20 "$work/unsigned.log"; exit 1; }
grep -q 'UNSIGNED' "$work/unsigned.log" || fail "an unsigned release does not say so"
scripts/release.sh --only windows --output "$work/signed" --cert "$ca/signer.p12" --password-file "$ca/password" \
  > "$work/signed.log" 2>&1 || { tail -20 "$work/signed.log"; exit 1; }
grep -q 'UNSIGNED' "$work/signed.log" && fail "a signed release says it is unsigned"

verify() {
  osslsigncode verify -CAfile "$ca/ca.pem" -in "$1" > "$work/verify.log" 2>&1 ||
    { fail "$1 does not verify: $(grep -iE 'fail|error|mismatch' "$work/verify.log" | head -3)"; return 0; }
  grep -q 'Ethernet Loader Test Signer' "$work/verify.log" || fail "$1 is not signed by the test signer"
}
installer=$(echo "$work"/signed/ethernet-loader-*-win64.exe)
verify "$installer"
# An unsigned file must fail, or the verification above proves nothing.
osslsigncode verify -CAfile "$ca/ca.pem" -in "$(echo "$work"/unsigned/ethernet-loader-*-win64.exe)" >/dev/null 2>&1 &&
  fail "the unsigned installer verifies"

for kind in signed unsigned; do
  mkdir -p "$work/zip-$kind"
  unzip -q "$work"/$kind/ethernet-loader-*-win64.zip -d "$work/zip-$kind"
done
programs=0
while read -r exe; do
  programs=$((programs + 1))
  verify "$exe"
  unsigned=$work/zip-unsigned/${exe#"$work"/zip-signed/}
  osslsigncode remove-signature -in "$exe" -out "$work/removed.exe" >/dev/null
  cmp -s "$work/removed.exe" "$unsigned" || fail "$(basename "$exe") without its signature differs from the unsigned one"
  rm -f "$work/removed.exe"
done < <(find "$work/zip-signed" -name '*.exe' | sort)
[ $programs -ge 2 ] || fail "the zip holds $programs programs"

# What the installer carries and writes: its programs and the uninstaller,
# as 7-Zip rebuilds them from it.
7z x -y -o"$work/installer-files" "$installer" >/dev/null
[ -f "$work/installer-files/Uninstall.exe" ] || fail "the installer holds no uninstaller"
for exe in "$work"/installer-files/*.exe; do verify "$exe"; done

# The signed installer as a technician meets it.
wine=${WINE:-$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)}
wineserver=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$wine WINESERVER=$wineserver tests/win32/installer-test.sh "$installer" \
  build-windows/tests/win32/window-probe.exe "$work/installer" || fail "the signed installer's test"

if [ $failures -ne 0 ]; then
  echo "sign-test: $failures failures"
  exit 1
fi
echo "sign-test: $programs programs, the installer and its uninstaller signed and verified"
