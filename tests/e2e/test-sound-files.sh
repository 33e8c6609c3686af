#!/usr/bin/env bash
# Sound files through the real file dialogs: Save with slider 0 at position 37 writes
# 1024 bytes whose first float is 0.63f (a name typed without extension gets ".tbk", and
# saving over it asks nothing); Load of a file with parameter 0 = 1.0 moves slider 0 to
# the top; a 1000-byte file shows "File mismatch." and changes nothing; a missing name
# shows "File not found.". Names outside the ANSI code page ("tōn.tbk" beside "ton.tbk",
# a folder named in CJK characters) reach their own files. A name that makes a full path of
# 259 characters saves; a longer one (260, and 300 characters in either dialog) gets the
# save's or the load's message and leaves the program running.
# Usage: test-sound-files.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=sound-files
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-sound-files.sh <build/windows dir>}" sound-files
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program
sounds="$SC_OUT/Sounds"
mkdir -p "$sounds"
winsounds=$(WINEDEBUG=-all winepath -w "$sounds" 2>/dev/null)
[ -n "$winsounds" ] || e2e_fail "winepath cannot name $sounds"
sc_start

# save NAME / load NAME: click the button and answer its file dialog with NAME.
save() { sc_probe click $IDC_SAVE >/dev/null && sc_probe --timeout 10000 file-dialog "$1" >/dev/null; }
load() { sc_probe click $IDC_LOAD >/dev/null && sc_probe --timeout 10000 file-dialog "$1" >/dev/null; }
first_bytes() { od -A n -t x1 -N 4 "$1" | tr -s ' ' | sed 's/^ //; s/ $//'; }
starts_with() { [ "$(first_bytes "$1")" = "$2" ]; }
slider_pos() { sc_field "$(sc_probe get "$1")" pos; }
slider_at() { [ "$(slider_pos "$1")" = "$2" ]; }
no_dialog() { ! sc_probe --timeout 1500 dialog >/dev/null; }

sc_probe slider $IDC_SLIDER0 37 >/dev/null
sc_check "slider 0 at position 37" sc_control_has $IDC_SLIDER0 pos 37
sc_check "Save dialog answered" save "$winsounds\\s37"
sc_check "saved file gets the .tbk extension" e2e_wait_for 5 test -f "$sounds/s37.tbk"
sc_check "saved file has 1024 bytes" test "$(stat -c %s "$sounds/s37.tbk" 2>/dev/null)" = 1024
sc_check "parameter 0 saved as 0.63f" starts_with "$sounds/s37.tbk" "ae 47 21 3f"
sc_check "no message after saving" no_dialog

sc_probe slider $IDC_SLIDER0 50 >/dev/null
sc_check "saving over a file asks nothing" save "$winsounds\\s37.tbk"
sc_check "no question before replacing" no_dialog
sc_check "replaced file holds 0.5f" e2e_wait_for 5 starts_with "$sounds/s37.tbk" "00 00 00 3f"

{ printf '\x00\x00\x80\x3f'; head -c 1020 /dev/zero; } >"$sounds/top.tbk"
sc_check "Load dialog answered" load "$winsounds\\top.tbk"
sc_check "parameter 0 = 1.0 puts slider 0 at the top" e2e_wait_for 5 slider_at $IDC_SLIDER0 0
sc_check "parameter 1 = 0.0 puts slider 1 at the bottom" slider_at $((IDC_SLIDER0 + 1)) 100

head -c 1000 /dev/zero >"$sounds/short.tbk"
sc_probe slider $((IDC_SLIDER0 + 1)) 60 >/dev/null
load "$winsounds\\short.tbk"
box=$(sc_probe --timeout 5000 msgbox | head -n1)
sc_check "1000-byte file: \"File mismatch.\" ($box)" grep -q 'text="File mismatch."' <<<"$box"
sc_check "1000-byte file: slider 0 unchanged" slider_at $IDC_SLIDER0 0
sc_check "1000-byte file: slider 1 unchanged" slider_at $((IDC_SLIDER0 + 1)) 60

load "$winsounds\\missing"
box=$(sc_probe --timeout 5000 msgbox | head -n1)
sc_check "missing file: \"File not found.\" ($box)" grep -q 'text="File not found."' <<<"$box"
sc_check "message box captioned with the program's name" grep -q 'title="Tonbrik"' <<<"$box"

# Names that the ANSI code page would map onto another file's name.
cjk="$sounds/音色"
mkdir -p "$cjk"
wincjk="$winsounds\\音色"
{ printf '\x00\x00\x80\x3e'; head -c 1020 /dev/zero; } >"$cjk/ton.tbk"
sc_probe slider $IDC_SLIDER0 37 >/dev/null
cp "$cjk/ton.tbk" "$sounds/ton.tbk"
sc_check "Save dialog answered with tōn.tbk" save "$winsounds\\tōn.tbk"
sc_check "tōn.tbk saved beside ton.tbk" e2e_wait_for 5 starts_with "$sounds/tōn.tbk" "ae 47 21 3f"
sc_check "ton.tbk not overwritten" starts_with "$sounds/ton.tbk" "00 00 80 3e"
sc_check "Save dialog answered with tōn.tbk in a CJK folder" save "$wincjk\\tōn.tbk"
sc_check "no message saving into a CJK folder" no_dialog
sc_check "tōn.tbk written with its own name" e2e_wait_for 5 starts_with "$cjk/tōn.tbk" "ae 47 21 3f"
sc_check "ton.tbk beside it kept its bytes" starts_with "$cjk/ton.tbk" "00 00 80 3e"
sc_check "Load dialog answered with ton.tbk" load "$wincjk\\ton.tbk"
sc_check "ton.tbk loads its own 0.25" e2e_wait_for 5 slider_at $IDC_SLIDER0 75
sc_check "Load dialog answered with tōn.tbk" load "$wincjk\\tōn.tbk"
sc_check "tōn.tbk loads its own 0.63" e2e_wait_for 5 slider_at $IDC_SLIDER0 37
sc_check "no message loading from a CJK folder" no_dialog

# The longest name the dialog takes, typed bare in its starting folder (Sounds): with
# ".tbk" the full path is 259 characters, and it saves; one more gets the message.
edge=$(printf 'y%.0s' $(seq $((259 - ${#winsounds} - 1 - 4))))
sc_check "259-character path: Save dialog answered" save "$edge"
sc_check "259-character path: saved" e2e_wait_for 5 test -s "$sounds/$edge.tbk"
sc_check "259-character path: no message" no_dialog
sc_probe click $IDC_SAVE >/dev/null
sc_probe --timeout 3000 file-dialog "${edge}y" >/dev/null
box=$(sc_probe --timeout 5000 msgbox | head -n1)
sc_check "260-character path: \"File not created.\" ($box)" grep -qF 'text="File not created."' <<<"$box"
sc_check "260-character path: the dialog can be cancelled" sc_probe --timeout 5000 dialog --press 2

# A name no path can hold: the dialog must not take the program down with it.
long=$(printf 'x%.0s' $(seq 300))
for case in "IDC_SAVE File not created." "IDC_LOAD File not found."; do
  button=${case%% *}
  message=${case#* }
  sc_probe click "${!button}" >/dev/null
  sc_probe --timeout 3000 file-dialog "$long" >/dev/null
  box=$(sc_probe --timeout 5000 msgbox | head -n1)
  sc_check "300-character name ($button): \"$message\" ($box)" grep -qF "text=\"$message\"" <<<"$box"
  sc_check "300-character name ($button): the dialog can be cancelled" \
    sc_probe --timeout 5000 dialog --press 2
  sc_check "300-character name ($button): the program runs on" sc_probe wait-window
  sc_check "300-character name ($button): slider 0 unchanged" slider_at $IDC_SLIDER0 37
done
sc_check "too long names: no file written" test -z "$(find "$sounds" -name 'xxxx*' -o -name "${edge}y*")"

sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
sc_finish
