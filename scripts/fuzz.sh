#!/usr/bin/env bash
# Builds a libFuzzer target with clang in a build directory of its own and
# runs it for a bounded time. Exits non-zero when the fuzzer finds a crash;
# the input that caused it is left in the build directory as crash-*.
#
#   scripts/fuzz.sh TARGET SECONDS    TARGET: sim, image or settings
#   scripts/fuzz.sh all SECONDS       the three in turn, sharing SECONDS
#
# The corpus grows in build-fuzz/corpus/TARGET and is reused by later runs.
# FUZZ_BUILD_DIR overrides build-fuzz/; FUZZ_ARGS adds libFuzzer options.
set -euo pipefail

usage() { echo "usage: $0 sim|image|settings|all SECONDS" >&2; exit 2; }
[ $# -eq 2 ] || usage
target=$1 seconds=$2
case "$seconds" in '' | *[!0-9]*) usage ;; esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"

if [ "$target" = all ]; then
  # A third each, the simulator also what the division leaves over.
  share=$((seconds / 3))
  "$0" image "$share"
  "$0" settings "$share"
  exec "$0" sim $((seconds - 2 * share))
fi

case "$target" in
  sim) binary=sim/fuzz/sim_fuzz name=sim_fuzz max_len=4096 ;;
  image) binary=image/fuzz/image_fuzz name=image_fuzz max_len=65536 ;;
  settings) binary=settings/fuzz/settings_fuzz name=settings_fuzz max_len=8192 ;;
  *) usage ;;
esac

CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$build" -DLOADER_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "$name" -j2

# A few well-formed inputs to start from; the first byte picks the entry.
corpus="$build/corpus/$target"
mkdir -p "$corpus"
case "$target" in
  sim)
    printf '\x00VER?' >"$corpus/identify"
    printf '\x00RESET' >"$corpus/reset"
    printf '\x00\x45\x08\x1d\x96' >"$corpus/erase"
    printf '\x01\x01\xf0\x00\x00\x00\x25\x01\x10\x45\x71\x00\x0f\x1eGoToBootMode1234\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$corpus/boot-request"
    printf '\x02delay:70@cmd=W,every=3' >"$corpus/rule"
    printf '\x03\x04VER?\x04\x45\x08\x1d\x96\x05RESET' >"$corpus/conversation"
    ;;
  image)
    printf '\x00// *****\r\n// C:\\fw\\main.hex\r\n// *****\r\n\r\nFlashImageARM : array [1..$80000] of byte = (\r\n255,0,$1F,{c}(*d*)7\r\n);\r\n' >"$corpus/declaration"
    printf '\x02FlashImageARM : array [1..$80000] of byte = ( 1,2,3 );' >"$corpus/declaration-short"
    printf '\x04:020000040000FA\r\n:10800000000001200181000081810000838100003F\r\n:0400000508008101E5\r\n:00000001FF\r\n' >"$corpus/intel-hex"
    printf '\x06:020000021000EC\n:0300300002337A1E\n:00000001FF\n' >"$corpus/intel-hex-segment"
    printf '\x00\x7f\x45\x4c\x46\x02\x01\x01' >"$corpus/raw"
    printf '\x00\xef\xbb\xbf:00000001FF\n' >"$corpus/intel-hex-after-bom"
    printf '\x07C:\\firmware\\main.hex\n\x01\x02\xfe' >"$corpus/export"
    ;;
  settings)
    printf '\x00\x0810.0.0.2[boot]\r\nipaddress=10.0.0.1\r\n' >"$corpus/replace"
    printf '\x00\x0810.0.0.2; by hand\n[net]\nipaddress = 10.9.9.9\n\n[Boot]\n# last\nretries=3\n\t IPADDRESS  =  1  \nmode=fast\n; end' >"$corpus/hand-written"
    printf '\x00\x0810.0.0.2\xef\xbb\xbf[net]\nx=1\n\x00\xff binary' >"$corpus/bom-and-zero"
    printf '\x00\x0810.0.0.2[net]\rx=1' >"$corpus/old-mac"
    printf '\x01\x04  7 [boot\nipaddress=1\n' >"$corpus/open-header"
    printf '\x00\x00' >"$corpus/empty"
    ;;
esac

cd "$build"  # libFuzzer writes its files where it runs
"$build/$binary" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
  -artifact_prefix="$build/$target-" ${FUZZ_ARGS:-} "$corpus"
