#!/usr/bin/env bash
# MIDI through the virtual winmm devices: input and output open as "active" with their
# names shown; notes from the input sound at their pitch and level, note-offs fade them,
# the sustain pedal holds them; system exclusive spread over several buffers is taken in;
# the activity mark shows "*" while input arrives and "" after it; Esc ends the program
# within five seconds and both devices log their close. The computer's keys and a mouse
# press on the on-screen keyboard play their notes, to the MIDI output too. With only a
# software-synthesizer output, MIDI out reads "inactive" and the input still works.
# Usage: test-midi.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=midi
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-midi.sh <build/windows dir>}" midi
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program midi

# Times in ms from the trigger. Note 69 is 440 Hz, note 72 523.25 Hz; the level of a note
# is its velocity x 0.001.
{
  echo "0 90 45 64"     # note 69, velocity 100
  echo "1500 80 45 00"  # note off: fades within milliseconds
  echo "3000 B0 40 7F"  # sustain pedal down
  echo "3100 90 48 50"  # note 72, velocity 80
  echo "3600 80 48 00"  # released while the pedal holds it
  echo "5000 B0 40 00"  # pedal up: now it fades
  echo "5200 sysex 6000"  # more than one 4096-byte buffer
  # Steady input, dense enough that every 100 ms tick of the window's timer sees some:
  # its ticks stay on a 100 ms grid, so one taken late leaves a short next interval.
  for ((t = 5500; t <= 8000; t += 10)); do echo "$t D0 00"; done
} >"$SC_OUT/midi_in_events.txt"
export FAKE_WINMM_TRIGGER=go FAKE_WINMM_OUTPUTS=synth,port

sc_record_into "$SC_OUT/recordings"
e2e_start_recording "$SC_OUT/output.wav"
sc_start
sc_check "MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
sc_check "MIDI out active" sc_shows $IDC_MIDI_OUT_STATE active
sc_check "MIDI in name" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In"
sc_check "MIDI out name (output device 1, the hardware port)" sc_shows $IDC_MIDI_OUT_NAME "Virtual MIDI Out"
sc_check "no activity before input" sc_shows $IDC_MIDI_ACTIVITY ""
sleep 1
touch "$SC_OUT/go"

e2e_wait_for 8 grep -q "D0 00" "$SC_OUT/midi_in.log" || e2e_log "steady input did not begin"
# The mark is set by the window's 100 ms timer, so it may trail the first message.
sc_check "activity mark \"*\" once input arrives" sc_shows $IDC_MIDI_ACTIVITY "*" 1000
marks=""
for i in 1 2 3; do
  marks+="[$(sc_text $IDC_MIDI_ACTIVITY)]"
  sleep 0.3
done
sc_check "activity mark \"*\" while input arrives ($marks)" test "$marks" = "[*][*][*]"
e2e_wait_for 10 grep -q " done" "$SC_OUT/midi_in.log" || e2e_log "the event list did not finish"
sc_check "activity mark cleared after input" sc_shows $IDC_MIDI_ACTIVITY "" 2000

# Playing without hardware. The key right of the left Shift (scan code 0x2C, "Z" on
# QWERTY, "W" on AZERTY) plays C4 at velocity 100, by its scan code alone; then a
# press low on the strip's C5 key (the fifteenth white key from C3) plays C5 loud.
sc_check "keys play notes by default" sc_control_has $IDC_KEYS_PLAY_NOTES checked 1
keys_at=$(sc_wav_now "$SC_OUT/output.wav")
sc_probe scan down 0x2C >/dev/null
sleep 1.2
sc_probe scan up 0x2C >/dev/null
sleep 0.6
strip=$(sc_field "$(sc_probe get $IDC_KEYBOARD)" client)
mouse_x=$(( ${strip%x*} * 29 / 58 )) mouse_y=$(( ${strip#*x} - 3 ))
mouse_at=$(sc_wav_now "$SC_OUT/output.wav")
sc_probe mouse $IDC_KEYBOARD down $mouse_x $mouse_y >/dev/null
sleep 1.2
sc_probe mouse $IDC_KEYBOARD up $mouse_x $mouse_y >/dev/null
sleep 0.6
e2e_stop_recording
sc_screenshot window

sc_check "system exclusive delivered in two buffers" \
  grep -q "longdata len=6000 buffers=2" "$SC_OUT/midi_in.log"

wav="$SC_OUT/output.wav"
t0=$(sc_onset "$wav" 439.96 0.05)
if [ -z "$t0" ]; then
  sc_check "note 69 sounds" false
else
  e2e_log "note 69 starts at $t0 s in the recording"
  at() { sc_add "$t0" "$1"; }
  for ch in 0 1; do
    sc_check "ch $ch: note 69 at 440 Hz, level 0.1" \
      sc_has_tone "$wav" "$(at 0.3)" "$(at 1.3)" $ch 439.96 2 0.08 0.12
  done
  sc_check "note 69 faded after its note-off" sc_quiet_at "$wav" "$(at 1.8)" "$(at 2.8)" 0 439.96 0.005
  sc_check "note 72 held by the pedal after its note-off" \
    sc_has_tone "$wav" "$(at 3.8)" "$(at 4.8)" 0 523.25 2 0.064 0.096
  sc_check "note 72 faded after the pedal" sc_quiet_at "$wav" "$(at 5.3)" "$(at 6.3)" 0 523.25 0.005
fi

for ch in 0 1; do
  sc_check "ch $ch: key Z plays C4 at 261.63 Hz, level 0.1" \
    sc_has_tone "$wav" "$(sc_add "$keys_at" 0.3)" "$(sc_add "$keys_at" 1.1)" $ch 261.63 2 0.08 0.12
done
sc_check "C4 ends with the key's release" \
  sc_quiet_at "$wav" "$(sc_add "$keys_at" 1.5)" "$(sc_add "$keys_at" 1.7)" 0 261.63 0.005
sc_check "a press low on the strip plays C5 loud" \
  sc_has_tone "$wav" "$(sc_add "$mouse_at" 0.3)" "$(sc_add "$mouse_at" 1.1)" 0 523.25 2 0.11 0.128
sc_check "C5 ends with the button's release" \
  sc_quiet_at "$wav" "$(sc_add "$mouse_at" 1.5)" "$(sc_add "$mouse_at" 1.7)" 0 523.25 0.005
sc_check "the keys' notes reach the MIDI output" \
  grep -q "short 90 3C 64" "$SC_OUT/midi_out_port.log"
sc_check "and their releases" grep -q "short 80 3C 00" "$SC_OUT/midi_out_port.log"

# The keys take nothing from the dialog: a plain R (scan code 0x13) plays F5 and leaves
# the "&Record" button alone; Alt+R, its mnemonic, still starts a recording.
recording() { sc_text $IDC_RECORD_STATUS | grep -q "^Recording "; }
not_recording() { ! recording; }
sc_probe scan down 0x13 >/dev/null
sleep 0.3
sc_screenshot keys  # the README's picture: F5 lit on the strip
sc_probe scan up 0x13 >/dev/null
sleep 0.5
sc_check "a plain R plays a note, no mnemonic" not_recording
sc_check "and reaches the MIDI output" grep -q "short 90 4D 64" "$SC_OUT/midi_out_port.log"
sc_probe key alt+r >/dev/null
sc_check "Alt+R still starts a recording" e2e_wait_for 3 recording
sc_probe key alt+r >/dev/null
sc_check "and stops it" e2e_wait_for 3 not_recording

# Esc still ends the program with the keys playing notes.
exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
sc_check_timing "Esc ends the program within 5 s ($exit_line)" test -n "$exit_line"
e2e_wait_program 5 || e2e_log "the wine process still runs"
sc_check "MIDI input closed" grep -q " close$" "$SC_OUT/midi_in.log"
sc_check "MIDI output closed" grep -q " close$" "$SC_OUT/midi_out_port.log"
sc_check "nothing sent to the software synthesizer" test ! -s "$SC_OUT/midi_out_synth.log"

# Second run: the only output is a software synthesizer, which the program refuses.
e2e_log "--- only a software-synthesizer output"
rm -f "$SC_OUT"/midi_*.log "$SC_OUT/go"
printf '0 90 45 64\n300 80 45 00\n' >"$SC_OUT/midi_in_events.txt"
export FAKE_WINMM_OUTPUTS=synth FAKE_WINMM_TRIGGER=
sc_start
sc_check "synth only: MIDI out inactive" sc_shows $IDC_MIDI_OUT_STATE inactive
sc_check "synth only: MIDI out name empty" sc_shows $IDC_MIDI_OUT_NAME ""
sc_check "synth only: MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
sc_check "synth only: input delivered" e2e_wait_for 5 grep -q "data 80 45 00" "$SC_OUT/midi_in.log"
sc_check "synth only: the synthesizer output was never opened" test ! -s "$SC_OUT/midi_out_synth.log"
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"

sc_finish
