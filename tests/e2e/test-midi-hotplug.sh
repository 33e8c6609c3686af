#!/usr/bin/env bash
# A MIDI keyboard pulled out while a note is held, and plugged in again: the note ends
# within 100 ms, the MIDI-in name line says the device is lost and its state reads
# "inactive"; once the device is back the program opens it on its own and its next
# note sounds within about 2 s, without anything done in the window. Prints the time
# the window took to show the loss and the time from the return to the next note. Then
# the output goes and comes back unannounced, and is seen to on the device lists' beat.
# Usage: test-midi-hotplug.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=midi-hotplug
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-midi-hotplug.sh <build/windows dir>}" midi-hotplug
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program midi

# Each time the input is opened and started it plays note 69 (440 Hz) and holds it.
echo "0 90 45 64" >"$SC_OUT/midi_in_events.txt"
export FAKE_WINMM_TRIGGER=go FAKE_WINMM_OUTPUTS=synth,port FAKE_WINMM_PLUG=in0:unplugged,out1:outgone
log="$SC_OUT/midi_in.log"

# log_ms PATTERN [NTH]: the fake device's time (ms since it loaded) of the NTH line
# matching PATTERN.
log_ms() { grep -E "$1" "$log" | sed -n "${2:-1}s/^t=\([0-9]*\) .*/\1/p"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# edge WAV FROM TO LEVEL rise|fall: the start of the first 20 ms window from FROM on where
# the 440 Hz amplitude of channel 0 reaches LEVEL (rise) or falls below it (fall).
edge() {
  "$SC_ANALYSIS" --start "$2" --end "$3" --window 0.02 --hop 0.01 --tones 0 --at 439.96 "$1" |
    awk -v level="$4" -v kind="$5" '
      /^window=/ { for (i = 1; i <= NF; i++) if ($i ~ /^start=/) start = substr($i, 7) }
      /^at window=/ && / ch=0 / {
        for (i = 1; i <= NF; i++) if ($i ~ /^amp=/) {
          a = substr($i, 5) + 0
          if ((kind == "rise" && a >= level) || (kind == "fall" && a < level)) { print start; exit }
        }
      }'
}

wav="$SC_OUT/output.wav"
e2e_start_recording "$wav"
sc_start
sc_check "MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
sc_check "MIDI in name" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In"
touch "$SC_OUT/go"
e2e_wait_for 5 grep -q "data 90 45 64" "$log" || e2e_log "the note was not played"
sleep 1.5

touch "$SC_OUT/unplugged"
pulled=$(now_ms)
sc_check "MIDI in name says lost" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In (lost, retrying)" 3000
noticed=$(now_ms)
sc_check "MIDI in inactive" sc_shows $IDC_MIDI_IN_STATE inactive 1000
sc_check "the lost input was closed" e2e_wait_for 2 grep -q "close (device gone)" "$log"
sleep 1

rm -f "$SC_OUT/unplugged"
e2e_wait_for 2 grep -q " replug" "$log" || e2e_log "the device was not plugged in again"
sc_check "MIDI in active again, untouched" sc_shows $IDC_MIDI_IN_STATE active 4000
sc_check "MIDI in name back" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In" 1000
second_note() { [ "$(grep -c 'data 90 45 64' "$log")" -ge 2 ]; }
e2e_wait_for 5 second_note || e2e_log "no second note"
sleep 1.5
e2e_stop_recording

on1=$(log_ms "data 90 45 64" 1)
unplug=$(log_ms " unplug$")
replug=$(log_ms " replug$")
on2=$(log_ms "data 90 45 64" 2)
t0=$(edge "$wav" 0 30 0.05 rise)
if [ -z "$t0" ] || [ -z "$on1" ] || [ -z "$unplug" ] || [ -z "$replug" ] || [ -z "$on2" ]; then
  sc_check "note, unplug and replug all seen (t0=$t0 on=$on1 unplug=$unplug replug=$replug on2=$on2)" false
else
  # The device's clock and the recording's agree on differences: each event reaches the
  # recording with the same output latency.
  at() { awk -v t0="$t0" -v a="$1" -v b="$on1" 'BEGIN { printf "%.3f\n", t0 + (a - b) / 1000 }'; }
  unplug_rec=$(at "$unplug")
  sc_check "the held note sounds before the unplug" \
    sc_has_tone "$wav" "$(sc_add "$t0" 0.3)" "$(sc_add "$unplug_rec" -0.1)" 0 439.96 2 0.08 0.12
  end=$(edge "$wav" "$(sc_add "$unplug_rec" -0.05)" "$(sc_add "$unplug_rec" 2)" 0.005 fall)
  ended_ms=$(awk -v e="$end" -v u="$unplug_rec" 'BEGIN { printf "%d\n", (e - u) * 1000 }')
  e2e_log "note ends ${ended_ms} ms after the unplug (recording)"
  sc_check_timing "the note ends within 100 ms of the unplug (${ended_ms} ms)" \
    test -n "$end" -a "$ended_ms" -le 100
  sc_check "silent while unplugged" \
    sc_quiet_at "$wav" "$(sc_add "$unplug_rec" 0.2)" "$(at "$replug")" 0 439.96 0.005
  on2_rec=$(at "$on2")
  sc_check "the next note sounds after the return" \
    sc_has_tone "$wav" "$(sc_add "$on2_rec" 0.2)" "$(sc_add "$on2_rec" 1.0)" 0 439.96 2 0.08 0.12
  e2e_log "time to notice: $((noticed - pulled)) ms (touch of the control file to the name line, polled)"
  e2e_log "time to play again: $((on2 - replug)) ms (device back to the next note, device log)"
  sc_check_timing "plays again within 2.5 s of the return ($((on2 - replug)) ms)" test $((on2 - replug)) -le 2500
fi

# The output, nothing sent on it and no announcement: the device list read on the
# 2 s beat shows it gone; the synthesizer that stands first then is tried and refused,
# and the line keeps the lost device's name.
sc_check "MIDI out name" sc_shows $IDC_MIDI_OUT_NAME "Virtual MIDI Out"
touch "$SC_OUT/outgone"
sc_check "MIDI out name says lost, unannounced" \
  sc_shows $IDC_MIDI_OUT_NAME "Virtual MIDI Out (lost, retrying)" 3500
sc_check "MIDI out inactive" sc_shows $IDC_MIDI_OUT_STATE inactive 1000
rm -f "$SC_OUT/outgone"
sc_check "MIDI out back" sc_shows $IDC_MIDI_OUT_NAME "Virtual MIDI Out" 3500
sc_check "MIDI out active again" sc_shows $IDC_MIDI_OUT_STATE active 1000

exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
sc_check_timing "Esc ends the program within 5 s ($exit_line)" test -n "$exit_line"
e2e_wait_program 5 || e2e_log "the wine process still runs"
sc_finish
