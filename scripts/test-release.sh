#!/usr/bin/env bash
# The release: the Windows files built a second time in another folder equal
# this checkout's (scripts/check-reproducible.sh, after scripts/test-windows.sh
# built them here), and a release signed with a throwaway certificate
# verifies, installs and uninstalls under Wine (tests/release/sign-test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

start=$SECONDS
scripts/check-reproducible.sh --first . windows
reproducible_seconds=$((SECONDS - start))

start=$SECONDS
tests/release/sign-test.sh build-windows/sign-test
sign_seconds=$((SECONDS - start))
echo "Release stage: reproducibility ${reproducible_seconds} s, signing ${sign_seconds} s"
