#!/usr/bin/env bash
# The Debian packages: builds them from the default build, checks them with
# lintian, unpacks them into a scratch folder and from there starts the
# programs, the window offscreen; validates the launchers, the AppStream
# metainfo and the manual pages. Nothing is installed on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh default
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "test-package: $*" >&2; exit 1; }

log=$(cd build && cpack -B "$scratch/packages" 2>&1) || fail "cpack: $log"
debs=("$scratch"/packages/ethernet-loader_*.deb "$scratch"/packages/meter-sim_*.deb)
for deb in "${debs[@]}"; do [ -f "$deb" ] || fail "no package $deb"; done
lint=0
report=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || lint=$?
grep -v '^running with root privileges' <<<"$report" || true
[ $lint -eq 0 ] || fail "lintian reports errors or warnings"

root=$scratch/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
bin=$root/usr/bin
scripts/check-hardening.sh "$bin"/*
version=$(dpkg-deb -f "${debs[0]}" Version)

# The command-line programs.
# Read whole: a reader that stops at the first line can kill the writer with SIGPIPE.
help=$("$bin/meter-sim" --help) || fail "meter-sim --help failed"
[ "${help%%$'\n'*}" = 'usage: meter-sim [options]' ] || fail "meter-sim --help"
said=$("$bin/ethernet-loader-cli" --version) || fail "ethernet-loader-cli --version failed"
[ "$said" = "ethernet-loader-cli $version" ] || fail "ethernet-loader-cli --version says '$said', the package $version"

# Every launcher starts its window, which shows the launcher's product in its title.
launchers=("$root"/usr/share/applications/*.desktop)
[ ${#launchers[@]} -eq 2 ] || fail "expected two launchers, found ${#launchers[@]}"
for desktop in "${launchers[@]}"; do
  out=$(desktop-file-validate "$desktop") || fail "$out"
  ! grep -E 'error|warning' <<<"$out" || fail "desktop-file-validate complains about $desktop"
  exec_name=$(sed -n 's/^Exec=//p' "$desktop")
  product=$(sed -n 's/^Name=\(.*\) Ethernet Loader$/\1/p' "$desktop")
  [ -x "$bin/$exec_name" ] && [ -n "$product" ] || fail "$desktop: Exec '$exec_name' or Name"
  cwd=$(mktemp -d -p "$scratch")
  shown=$(cd "$cwd" && ETHERNET_LOADER_CLOSE_WHEN_SHOWN=1 QT_QPA_PLATFORM=offscreen \
    timeout 30 "$bin/$exec_name" 2>/dev/null) || fail "$exec_name did not show and close (status $?)"
  [ "$shown" = "shown: $product - Ethernet Firmware Version $version" ] ||
    fail "$exec_name shows '$shown', its launcher says '$product', the package $version"
  # It keeps its settings in the working directory.
  compgen -G "$cwd/*.ini" >/dev/null || fail "$exec_name left no settings file in its working directory"
  echo "$exec_name: $shown"
done

metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
[ ${#metainfo[@]} -eq 2 ] || fail "expected two metainfo files, found ${#metainfo[@]}"
out=$(appstreamcli validate --no-net --strict --no-color "${metainfo[@]}" 2>&1) || fail "$out"
echo "metainfo: $(tail -1 <<<"$out")"

# Manual pages: groff finds nothing to complain about, the options are those of --help.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
for program in meter-sim ethernet-loader-cli; do
  sh packaging/check-man-options.sh "$bin/$program" "$root/usr/share/man/man1/$program.1.gz"
done
# The Wireshark plugin lies where this machine's Wireshark looks for global
# Lua plugins, and tshark decodes with the packaged file.
lua_dir=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
[ -n "$lua_dir" ] || fail "tshark names no global Lua plugin folder"
plugin=$root$lua_dir/meterboot.lua
[ -f "$plugin" ] || fail "no Wireshark plugin at $lua_dir/meterboot.lua: $(cd "$root" && find . -name '*.lua')"
python3 tests/trace/dissector-test.py "$plugin" >/dev/null || fail "tshark decodes wrongly with the packaged plugin"
echo "wireshark plugin: $lua_dir/meterboot.lua"
echo "test-package: $(cd "$scratch/packages" && echo *.deb) good"
