#!/usr/bin/env bash
# The sliders reach the sound: slider 0 ("pitch") at the top moves the start-up tone an
# octave up (1114 Hz to 2228 Hz); slider 1 ("audio in") at the top passes the captured
# input (a 660 Hz sine at half scale from the sound device) through to both channels.
# Usage: test-pitch-input.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=pitch-input
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-pitch-input.sh <build/windows dir>}" pitch-input
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
# What the program captures: a steady 660 Hz sine at amplitude 0.5, played into a second
# null sink whose monitor is the default source. (Wine's capture stalls on PulseAudio's
# sine source after its first burst; a sink monitor streams steadily.)
pactl load-module module-null-sink sink_name=vin format=s16le rate=48000 channels=2 >/dev/null &&
  pactl load-module module-sine sink=vin frequency=660 >/dev/null ||
  e2e_fail "no sine input"
pactl set-default-source vin.monitor || e2e_fail "cannot select the sine input"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program
wav="$SC_OUT/output.wav"
e2e_start_recording "$wav"
sc_start
sc_check "audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
sc_check "audio in active" sc_shows $IDC_AUDIO_IN_STATE active
# Which source the program's capture stream is connected to, as the server sees it.
{
  pactl info | grep '^Default Source'
  pactl list short sources
  pactl list source-outputs
  pactl list sinks | grep -E '^Sink|Name:|State:|Latency:'
} >"$SC_OUT/pulse-streams.txt" 2>&1

sleep 2
mark=$(sc_wav_now "$wav")
sc_probe slider $IDC_SLIDER0 0 | grep -q " pos=0 " || sc_check "slider 0 moved to the top" false
sleep 2
top=$(sc_wav_now "$wav")
sc_probe slider $((IDC_SLIDER0 + 1)) 0 | grep -q " pos=0 " || sc_check "slider 1 moved to the top" false
sleep 2
passed=$(sc_wav_now "$wav")
sc_screenshot window
e2e_stop_recording

sc_check "before: start-up tone at 1114 Hz" \
  sc_has_tone "$wav" "$(sc_add "$mark" -1.2)" "$(sc_add "$mark" -0.2)" 0 1114.08 2 0.04 0.06
sc_check "before: no input passed through" \
  sc_quiet_at "$wav" "$(sc_add "$mark" -1.2)" "$(sc_add "$mark" -0.2)" 0 660 0.002
for ch in 0 1; do
  sc_check "pitch at the top: ch $ch an octave up at 2228 Hz" \
    sc_has_tone "$wav" "$(sc_add "$top" -1.2)" "$(sc_add "$top" -0.2)" $ch 2228.17 2 0.04 0.06
done
sc_check "pitch at the top: 1114 Hz gone" \
  sc_quiet_at "$wav" "$(sc_add "$top" -1.2)" "$(sc_add "$top" -0.2)" 0 1114.08 0.002
for ch in 0 1; do
  sc_check "audio in at the top: ch $ch carries the 660 Hz input" \
    sc_has_tone "$wav" "$(sc_add "$passed" -1.2)" "$(sc_add "$passed" -0.2)" $ch 660 2 0.4 0.6
done

# How the capture flowed, from the worker's trace: when its read position first moved and
# the input first held sound, and its longest stand-still (Wine's capture hands nothing
# over for a second or more after it starts).
e2e_log "capture: $(awk '/ in=/ { split($NF, a, /[=:]/)
    if (a[3] != "-" && a[3] > 0 && sound == "") sound = $1
    if (a[2] != last && last != "" && moved == "") moved = $1
    if (a[2] == last) { if (still == "") still = $1 } else { if (still != "" && $1 - still > longest) longest = $1 - still; still = "" }
    last = a[2] }
  END { printf "read position first moved at %s ms, input first above 0 at %s ms, longest stand-still %.0f ms", moved, sound, longest }' "$SC_TRACE")"
e2e_log "capture stream on source $(awk '/^Source Output/ { src = "" } /Source: / { src = $2 } /application.name = "Tonbrik"/ { print src }' "$SC_OUT/pulse-streams.txt") ($(pactl list short sources | awk -v ORS=' ' '{ print $1 "=" $2 }'))"
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
sc_finish
