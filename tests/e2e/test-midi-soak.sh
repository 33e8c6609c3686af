#!/usr/bin/env bash
# 100 cycles of pulling the MIDI input out while a note is held and plugging it in
# again, announced as the system does (WM_DEVICECHANGE), and in every fifth cycle the
# sound device taken away too (PulseAudio's null sink unloaded and loaded again): the
# program lives through all of them, reopens the input and the full-duplex route every
# time, releases the note every time, and its threads and open descriptors are the same
# after the last cycle as after the first. E2E_MIDI_SOAK_CYCLES overrides the count.
# Usage: test-midi-soak.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=midi-soak
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

cycles=${E2E_MIDI_SOAK_CYCLES:-100}
sc_setup "${1:?usage: test-midi-soak.sh <build/windows dir>}" midi-soak
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program midi

echo "0 90 45 64" >"$SC_OUT/midi_in_events.txt"  # held from every start of the input
export FAKE_WINMM_OUTPUTS=synth,port FAKE_WINMM_PLUG=in0:unplugged FAKE_WINMM_PLUG_ANNOUNCE=1
unset FAKE_WINMM_TRIGGER
log="$SC_OUT/midi_in.log"
count() { grep -c -E "$1" "$log" 2>/dev/null || true; }
at_least() { [ "$(count "$2")" -ge "$1" ]; }
# The Linux side of the program: every Windows thread is one of its tasks.
threads() { ls "/proc/$SC_PID/task" 2>/dev/null | wc -l; }
descriptors() { ls "/proc/$SC_PID/fd" 2>/dev/null | wc -l; }

sink_module() { pactl list short modules | awk '$2 == "module-null-sink" { print $1; exit }'; }
# The sound device goes away until the window says so, and comes back until the route
# plays again.
lose_audio() {
  pactl unload-module "$(sink_module)" || return 1
  sc_shows $IDC_HEALTH "Audio device lost: retrying" 5000 || return 1
  pactl load-module module-null-sink sink_name=vsink format=s16le rate=48000 channels=2 \
    >/dev/null || return 1
  pactl set-default-sink vsink
  sc_shows $IDC_AUDIO_OUT_STATE active 6000
}

wav="$SC_OUT/output.wav"
sc_start
sc_check "MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
e2e_wait_for 5 at_least 1 'data 90 45 64' || e2e_log "the note was not played"

first_threads="" first_fds=""
started=$(date +%s)
done_cycles=0
audio_losses=0
for ((i = 1; i <= cycles; i++)); do
  touch "$SC_OUT/unplugged"
  e2e_wait_for 3 at_least "$i" 'close \(device gone\)' || break
  if [ $((i % 5)) = 0 ]; then
    lose_audio || break
    audio_losses=$((audio_losses + 1))
  fi
  rm -f "$SC_OUT/unplugged"
  e2e_wait_for 5 at_least $((i + 1)) 'data 90 45 64' || break
  if [ "$i" = 1 ]; then
    first_threads=$(threads)
    first_fds=$(descriptors)
  fi
  done_cycles=$i
done
last_threads=$(threads)
last_fds=$(descriptors)
e2e_log "$done_cycles cycles and $audio_losses losses of the sound device in $(($(date +%s) - started)) s;" \
  "threads $first_threads -> $last_threads, descriptors $first_fds -> $last_fds"
sc_check "all $cycles cycles: lost, closed, reopened, note played ($done_cycles)" \
  test "$done_cycles" = "$cycles"
sc_check "the sound device lost and back $((cycles / 5)) times ($audio_losses)" \
  test "$audio_losses" = $((cycles / 5))
sc_check "MIDI in active at the end" sc_shows $IDC_MIDI_IN_STATE active 3000
sc_check "audio out active at the end" sc_shows $IDC_AUDIO_OUT_STATE active 3000
sc_check "threads flat ($first_threads -> $last_threads)" test "$last_threads" -le "$first_threads"
sc_check "descriptors flat ($first_fds -> $last_fds)" test "$last_fds" -le "$first_fds"

# Once more out: the note held since the last return is released. (Recorded only now:
# a recording of the sink's monitor ends when the sink goes away.)
e2e_start_recording "$wav"
sleep 0.5
touch "$SC_OUT/unplugged"
e2e_wait_for 3 at_least $((done_cycles + 1)) 'close \(device gone\)' || e2e_log "last unplug unseen"
sleep 1
e2e_stop_recording
length=$(sc_wav_seconds "$wav")
sc_check "the last note was released" \
  sc_quiet_at "$wav" "$(sc_add "$length" -0.6)" "$(sc_add "$length" -0.1)" 0 439.96 0.005
sc_check "MIDI in name says lost" sc_shows $IDC_MIDI_IN_NAME "Virtual MIDI In (lost, retrying)" 2000

exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
sc_check_timing "Esc ends the program within 5 s ($exit_line)" test -n "$exit_line"
e2e_wait_program 5 || e2e_log "the wine process still runs"
sc_finish
