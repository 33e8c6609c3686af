#!/usr/bin/env bash
# The system menu's About entry opens the About box with the program's name and version
# and the ASIO notice; while it is open the window's timer (the MIDI activity mark) and
# the audio keep running; OK closes it and the program goes on.
# Usage: test-about.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=about
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-about.sh <build/windows dir>}" about
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program midi
for ((t = 0; t <= 2500; t += 50)); do echo "$t D0 00"; done >"$SC_OUT/midi_in_events.txt"
export FAKE_WINMM_TRIGGER=go
wav="$SC_OUT/output.wav"
e2e_start_recording "$wav"
sc_start
sc_check "audio active before" sc_shows $IDC_AUDIO_OUT_STATE active

sc_probe about >/dev/null
about=$(sc_probe --timeout 5000 dialog)
printf '%s\n' "$about" >"$SC_OUT/about.txt"
sc_check "About box captioned \"About Tonbrik\"" grep -q '^dialog title="About Tonbrik"' <<<"$about"
sc_check "About box shows \"Tonbrik  Version 1.0\"" grep -q 'text="Tonbrik  Version 1.0"' <<<"$about"
sc_check "About box shows the ASIO notice" \
  grep -q 'text="ASIO Technology by Steinberg Media Technologies GmbH"' <<<"$about"
sc_check "About box has an OK button" grep -q '^id=1 class=Button .*text="OK"' <<<"$about"
sc_screenshot about --dialog
sc_check "the main window is disabled while the About box is up" \
  grep -q ' enabled=0$' <<<"$(sc_probe wait-window)"

open_from=$(sc_wav_now "$wav")
touch "$SC_OUT/go"
e2e_wait_for 5 grep -q "D0 00" "$SC_OUT/midi_in.log" || e2e_log "MIDI input did not begin"
sc_check "timer runs behind the About box: activity mark \"*\"" sc_shows $IDC_MIDI_ACTIVITY "*" 2000
e2e_wait_for 10 grep -q " done" "$SC_OUT/midi_in.log" || e2e_log "MIDI input did not end"
sc_check "timer runs behind the About box: mark cleared" sc_shows $IDC_MIDI_ACTIVITY "" 2000
open_to=$(sc_wav_now "$wav")

closed=$(sc_probe --timeout 5000 --press 1 dialog | tail -n1)
sc_check "OK closes the About box" test "$closed" = closed
sleep 1.5
after=$(sc_wav_now "$wav")
e2e_stop_recording

for ch in 0 1; do
  sc_check "ch $ch: start-up tone sounds while the About box is open" \
    sc_has_tone "$wav" "$open_from" "$open_to" $ch 1114.08 2 0.04 0.06
done
sc_check "the tone goes on after OK" \
  sc_has_tone "$wav" "$(sc_add "$after" -1.2)" "$(sc_add "$after" -0.2)" 0 1114.08 2 0.04 0.06
sc_check "the window still answers" sc_shows $IDC_AUDIO_OUT_STATE active
sc_check "the main window is enabled again" grep -q ' enabled=1$' <<<"$(sc_probe wait-window)"

sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
sc_finish
