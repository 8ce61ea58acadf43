#!/usr/bin/env bash
# Signs Windows files (Authenticode, SHA-256) in place with osslsigncode.
#
#   scripts/sign-windows.sh --cert CERT.p12 --password-file FILE [--timestamp URL] FILE...
#   scripts/sign-windows.sh --if-configured FILE...
#
# The certificate, its password file and the timestamp server may also come
# from LOADER_SIGN_CERT, LOADER_SIGN_PASSWORD_FILE and LOADER_SIGN_TIMESTAMP;
# that is how the release hands them to CPack and makensis, which sign the
# programs before they are packed and the uninstaller as it is written. With
# --if-configured and no certificate, nothing is signed and nothing said.
set -euo pipefail

cert=${LOADER_SIGN_CERT:-}
password_file=${LOADER_SIGN_PASSWORD_FILE:-}
timestamp=${LOADER_SIGN_TIMESTAMP:-}
if_configured=
while [ $# -gt 0 ]; do
  case $1 in
    --cert) cert=$2; shift 2 ;;
    --password-file) password_file=$2; shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    --if-configured) if_configured=1; shift ;;
    --) shift; break ;;
    -*) echo "sign-windows: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ -z "$cert" ]; then
  [ -n "$if_configured" ] && exit 0
  echo "usage: $0 --cert CERT.p12 --password-file FILE [--timestamp URL] FILE..." >&2
  exit 2
fi
[ -r "$cert" ] || { echo "sign-windows: cannot read the certificate $cert" >&2; exit 1; }
[ -r "$password_file" ] || { echo "sign-windows: cannot read the password file '$password_file'" >&2; exit 1; }
[ $# -gt 0 ] || { echo "sign-windows: no files to sign" >&2; exit 2; }

for file in "$@"; do
  args=(sign -pkcs12 "$cert" -readpass "$password_file" -h sha256
        -n "QT510x/QT520x Ethernet Loader" -i "https://ethernet-loader.example.org/")
  [ -z "$timestamp" ] || args+=(-ts "$timestamp")
  # osslsigncode writes a new file only.
  signed=$file.signing
  rm -f "$signed"
  if ! out=$(osslsigncode "${args[@]}" -in "$file" -out "$signed" 2>&1); then
    rm -f "$signed"
    echo "sign-windows: $file: $out" >&2
    exit 1
  fi
  chmod --reference="$file" "$signed"
  mv "$signed" "$file"
  echo "sign-windows: signed $file"
done
