#!/usr/bin/env bash
# Smoke test: the program starts under Wine, shows its window with the device
# states filled in, and ends within a few seconds on Esc without Wine errors.
# Usage: test-smoke.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=smoke
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/lib/controls.sh"

build=$(e2e_abspath "${1:?usage: test-smoke.sh <build/windows dir>}")
exe="$build/app/Tonbrik.exe"
tool="$build/tools/window_text/window_text.exe"
[ -f "$exe" ] || e2e_fail "no $exe: build the Windows program first"
[ -f "$tool" ] || e2e_fail "no $tool"
out="$build/e2e/smoke"
rm -rf "$out"
mkdir -p "$out"

e2e_start_display "$out"
e2e_start_pulse "$out"
e2e_use_prefix "$build/e2e/prefix"
e2e_start_recording "$out/output.wav"

# The program looks for its sounds below the folder it starts in.
cd "$out"
e2e_start_program "$out/tonbrik.log" "$exe"

if ! WINEDEBUG=-all wine "$tool" Tonbrik --wait 20000 >"$out/window.txt" 2>"$out/window.err"; then
  cat "$out/tonbrik.log" >&2
  e2e_fail "no window captioned \"Tonbrik\" appeared"
fi
# Let the first timer ticks and the audio start settle before looking.
sleep 1
WINEDEBUG=-all wine "$tool" Tonbrik >"$out/window.txt" 2>>"$out/window.err" ||
  e2e_fail "window went away"
tr -d '\r' <"$out/window.txt" >"$out/window.tsv"
rect=$(sed -n 's/^rect //p' "$out/window.tsv")
e2e_screenshot "$build/e2e/tonbrik-window.png" "$rect" || e2e_fail "screenshot failed"
e2e_log "screenshot: $build/e2e/tonbrik-window.png"
# A window that did not paint is one or two flat colours.
colours=$(convert "$build/e2e/tonbrik-window.png" -format %k info:)
[ "${colours:-0}" -gt 4 ] || e2e_fail "the screenshot shows no painted window ($colours colours)"

text_of() { awk -F'\t' -v id="$1" '$1 == id { print $3; exit }' "$out/window.tsv"; }
failures=0
check() {
  if ! "$@"; then
    e2e_log "check failed: $*"
    failures=$((failures + 1))
  fi
}
is_state() { [ "$(text_of "$1")" = active ] || [ "$(text_of "$1")" = inactive ]; }
is_not() { [ "$(text_of "$1")" != "$2" ]; }
is_text() { [ "$(text_of "$1")" = "$2" ]; }

for id in $IDC_AUDIO_IN_STATE $IDC_AUDIO_OUT_STATE $IDC_MIDI_IN_STATE $IDC_MIDI_OUT_STATE; do check is_state $id; done
for id in $IDC_AUDIO_IN_NAME $IDC_AUDIO_OUT_NAME $IDC_MIDI_IN_NAME $IDC_MIDI_OUT_NAME; do check is_not $id "status message"; done
check is_text $IDC_LABEL0 pitch
check is_text $IDC_LABEL1 "audio in"
check is_text $IDC_LABEL16 -
check is_text $IDC_SAVE Save
check is_text $IDC_LOAD Load
# The synth selector's buddy (the static just before it) shows the selected synth.
buddy_text() {
  awk -F'\t' -v id="$IDC_SYNTH_SELECT" '$1 == id { print prev; exit } { prev = $3 }' "$out/window.tsv"
}
check test "$(buddy_text)" = 0
[ "$failures" -eq 0 ] || { cat "$out/window.tsv" >&2; e2e_fail "$failures window checks failed"; }

WINEDEBUG=-all wine "$tool" Tonbrik --escape || e2e_fail "could not press Esc"
e2e_wait_program 5 || e2e_fail "the program still runs 5 s after Esc"
wait "$E2E_PROGRAM_PID"
status=$?
[ "$status" -eq 0 ] || e2e_fail "the program ended with status $status"

errors=$(e2e_wine_errors "$out/tonbrik.log")
[ -z "$errors" ] || { printf '%s\n' "$errors" >&2; e2e_fail "Wine reported errors"; }
e2e_log "PASS"
