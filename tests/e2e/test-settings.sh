#!/usr/bin/env bash
# The Audio and MIDI Settings box and the health line. With two virtual MIDI inputs and
# the virtual ASIO driver registered under two names: the health line shows a load, the
# dropout count and the start-up tone's level; the box lists the devices under
# "(first available)"; choosing the second input reopens MIDI on it at once and a note
# sent through it sounds at 440 Hz; Cancel changes nothing; the chosen driver opens on
# the ASIO route, at once when that route runs; Steady MIDI timing, chosen with it, is
# stored by name. After a restart the choices are still
# there; the endpoint lists are greyed while DirectSound is the route without ASIO;
# Cancel keeps that route, and "WASAPI (shared)" chosen with OK is stored and played at
# once, the name lines saying so and the start-up tone going on; the ASIO route shows no dropouts; with the chosen input gone the program falls back to the first one and
# says so, also for a name outside the ANSI code page, and a value of a foreign type is
# ignored.
# Usage: test-settings.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=settings
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-settings.sh <build/windows dir>}" settings
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"

settings_key='HKCU\Software\Tonbrik\Settings'
second_id='{6B1E4C2A-93D5-4F7E-A0B8-5C3D2E1F9A75}'
first_driver="Tonbrik Virtual ASIO"
second_driver="Tonbrik Virtual ASIO 2"
winreg() { WINEDEBUG=-all wine reg "$@" >/dev/null 2>&1; }

# The prefix is shared by the other tests, which expect no driver and no choices.
winreg delete "$settings_key" /f
sc_install_virtual_asio
cat >"$SC_OUT/second_driver.reg" <<REG
REGEDIT4

[HKEY_CLASSES_ROOT\\CLSID\\$second_id\\InprocServer32]
@="C:\\\\vasio\\\\tonbrik_vasio.dll"
"ThreadingModel"="Apartment"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\$second_driver]
"CLSID"="$second_id"
"Description"="$second_driver"
REG
cat >"$SC_OUT/second_driver_gone.reg" <<REG
REGEDIT4

[-HKEY_CLASSES_ROOT\\CLSID\\$second_id]
[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\$second_driver]
REG
WINEDEBUG=-all wine regedit /S "$(WINEDEBUG=-all winepath -w "$SC_OUT/second_driver.reg")" ||
  e2e_fail "cannot register the second driver"
e2e_on_exit "WINEDEBUG=-all wine reg delete '$settings_key' /f >/dev/null 2>&1"
e2e_on_exit "WINEDEBUG=-all wine regedit /S '$(WINEDEBUG=-all winepath -w "$SC_OUT/second_driver_gone.reg")'"

log="$SC_OUT/vasio.log"
export TONBRIK_VASIO_LOG=$(sc_winpath "$log")

sc_stage_program midi
# Input 1 holds note 72 (523.25 Hz) down, input 2 plays note 69 (440 Hz): the pitch
# tells which input the program listens to, and a note held on the input left behind
# must not hang.
printf '0 90 48 64\n60000 80 48 00\n' >"$SC_OUT/midi_in_events.txt"
printf '0 90 45 64\n1500 80 45 00\n' >"$SC_OUT/midi_in2_events.txt"
export FAKE_WINMM_INPUTS=2 FAKE_WINMM_TRIGGER=go

# health_fields: "load peak dropouts level" from the health line, or nothing.
health_fields() {
  sc_text $IDC_HEALTH | sed -n 's/^Load \([0-9.]*\) % (peak \([0-9.]*\) %)   Dropouts \([0-9]*\)   Level \(-[0-9]*\) dB$/\1 \2 \3 \4/p'
}
# health_shows WHAT MAX_DROPOUTS: load above 0 and a level of -26 +- 1 dB (the start-up
# tone at 0.05), with at most MAX_DROPOUTS; retried over two seconds of timer ticks.
health_shows() {
  local fields i
  for ((i = 0; i < 20; i++)); do
    fields=$(health_fields)
    if [ -n "$fields" ] && awk -v f="$fields" -v max="$2" 'BEGIN {
         split(f, v, " "); exit !(v[1] > 0 && v[3] <= max && v[4] >= -27 && v[4] <= -25) }'; then
      e2e_log "  $1: $(sc_text $IDC_HEALTH)"
      return 0
    fi
    sleep 0.1
  done
  e2e_log "  $1: $(sc_text $IDC_HEALTH)"
  return 1
}
open_settings() {
  sc_probe syscommand 32 >/dev/null
  sc_probe --timeout 5000 dialog >"$SC_OUT/settings_$1.txt"
}
combo_has() { grep -q "^id=$2 class=ComboBox .* selected=$3 items=\"$4\"" "$SC_OUT/settings_$1.txt"; }

e2e_log "--- first run: nothing chosen"
wav="$SC_OUT/output.wav"
e2e_start_recording "$wav"
sc_start
sc_check "MIDI in: the first input" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In"
# The count is not judged here: Wine's mixer starts irregularly, and the worker may lose
# a ring in its first wake-ups, before the tone is measured. The sound itself is judged
# from recordings, and lost rings from the worker's trace (test-steady-tone.sh).
sc_check "health line on the full-duplex route: load, level -26 dB" health_shows duplex 1000000
sc_screenshot window
touch "$SC_OUT/go"
e2e_wait_for 5 grep -q "data 90 48 64" "$SC_OUT/midi_in.log" || e2e_log "input 1 did not play"
sleep 1

open_settings first
sc_check "Settings box captioned \"Audio and MIDI Settings\"" \
  grep -q '^dialog title="Audio and MIDI Settings"' "$SC_OUT/settings_first.txt"
sc_check "ASIO drivers listed, first available chosen" \
  combo_has first $IDC_SETTINGS_ASIO 0 "(first available)|$first_driver|$second_driver"
sc_check "MIDI inputs listed, first available chosen" \
  combo_has first $IDC_SETTINGS_MIDI_IN 0 "(first available)|Virtual MIDI In|Virtual MIDI In 2"
sc_check "MIDI outputs listed, first available chosen" \
  combo_has first $IDC_SETTINGS_MIDI_OUT 0 "(first available)|Virtual Synth Out|Virtual MIDI Out"
sc_check "choose the second MIDI input" sc_probe select $IDC_SETTINGS_MIDI_IN "Virtual MIDI In 2"
sc_screenshot settings --dialog
sc_check "OK closes the box" test "$(sc_probe --timeout 5000 --press 1 dialog | tail -n1)" = closed
sc_check "MIDI in: the second input at once" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In 2"
sc_check "MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
sc_check "MIDI out still active" sc_shows $IDC_MIDI_OUT_STATE active
sc_check "the first input was closed" e2e_wait_for 3 grep -q " close$" "$SC_OUT/midi_in.log"

e2e_wait_for 8 grep -q "data 80 45 00" "$SC_OUT/midi_in2.log" || e2e_log "input 2 did not play"
sleep 1
t72=$(sc_onset "$wav" 523.25 0.05)
t0=$(sc_onset "$wav" 439.96 0.05)
if [ -z "$t72" ] || [ -z "$t0" ]; then
  sc_check "notes from both inputs sound (523 Hz at ${t72:-never}, 440 Hz at ${t0:-never})" false
else
  sc_check "note 72 from the first input before the change" \
    sc_has_tone "$wav" "$(sc_add "$t72" 0.2)" "$(sc_add "$t72" 0.7)" 0 523.25 2 0.08 0.12
  sc_check "note 69 from the second input at 440 Hz" \
    sc_has_tone "$wav" "$(sc_add "$t0" 0.3)" "$(sc_add "$t0" 1.3)" 0 439.96 2 0.08 0.12
  sc_check "the note held on the first input ended with the change" \
    sc_quiet_at "$wav" "$(sc_add "$t0" 0.3)" "$(sc_add "$t0" 1.3)" 0 523.25 0.005
fi

open_settings cancel
sc_check "the box shows the chosen input" \
  combo_has cancel $IDC_SETTINGS_MIDI_IN 2 "(first available)|Virtual MIDI In|Virtual MIDI In 2"
sc_probe select $IDC_SETTINGS_MIDI_IN "(first available)" >/dev/null
sc_check "Cancel closes the box" test "$(sc_probe --timeout 5000 --press 2 dialog | tail -n1)" = closed
sleep 0.5
sc_check "Cancel changed nothing" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In 2"

open_settings asio
sc_check "MIDI timing listed, Immediate chosen" \
  combo_has asio $IDC_SETTINGS_MIDI_TIMING 0 "Immediate|Steady"
sc_check "choose the second ASIO driver" sc_probe select $IDC_SETTINGS_ASIO "$second_driver"
sc_check "choose Steady MIDI timing" sc_probe select $IDC_SETTINGS_MIDI_TIMING Steady
sc_check "OK closes the box" test "$(sc_probe --timeout 5000 --press 1 dialog | tail -n1)" = closed
sc_control_has $IDC_ASIO enabled 1 || e2e_log "the ASIO check box is disabled"
sc_probe click $IDC_ASIO >/dev/null
sc_check "ASIO route on the chosen driver" sc_shows $IDC_AUDIO_IN_NAME "$second_driver" 5000
sc_check "ASIO route active" sc_shows $IDC_AUDIO_OUT_STATE active
sc_check "the driver's log names the chosen driver" \
  e2e_wait_for 3 grep -q "^init: .*, $second_driver" "$log"

exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
sc_check "Esc ends the program ($exit_line)" test -n "$exit_line"
e2e_wait_program 5 || e2e_log "the wine process still runs"
e2e_stop_recording
WINEDEBUG=-all wine reg query "$settings_key" 2>/dev/null | tr -d '\r' >"$SC_OUT/settings_reg.txt"
sc_check "choices stored by name" grep -q 'MidiInput *REG_SZ *Virtual MIDI In 2$' "$SC_OUT/settings_reg.txt"
sc_check "driver stored by name" grep -q "AsioDriver *REG_SZ *$second_driver\$" "$SC_OUT/settings_reg.txt"
sc_check "MIDI timing stored by name" grep -q 'MidiTiming *REG_SZ *Steady$' "$SC_OUT/settings_reg.txt"

e2e_log "--- second run: the choices are remembered"
rm -f "$SC_OUT"/midi_*.log "$SC_OUT/go"
wav="$SC_OUT/output_restart.wav"
e2e_start_recording "$wav"
sc_start
sc_check "restart: MIDI in on the second input" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In 2"
open_settings restart
sc_check "restart: the box shows both choices" \
  combo_has restart $IDC_SETTINGS_MIDI_IN 2 "(first available)|Virtual MIDI In|Virtual MIDI In 2"
sc_check "restart: the driver choice" \
  combo_has restart $IDC_SETTINGS_ASIO 2 "(first available)|$first_driver|$second_driver"
sc_check "restart: Steady MIDI timing" combo_has restart $IDC_SETTINGS_MIDI_TIMING 1 "Immediate|Steady"
sc_check "restart: DirectSound without ASIO" \
  combo_has restart $IDC_SETTINGS_SYSTEM_AUDIO 0 "DirectSound|WASAPI (shared)|WASAPI (exclusive)"
while read -r line; do e2e_log "  $line"; done < <(grep "^id=\($IDC_SETTINGS_RENDER\|$IDC_SETTINGS_CAPTURE\) " "$SC_OUT/settings_restart.txt")
sc_check "restart: the endpoint lists greyed under the default device" test "$(grep -c \
  "^id=\($IDC_SETTINGS_RENDER\|$IDC_SETTINGS_CAPTURE\) class=ComboBox enabled=0 .* selected=0 items=\"(default device)" \
  "$SC_OUT/settings_restart.txt")" = 2
sc_probe select $IDC_SETTINGS_SYSTEM_AUDIO "WASAPI (shared)" >/dev/null
sc_probe --timeout 5000 dialog >"$SC_OUT/settings_restart_wasapi.txt"
sc_check "WASAPI chosen: the endpoint lists can be used" test "$(grep -c \
  "^id=\($IDC_SETTINGS_RENDER\|$IDC_SETTINGS_CAPTURE\) class=ComboBox enabled=1 " \
  "$SC_OUT/settings_restart_wasapi.txt")" = 2
in_name=$(sc_text $IDC_AUDIO_IN_NAME) out_name=$(sc_text $IDC_AUDIO_OUT_NAME)
sc_probe --timeout 5000 --press 2 dialog >/dev/null
system_audio() {
  WINEDEBUG=-all wine reg query "$settings_key" /v SystemAudio 2>/dev/null | tr -d '\r' |
    grep -q "SystemAudio *REG_SZ *$1\$"
}
sc_check "Cancel leaves the route without ASIO as it was" system_audio DirectSound
sc_check "Cancel leaves the name lines" test "$(sc_text $IDC_AUDIO_IN_NAME)|$(sc_text $IDC_AUDIO_OUT_NAME)" = "$in_name|$out_name"
open_settings wasapi
sc_probe select $IDC_SETTINGS_SYSTEM_AUDIO "WASAPI (shared)" >/dev/null
sc_screenshot settings_wasapi --dialog
sc_probe --timeout 5000 --press 1 dialog >/dev/null
sc_check "WASAPI (shared) stored" e2e_wait_for 5 system_audio WasapiShared
sc_check "the route without ASIO active again" sc_shows $IDC_AUDIO_OUT_STATE active
names_on_wasapi() {
  [[ $(sc_text $IDC_AUDIO_OUT_NAME) == *"(WASAPI shared"* && $(sc_text $IDC_AUDIO_IN_NAME) != "$in_name" ]]
}
sc_check "the name lines change to the WASAPI route" e2e_wait_for 5 names_on_wasapi
e2e_log "  was: $in_name | $out_name; now: $(sc_text $IDC_AUDIO_IN_NAME) | $(sc_text $IDC_AUDIO_OUT_NAME)"
sleep 2.5
switched=$(sc_wav_now "$wav")
sc_probe click $IDC_ASIO >/dev/null
sc_check "restart: ASIO opens the chosen driver" sc_shows $IDC_AUDIO_IN_NAME "$second_driver" 5000
sleep 1
# No note has played in this run, so the start-up tone still sounds.
sc_check "health line on the ASIO route: load, Dropouts 0, level -26 dB" health_shows asio 0
sc_screenshot window_asio
open_settings switch
sc_probe select $IDC_SETTINGS_ASIO "$first_driver" >/dev/null
sc_probe --timeout 5000 --press 1 dialog >/dev/null
sc_check "a driver chosen while the ASIO route runs opens at once" \
  sc_shows $IDC_AUDIO_IN_NAME "$first_driver" 5000
sc_check "ASIO route active on it" sc_shows $IDC_AUDIO_OUT_STATE active
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 5 || e2e_log "the wine process still runs"
e2e_stop_recording
# No note has played in this run: the start-up tone goes on after the switch.
for ch in 0 1; do
  sc_check "after the switch without ASIO, channel $ch: the start-up tone" sc_has_tone "$wav" \
    "$(sc_add "$switched" -1.6)" "$(sc_add "$switched" -0.1)" $ch 1114.08 2 0.04 0.06
done

e2e_log "--- third run: the chosen input is gone"
rm -f "$SC_OUT"/midi_*.log
export FAKE_WINMM_INPUTS=1
sc_start
sc_check "gone: falls back to the first input and says so" \
  sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In (Virtual MIDI In 2 not found)"
sc_check "gone: MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
open_settings gone
sc_check "gone: the box keeps the absent choice" \
  combo_has gone $IDC_SETTINGS_MIDI_IN 2 "(first available)|Virtual MIDI In|Virtual MIDI In 2 (not present)"
sc_probe --timeout 5000 --press 2 dialog >/dev/null
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 5 || e2e_log "the wine process still runs"

e2e_log "--- fourth run: a name outside the code page, a value of a foreign type"
# A Unicode .reg file, so the name reaches the registry whatever the locale.
keyboard="Tastatur Ü 2 键盘"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tonbrik\\Settings]\r\n"MidiInput"="%s"\r\n"MidiOutput"=dword:00000007\r\n' \
  "$keyboard" | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$SC_OUT/unicode.reg"
WINEDEBUG=-all wine regedit /S "$(sc_winpath "$SC_OUT/unicode.reg")" || e2e_log "regedit failed"
rm -f "$SC_OUT"/midi_*.log
sc_start
sc_check "unicode: falls back and names the missing input" \
  test "$(sc_text $IDC_MIDI_IN_NAME)" = "Virtual MIDI In ($keyboard not found)"
sc_check "unicode: the foreign output value is ignored" sc_shows $IDC_MIDI_OUT_NAME "Virtual MIDI Out"
open_settings unicode
sc_check "unicode: the box keeps the name whole" \
  combo_has unicode $IDC_SETTINGS_MIDI_IN 2 "(first available)|Virtual MIDI In|$keyboard (not present)"
sc_check "unicode: output on the first available" \
  combo_has unicode $IDC_SETTINGS_MIDI_OUT 0 "(first available)|Virtual Synth Out|Virtual MIDI Out"
sc_probe --timeout 5000 --press 2 dialog >/dev/null
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 5 || e2e_log "the wine process still runs"
sc_check "no Wine errors" test -z "$(e2e_wine_errors "$SC_OUT/tonbrik.log")"

sc_finish
