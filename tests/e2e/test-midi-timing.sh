#!/usr/bin/env bash
# MIDI-to-sound timing on the ASIO and the full-duplex route: the test MIDI input plays a
# train of 200 notes at irregular intervals and stamps each delivery with the
# performance counter; the virtual ASIO driver stamps its buffer switches on the same
# counter and records what the program plays; tools/midi_latency pairs each note with
# its onset in the recording.
# Played once in Immediate and once in Steady MIDI timing (a restart in between). Only
# what does not depend on the machine's speed is checked: every note heard, in play
# order, and Steady's jitter below Immediate's, timed on the driver's sample clock (the
# virtual driver's own switches wander with its thread's wake-ups, by more than Steady's
# jitter on a loaded machine). The same train is first played on the full-duplex route
# (where the program starts) in Immediate timing, with the worker's trace on
# (TONBRIK_DSOUND_TRACE), and timed to the play cursor of its DirectSound ring: every
# note must be found in play order and come 0 to 100 ms after its delivery. A note with
# no onset fails the train unless the records prove it could not sound, by a rule the
# tool applies (the delivery wandered into the previous note's release tail; a ring
# lost while it was due), and no more than 1.5 % of a
# train may be so excused: the tool's exit status is the verdict, and its lines for the
# missing notes and its counts per rule go to the log. Each train starts once the
# wineserver has saved what the program's start changed in the registry: that save holds
# up every Wine thread, the test MIDI input's and the driver's too, for 20 ms or more
# (sc_wait_registry_saved). The figures go to SC_OUT/latency.txt.
# Usage: test-midi-timing.sh <build/windows dir>
# E2E_TIMING_FRAMES: the driver's buffer size (default 128); E2E_TIMING_MODES: the
# modes to play on the ASIO route (default "Immediate Steady", empty for none; the
# jitter check needs both); E2E_TIMING_DUPLEX=0 leaves out the full-duplex route, and
# E2E_TIMING_DUPLEX_MODE its MIDI timings (default "Immediate Steady", one start each).
# E2E_TIMING_SYSTEM_ROUTES: the routes without ASIO to play (default "DirectSound
# WasapiShared"; WasapiExclusive too, which Wine 8 refuses and so plays shared; each is
# stored as the window's system audio); the WASAPI worker writes the same trace, its
# position read as the cursor.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=midi-timing
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

frames=${E2E_TIMING_FRAMES:-128}
modes=${E2E_TIMING_MODES-Immediate Steady}
duplex=${E2E_TIMING_DUPLEX:-1}
duplex_modes=${E2E_TIMING_DUPLEX_MODE:-Immediate Steady}
system_routes=${E2E_TIMING_SYSTEM_ROUTES:-DirectSound WasapiShared}
sc_setup "${1:?usage: test-midi-timing.sh <build/windows dir>}" "midi-timing-$frames"
latency_tool=${E2E_MIDI_LATENCY:-$(dirname "$SC_BUILD")/native/tools/midi_latency/midi_latency}
[ -x "$latency_tool" ] || e2e_fail "no MIDI latency tool at $latency_tool: build the native tree"
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program midi

sc_install_virtual_asio
settings_key='HKCU\Software\Tonbrik\Settings'
e2e_on_exit "WINEDEBUG=-all wine reg delete '$settings_key' /v MidiTiming /f"
e2e_on_exit "WINEDEBUG=-all wine reg delete '$settings_key' /v SystemAudio /f"

"$latency_tool" train --count 200 --seed 20 >"$SC_OUT/midi_in_events.txt"
export FAKE_WINMM_TRIGGER=go FAKE_WINMM_OUTPUTS=synth,port
export TONBRIK_VASIO_PREFERRED_SIZE=$frames TONBRIK_VASIO_LOG=$(sc_winpath "$SC_OUT/vasio.log")

checked_is() { sc_control_has $IDC_ASIO checked "$1"; }

store_timing() {
  WINEDEBUG=-all wine reg add "$settings_key" /v MidiTiming /t REG_SZ /d "$1" /f >/dev/null 2>&1 ||
    e2e_fail "cannot store the MIDI timing"
  rm -f "$SC_OUT/go" "$SC_OUT/midi_in.log" "$SC_OUT/midi_in_stamps.log"
}

# play_train NAME: plays the train into the running program, ends it with Esc and keeps
# the delivery stamps as stamps-NAME.log.
play_train() {
  local exit_line
  sc_wait_registry_saved
  sleep 0.5
  touch "$SC_OUT/go"
  e2e_wait_for 40 grep -q " done" "$SC_OUT/midi_in.log" || e2e_log "$1: the train did not finish"
  sleep 0.3
  exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
  [ -n "$exit_line" ] || e2e_log "$1: Esc did not end the program"
  e2e_wait_program 5 || e2e_log "$1: the wine process still runs"
  cp "$SC_OUT/midi_in_stamps.log" "$SC_OUT/stamps-$1.log" 2>/dev/null
}

# play MODE: one start of the program in MODE, the train played on the ASIO route.
play() {
  local mode=$1
  e2e_log "--- $mode MIDI timing, $frames-frame buffers"
  store_timing "$mode"
  export TONBRIK_VASIO_OUTPUT_WAV=$(sc_winpath "$SC_OUT/asio-$mode.wav")
  export TONBRIK_VASIO_SWITCH_LOG=$(sc_winpath "$SC_OUT/switches-$mode.log")
  sc_start
  e2e_wait_for 10 sc_control_has $IDC_ASIO enabled 1 || e2e_log "the ASIO check box stays disabled"
  sc_probe click $IDC_ASIO >/dev/null
  e2e_wait_for 5 checked_is 1 || e2e_log "the check box did not flip"
  sc_check "$mode: on the ASIO route" sc_shows $IDC_AUDIO_OUT_STATE active
  sc_check "$mode: MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
  play_train "$mode"
}

# play_duplex ROUTE MODE: one start of the program, the train played in MODE timing on
# the system ROUTE (DirectSound, WasapiShared, WasapiExclusive), the worker traced (the
# trace is written when the program ends).
play_duplex() {
  local route=$1 mode=$2
  e2e_log "--- $mode MIDI timing on the $route route"
  store_timing "$mode"
  WINEDEBUG=-all wine reg add "$settings_key" /v SystemAudio /t REG_SZ /d "$route" /f >/dev/null 2>&1 ||
    e2e_fail "cannot store the system route"
  SC_TRACE="$SC_OUT/worker-trace.txt"
  rm -f "$SC_TRACE"
  sc_start
  unset SC_TRACE
  sc_check "$route: ASIO unchecked" checked_is 0
  sc_check "$route: audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
  sc_check "$route: MIDI in active" sc_shows $IDC_MIDI_IN_STATE active
  # What the window says it opened (WASAPI exclusive falls back to shared when refused).
  opened=$(sc_probe --timeout 1000 get $IDC_AUDIO_OUT_NAME | grep -o 'WASAPI[^)"]*' | head -n1)
  e2e_log "$route: the output is ${opened:-DirectSound}"
  play_train duplex
  cp "$SC_OUT/worker-trace.txt" "$SC_OUT/trace-$route-$mode.txt" 2>/dev/null
  cp "$SC_OUT/stamps-duplex.log" "$SC_OUT/stamps-$route-$mode.log" 2>/dev/null
}

# log_verdict FILE: the tool's notes line, its lines for missing notes, its counts of
# excused ones per rule and its verdict, into the log before the check's own line.
log_verdict() {
  local line
  while read -r line; do e2e_log "$line"; done < <(grep -E '^(notes|missing|offclock|excused|verdict) ' "$1" 2>/dev/null)
}

measure() {
  local mode=$1 status
  "$latency_tool" measure --stamps "$SC_OUT/stamps-$mode.log" --switches "$SC_OUT/switches-$mode.log" \
    --wav "$SC_OUT/asio-$mode.wav" --label "asio-$frames-$mode" >"$SC_OUT/latency-$mode.txt"
  status=$?
  log_verdict "$SC_OUT/latency-$mode.txt"
  return $status
}

# The tool exits 3 when every note was heard in order but its clock figure left out more
# notes than the cap: the stream's position went astray, a timing check's matter.
measure_duplex() {
  "$latency_tool" measure-duplex --stamps "$SC_OUT/stamps-duplex.log" \
    --trace "$SC_OUT/worker-trace.txt" --label "$1-$2" >"$SC_OUT/latency-duplex.txt"
  duplex_status=$?
  log_verdict "$SC_OUT/latency-duplex.txt"
  [ "$duplex_status" = 0 ] || [ "$duplex_status" = 3 ]
}
on_clock() { [ "$duplex_status" = 0 ]; }

# duplex_sane: every delivery-to-cursor figure between 0 and 100 ms.
duplex_sane() {
  awk '/^cursor / { for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
    END { exit !(v["count"] > 0 && v["min_ms"] > 0 && v["max_ms"] < 100) }' "$SC_OUT/latency-duplex.txt"
}

if [ "$duplex" = 1 ]; then
  for route in $system_routes; do
    for mode in $duplex_modes; do
      play_duplex "$route" "$mode"
      sc_check "$route $mode: every note found, in play order" measure_duplex "$route" "$mode"
      sc_check_timing "$route $mode: every note timed on the stream's clock but for the cap" on_clock
      sc_check_timing "$route $mode: each note 0 to 100 ms after its delivery" duplex_sane
      cat "$SC_OUT/latency-duplex.txt" >>"$SC_OUT/latency.txt" 2>/dev/null
      echo "route $route-$mode opened=${opened:-DirectSound}" >>"$SC_OUT/latency.txt"
    done
  done
fi

for mode in $modes; do
  play "$mode"
  sc_check "$mode: every note heard, in play order" measure "$mode"
  cat "$SC_OUT/latency-$mode.txt" >>"$SC_OUT/latency.txt" 2>/dev/null
done
e2e_log "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "load $(cut -d' ' -f1-3 /proc/loadavg)" >>"$SC_OUT/latency.txt"
# The figures; the verdict lines are in the log already, once (the suite sums the counts).
grep -Ev '^(notes|missing|offclock|excused|verdict) ' "$SC_OUT/latency.txt" >&2

jitter() { sed -n "s/^steady-clock asio-$frames-$1 .* jitter_ms=\([0-9.]*\).*/\1/p" "$SC_OUT/latency.txt"; }
# On a route without ASIO, Steady timing places each block by the stream's clock: its
# jitter on that clock stays within 0.1 ms, and below Immediate's.
clock_jitter() { sed -n "s/^clock $1 .* jitter_ms=\([0-9.]*\).*/\1/p" "$SC_OUT/latency.txt"; }
if [ "$duplex" = 1 ] && [[ " $duplex_modes " == *" Immediate "* && " $duplex_modes " == *" Steady "* ]]; then
  for route in $system_routes; do
    immediate=$(clock_jitter "$route-Immediate")
    steady=$(clock_jitter "$route-Steady")
    sc_check_timing "$route: Steady's jitter on the stream's clock ($steady ms) within 0.1 ms and below Immediate's ($immediate ms)" \
      awk -v s="${steady:-9}" -v i="${immediate:-0}" 'BEGIN { exit !(s <= 0.1 && s < i) }'
  done
fi
if [ -f "$SC_OUT/latency-Immediate.txt" ] && [ -f "$SC_OUT/latency-Steady.txt" ]; then
  immediate=$(jitter Immediate)
  steady=$(jitter Steady)
  sc_check_timing "Steady's jitter ($steady ms) below Immediate's ($immediate ms)" \
    awk -v s="${steady:-9}" -v i="${immediate:-0}" 'BEGIN { exit !(s < i) }'
fi

sc_finish
