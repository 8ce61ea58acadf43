#!/usr/bin/env bash
# The Windows window as a technician uses it: the real ethernet-loader.exe
# under Wine on an X server of its own (Xvfb), clicked and typed into with
# xdotool, against the Linux meter-sim on loopback. window-probe.exe reads
# what the window shows (texts, places, message boxes), a screenshot its
# colours. Run by scripts/test-windows.sh, which sets up the Wine prefix:
#
#   window-tests.sh BUILD_WINDOWS_DIR METER_SIM WORK_DIR
#
# Environment: WINE, WINESERVER, WINEPREFIX and the rest of the stage's Wine settings;
# METER_SIM_PREFIX: the command that gives meter-sim its fixed ports (sudo).
set -euo pipefail
build=$(cd "$1" && pwd)
meter_sim=$2
work=$3
wine=${WINE:?}
wineserver=${WINESERVER:?}
exe=$build/win32/ethernet-loader.exe
probe_exe=$build/tests/win32/window-probe.exe
image=$build/image/flash_image.bin
read -r -a sim_prefix <<< "${METER_SIM_PREFIX:-}"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt"); caption="VELTRONA | QT510x, QT520x - Ethernet Firmware Version $version"
if grep -q '^LOADER_BRAND_VARIANT_1:BOOL=ON$' "$build/CMakeCache.txt"; then
  caption="KORVAN | LRV715, LRV716 - Ethernet Firmware Version $version"
fi
password_text="Incorrect password. Please enter correct password."
close_question="The update is still running. Stopping it now leaves the meter waiting in its bootloader; it can be updated again later.

Stop the update and close the window?"

rm -rf "$work"
mkdir -p "$work"
failures=0
sim=
tool=
xvfb=
# Each step on its own: under set -e a failed kill (of a program already
# gone) would end the cleanup and leave the meter and the X server running.
cleanup() {
  if [ -n "$tool" ]; then kill "$tool" 2>/dev/null || true; fi
  if [ -n "$sim" ]; then "${sim_prefix[@]}" kill "$sim" 2>/dev/null || true; fi
  # The Wine session goes with the display it was started on.
  "$wineserver" -k 2>/dev/null || true
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; fi
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
probe() { "$wine" "$probe_exe" "$@" | tr -d '\r'; }
# Checks that the probe's answer is the expected one. A probe that printed
# nothing did not get to look (a Wine process can fail to start on a loaded
# machine; seen once in CI at 144 DPI): it is asked again, twice at most. A
# wrong answer fails at once.
expect() {
  local what=$1 want=$2 got tries=0
  shift 2
  while got=$(probe "$@") || true; [ -z "$got" ] && [ -n "$want" ] && [ $((tries += 1)) -lt 3 ]; do
    echo "note: $what: the probe printed nothing; asking again"
  done
  [ "$got" = "$want" ] || fail "$what: expected \"$want\", got \"$got\""
}

# An X server of the tests' own. No window manager: Wine draws the frames
# itself (Decorated=N in the prefix), and the pointer gives the keyboard focus.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" &
xvfb=$!
read -r -t 10 display < "$work/display" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$display
# Wine takes the screen's size from the display its session started with:
# this one, not whatever the prefix was made with.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -p

# A meter on an address of the test's own (the ports are fixed).
start_meter() {
  local name=$1
  shift
  meter_ip=127.15.$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1))
  mkfifo "$work/$name.out"
  "${sim_prefix[@]}" "$meter_sim" --address "$meter_ip" --image "$image" --log "$work/$name.log" "$@" \
    > "$work/$name.out" &
  sim=$!
  exec 3< "$work/$name.out"
  read -r -t 20 _ <&3 || { echo "meter-sim did not start"; exit 1; }
}
# Stops the meter (when it has not ended by itself) and keeps its summary line.
stop_meter() {
  timeout 5 tail --pid="$sim" -f /dev/null 2>/dev/null || "${sim_prefix[@]}" kill "$sim" 2>/dev/null || true
  sim_status=0
  wait "$sim" || sim_status=$?
  summary=$(cat <&3)
  exec 3<&-
  sim=
}
summary_number() { sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p" <<< "$summary"; }

# The window, started from a folder of its own (its settings file lives there).
start_window() {
  local dir=$1
  mkdir -p "$dir"
  (cd "$dir" && exec "$wine" "$exe") &
  tool=$!
  local shown
  shown=$(probe window 30000) || { echo "the window did not show"; exit 1; }
  [ "$shown" = "$caption" ] || fail "caption: expected \"$caption\", got \"$shown\""
}
# A probe that printed nothing is asked again, as in expect: under set -e
# its failure would otherwise end the whole script without a word.
click() {
  local xy tries=0
  while xy=$(probe center "$1") || true; [ -z "$xy" ] && [ $((tries += 1)) -lt 3 ]; do
    echo "note: the centre of $1: the probe printed nothing; asking again"
  done
  [ -n "$xy" ] || { fail "the centre of $1: the probe printed nothing"; return; }
  # shellcheck disable=SC2086
  xdotool mousemove $xy click 1
}
# Replaces a field's text as a person does: click, select it all, type.
type_into() {
  click "$1"
  xdotool key End shift+Home
  if [ -n "$2" ]; then xdotool type --delay 20 "$2"; else xdotool key BackSpace; fi
}
# A message box of the window: its title and text (beginning with the one
# wanted: the record's place may follow), then dismissed with its OK button.
dismiss_box() {
  local what=$1 want=$2 box title text ok
  box=$(probe box 10000) || { fail "$what: no message box"; return; }
  ok=$(sed -n 1p <<< "$box")
  title=$(sed -n 2p <<< "$box")
  text=$(sed -n '3,$p' <<< "$box")
  [ "$title" = "$caption" ] || fail "$what: box title \"$title\""
  [[ "$text" == "$want"* ]] || fail "$what: box text \"$text\", expected \"$want\"..."
  # shellcheck disable=SC2086
  xdotool mousemove $ok click 1
  probe no-box 5000 || fail "$what: the box stayed open"
  # A window manager would give the window the keyboard back as the box
  # closes; here the X focus is handed to it as a click on it would.
  xdotool windowfocus --sync "$(xdotool search --name "Ethernet Firmware Version" | head -n 1)"
  probe wait-active 5000 || fail "$what: the window did not become active again"
}
close_window() {
  xdotool key alt+F4
  finish_close "$1"
}
# A close while a run lasts: the question, answered with Enter (stop and close).
close_window_asked() {
  local box ok text
  xdotool key alt+F4
  box=$(probe box 10000) || { fail "$1: no question on closing"; return; }
  ok=$(sed -n 1p <<< "$box")
  text=$(sed -n '3,$p' <<< "$box")
  [ "$text" = "$close_question" ] || fail "$1: question \"$text\""
  # The keyboard goes where the pointer is.
  # shellcheck disable=SC2086
  xdotool mousemove $ok
  xdotool key Return
  finish_close "$1"
}
finish_close() {
  probe gone 20000 || fail "$1: the window did not close"
  local status=0
  wait "$tool" || status=$?
  tool=
  [ "$status" -eq 0 ] || fail "$1: ethernet-loader.exe exited with $status"
}
settings_address() { sed -n 's/^ipaddress=\(.*\)\r\?$/\1/p' "$1/QT510x_QT520x_Ethernet_Loader.ini" \
  "$1/LRV715_LRV716_Ethernet_Loader.ini" 2>/dev/null | head -n 1 | tr -d '\r'; }

# The client area and the places of a few controls (left, top, width,
# height), scaled from the design's 96 DPI as Windows scales them (MulDiv).
check_places() {
  local dpi=$1 name x y w h want
  scaled() { awk -v d="$dpi" '{ for (i = 1; i <= NF; i++) printf "%s%d", (i > 1 ? " " : ""), int(($i * d + 48) / 96); print "" }' <<< "$*"; }
  expect "client area at $dpi DPI" "$(scaled 711 400)" client
  while read -r name x y w h; do
    want=$(scaled "$x" "$y" "$w" "$h")
    expect "$name at $dpi DPI" "$want" place "$name"
  done <<'PLACES'
MeterGroup 16 112 321 81
AddressField 192 136 121 21
PasswordField 192 160 121 21
UpdateButton 360 120 337 73
ProcessGroup 16 304 681 81
ProgressBar 32 344 649 17
PLACES
}

# --- 1. A whole update: the technician types the address and the password
# and presses the button; the verdict shows on lime; the flash matches. ---
start_meter update --password 1234 --exit-after-reset
start_window "$work/update"
expect "address from a missing settings file" "0.0.0.0" text AddressField
# The design's places, in the window's client area at 96 DPI.
check_places 96
type_into AddressField "$meter_ip"
type_into PasswordField 1234
click UpdateButton
clicked=$(date +%s.%N)
expect "verdict" "Successfully updated." wait-text VerdictLabel "Successfully updated." 120000
expect "action line" "Finished." text ActionLabel
expect "identity" "BOOTLOADER-V1.00" text IdentityLabel
# The verdict's background as the screen shows it: the label's own pixels.
read -r x y w h <<< "$(probe rect VerdictLabel)"
import -window root -crop "${w}x${h}+${x}+${y}" "$work/verdict.png"
lime=$(convert "$work/verdict.png" -format %c histogram:info:- | grep -ci '#00FF00' || true)
[ "$lime" -ge 1 ] || fail "the verdict is not on lime: $(convert "$work/verdict.png" -format %c histogram:info:- | head -3)"
stop_meter
[ "$sim_status" -eq 0 ] || fail "update: meter-sim status $sim_status (the flash differs from the image): $summary"
expect "button after the run" "1" wait-enabled UpdateButton 10000
# The picture of the window the README shows (docs/window-windows.png).
import -window "$(xdotool search --name "Ethernet Firmware Version" | head -n 1)" "$work/window.png"
close_window update
[ "$(settings_address "$work/update")" = "$meter_ip" ] || fail "update: the typed address was not saved"
# The update's pace on the meter's own clock: from the boot-mode request to
# "RESET", against what the protocol prescribes between the two (500 ms for
# the answer, 2000 ms for the bootloader to start, 500 ms before "VER?",
# 500 ms for its answer, 500 ms for the erase, 50 ms per written block).
first=$(sed -n '1s/^{"t":\([0-9.]*\).*"command":"MODBUS".*/\1/p' "$work/update.log")
reset=$(sed -n 's/^{"t":\([0-9.]*\).*"command":"RESET".*/\1/p' "$work/update.log")
writes=$(summary_number writes)
if [ -n "$first" ] && [ -n "$reset" ] && [ -n "$writes" ]; then
  awk -v a="$first" -v b="$reset" -v n="$writes" 'BEGIN {
    p = 4.0 + 0.05 * n
    printf "Wine window update: %d blocks, request to RESET %.3f s, prescribed %.3f s, ratio %.4f\n", n, b - a, p, (b - a) / p }'
else
  fail "update: the meter's log lacks the request or RESET"
fi

# --- 2. Passwords: too short (nothing is sent) and refused by the meter
# (exception 4); both show the password box and leave the button enabled. ---
start_meter password --password other
mkdir -p "$work/password"
printf '[boot]\r\nipaddress=%s\r\n' "$meter_ip" > "$work/password/QT510x_QT520x_Ethernet_Loader.ini"
cp "$work/password/QT510x_QT520x_Ethernet_Loader.ini" "$work/password/LRV715_LRV716_Ethernet_Loader.ini"
start_window "$work/password"
expect "address from the settings file" "$meter_ip" text AddressField
type_into PasswordField 123
click UpdateButton
dismiss_box "password of three characters" "$password_text

The admin password has 4 to 16 characters; the one typed has 3. Nothing was sent to the meter."
expect "focus after the password refusal" "PasswordField" wait-focus PasswordField 5000
[ ! -s "$work/password.log" ] || fail "a three-character password reached the meter: $(cat "$work/password.log")"
type_into PasswordField 1234
click UpdateButton
dismiss_box "password the meter refuses" "$password_text

The meter rejected the password; nothing was changed.

The admin password has 4 to 16 characters."
expect "button after the refusal" "1" wait-enabled UpdateButton 10000
expect "focus after the meter's refusal" "PasswordField" wait-focus PasswordField 5000
close_window password
stop_meter
[ "$(summary_number requests)" = 1 ] || fail "password: the meter took other than one request: $summary"
[ "$(summary_number verQueries)" = 0 ] || fail "password: the update went on after the refusal: $summary"

# --- 3. Closing the window while the flash is being written: the run stops
# without "RESET", the address is saved, the program ends. ---
start_meter close --password 1234
start_window "$work/close"
type_into AddressField "$meter_ip"
type_into PasswordField 1234
click UpdateButton
probe wait-prefix ActionLabel "writing sector" 30000 >/dev/null || fail "close: programming did not start"
close_window_asked close
stop_meter
[ "$(summary_number resets)" = 0 ] || fail "close: the meter was reset after a cancelled run: $summary"
written=$(summary_number writes)
[ -n "$written" ] && [ "$written" -lt "${writes:-0}" ] || fail "close: the run did not stop: $summary"
[ "$(settings_address "$work/close")" = "$meter_ip" ] || fail "close: the address was not saved"

# --- 4. The keyboard and a pasted address: the address with blanks around
# it, Enter in the password field; what is typed during the run changes
# nothing; the meter is updated at the cleaned address. ---
start_meter keyboard --password 1234 --exit-after-reset
start_window "$work/keyboard"
type_into AddressField "  $meter_ip "
type_into PasswordField 1234
xdotool key Return
probe wait-prefix ActionLabel "writing sector" 30000 >/dev/null || fail "keyboard: Enter did not start the update"
expect "cleaned address" "$meter_ip" text AddressField
type_into AddressField "10.9"
expect "address typed during the run" "$meter_ip" text AddressField
expect "keyboard: verdict" "Successfully updated." wait-text VerdictLabel "Successfully updated." 120000
expect "focus after the update" "UpdateButton" wait-focus UpdateButton 5000
stop_meter
[ "$sim_status" -eq 0 ] || fail "keyboard: meter-sim status $sim_status: $summary"
close_window keyboard
[ "$(settings_address "$work/keyboard")" = "$meter_ip" ] || fail "keyboard: the cleaned address was not saved"

# --- 5. A block that never gets an answer, on a meter already in its
# bootloader: the box names the state the meter is left in, the verdict is
# red, the repeat count shows the attempts. ---
start_meter failing --password 1234 --no-modbus --bootloader --fault drop@block=0x08800
start_window "$work/failing"
type_into AddressField "$meter_ip"
type_into PasswordField 1234
click UpdateButton
probe box 60000 > /dev/null || fail "failing: no box"
# The picture of the failure box, for the record.
import -window root "$work/failure-box.png"
dismiss_box "failed block" "Communication error !

Block 0x08800 was not confirmed after 10 attempts; the meter waits in its bootloader for another update.

Check the network connection to the meter, then press FIRMWARE UPDATE again to repeat the update."
expect "failing: verdict" "Not updated. The meter waits in its bootloader." \
  wait-text VerdictLabel "Not updated. The meter waits in its bootloader." 10000
expect "failing: repeat count" "10" text RepeatLabel
read -r x y w h <<< "$(probe rect VerdictLabel)"
import -window root -crop "${w}x${h}+${x}+${y}" "$work/verdict-red.png"
red=$(convert "$work/verdict-red.png" -format %c histogram:info:- | grep -ci '#FF0000' || true)
[ "$red" -ge 1 ] || fail "the failure verdict is not on red"
expect "focus after the failure" "UpdateButton" wait-focus UpdateButton 5000
close_window failing
stop_meter

# --- 6. On a screen of 144 DPI the window scales itself: Wine reads the
# DPI when a program starts. ---
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
start_window "$work/dpi"
check_places 144
close_window dpi
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1

echo "window tests (places, update, passwords, close while writing, keyboard, failed block, 144 DPI):" \
  "$failures failures"
[ "$failures" -eq 0 ]
