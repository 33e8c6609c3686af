#!/usr/bin/env bash
# The WASAPI route under Wine, outside the window: the check tool (tools/wasapi_check)
# plays a 440 Hz tone from a rack for 5 s in shared mode on the null sink, and the
# sink's recording holds it on both channels without a break. Then it asks for
# exclusive mode and logs what Wine answers; the route must play either way (exclusive,
# or shared after the refusal). Wine 8 over PulseAudio answers every exclusive format
# with AUDCLNT_E_UNSUPPORTED_FORMAT, gives no smaller shared period than its default
# (10 ms, 480 frames, a buffer of 1440), and the tone records unbroken at 0.0999.
# Then the window on that route, chosen in the registry before it starts
# (SystemAudio): with WasapiShared the name line says so, thirty seconds of the start-up
# tone after the wineserver's registry save (see sc_wait_registry_saved) hold on both
# channels with no break or gap, and slider 1 at the top passes the captured input (a
# 660 Hz sine) through; with WasapiExclusive the route falls back to shared, plays, and
# its name line says that exclusive was refused.
# Usage: test-wasapi.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=wasapi
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

build=$(e2e_abspath "${1:?usage: test-wasapi.sh <build/windows dir>}")
sc_setup "$build" wasapi
tool="$build/tools/wasapi_check.exe"
[ -f "$tool" ] || e2e_fail "no $tool"
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
# What the window's route captures: a steady 660 Hz sine at amplitude 0.5 on a second
# null sink whose monitor is the default source, as test-pitch-input.sh has it.
pactl load-module module-null-sink sink_name=vin format=s16le rate=48000 channels=2 >/dev/null &&
  pactl load-module module-sine sink=vin frequency=660 >/dev/null ||
  e2e_fail "no sine input"
pactl set-default-source vin.monitor || e2e_fail "cannot select the sine input"
e2e_use_prefix "$build/e2e/prefix"
cp "$tool" "$SC_OUT/"
cd "$SC_OUT" || exit 1

# run MODE SECONDS: the tool's output in MODE.log, its worker's trace in MODE-trace.txt;
# true when it ended with OK.
run() {
  local trace="$SC_OUT/$1-trace.txt"
  TONBRIK_DSOUND_TRACE="Z:${trace//\//\\}" WINEDEBUG=-all timeout 60 wine "$SC_OUT/wasapi_check.exe" "$1" "$2" 2>&1 | tr -d '\r' >"$SC_OUT/$1.log"
  while IFS= read -r line; do e2e_log "  $1: $line"; done <"$SC_OUT/$1.log"
  grep -qx OK "$SC_OUT/$1.log"
}

wav="$SC_OUT/shared.wav"
e2e_start_recording "$wav"
sc_check "shared: the route opens, plays 5 s and is not lost" run shared 5
sc_check "shared: no dropouts" grep -q '^dropouts 0,' "$SC_OUT/shared.log"
e2e_stop_recording
onset=$(sc_onset "$wav" 440 0.02)
if [ -z "$onset" ]; then
  sc_check "shared: the tone is recorded" false
else
  e2e_log "tone from $onset s"
  from=$(sc_add "$onset" 0.5)
  to=$(sc_add "$onset" 4.3)
  for ch in 0 1; do
    sc_check "shared, channel $ch: 440 Hz unbroken" sc_has_tone "$wav" "$from" "$to" $ch 440 2 0.09 0.11
  done
fi

sc_check "exclusive asked: the route plays (exclusive or shared)" run exclusive 2

settings_key='HKCU\Software\Tonbrik\Settings'
e2e_on_exit "WINEDEBUG=-all wine reg delete '$settings_key' /v SystemAudio /f >/dev/null 2>&1"
choose() {
  WINEDEBUG=-all wine reg add "$settings_key" /v SystemAudio /t REG_SZ /d "$1" /f >/dev/null 2>&1 ||
    e2e_fail "cannot choose $1"
}
out_line_has() { sc_text $IDC_AUDIO_OUT_NAME | grep -qF "$1"; }

choose WasapiShared
sc_stage_program
wav="$SC_OUT/window-shared.wav"
e2e_start_recording "$wav"
sc_start
sc_check "window, shared: audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
sc_check "window, shared: audio in active" sc_shows $IDC_AUDIO_IN_STATE active
sc_check "window, shared: the out line names the mode" out_line_has "(WASAPI shared)"
e2e_log "window, shared: in \"$(sc_text $IDC_AUDIO_IN_NAME)\", out \"$(sc_text $IDC_AUDIO_OUT_NAME)\""
sc_screenshot window-shared
sc_wait_registry_saved
measured=$(sc_wav_now "$wav")
sleep 31
steady=$(sc_wav_now "$wav")
sc_probe slider $((IDC_SLIDER0 + 1)) 0 | grep -q " pos=0 " || sc_check "slider 1 moved to the top" false
sleep 2
passed=$(sc_wav_now "$wav")
e2e_log "health: $(sc_text $IDC_HEALTH)"
e2e_stop_recording
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 10 || e2e_log "the program did not end"
from=$(sc_add "$measured" 0.2)
for ch in 0 1; do
  sc_check "window, shared, channel $ch: 1114 Hz at about 0.05 from $from s to $steady s, no break or gap" \
    sc_has_tone "$wav" "$from" "$steady" $ch 1114.08 2 0.04 0.06
  sc_check "window, shared, audio in at the top: ch $ch carries the 660 Hz input" \
    sc_has_tone "$wav" "$(sc_add "$passed" -1.2)" "$(sc_add "$passed" -0.2)" $ch 660 2 0.4 0.6
done

choose WasapiExclusive
wav="$SC_OUT/window-exclusive.wav"
e2e_start_recording "$wav"
sc_start
sc_check "window, exclusive: audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
# Wine 8 refuses every exclusive format; a system that grants it names the mode alone.
sc_check "window, exclusive: the out line tells the mode it plays in" \
  eval 'out_line_has "(WASAPI, exclusive refused)" || out_line_has "(WASAPI exclusive)"'
e2e_log "window, exclusive: in \"$(sc_text $IDC_AUDIO_IN_NAME)\", out \"$(sc_text $IDC_AUDIO_OUT_NAME)\""
sc_screenshot window-exclusive
sleep 3
played=$(sc_wav_now "$wav")
e2e_stop_recording
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 10 || e2e_log "the program did not end"
sc_check "window, exclusive asked: 1114 Hz plays" \
  sc_has_tone "$wav" "$(sc_add "$played" -2.2)" "$(sc_add "$played" -0.2)" 0 1114.08 2 0.04 0.06
sc_finish
