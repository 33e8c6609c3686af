#!/usr/bin/env bash
# Thirty seconds of the start-up tone on the full-duplex route, recorded from the sound
# device once the wineserver has saved the registry the program's start changed (see
# sc_wait_registry_saved): every 100 ms of the measured stretch, on both channels, must
# hold the tone at its pitch and level, with no break of the program's signal and no gap
# (silence), and the worker must lose no ring in it (read from its trace,
# TONBRIK_DSOUND_TRACE). Only what evidence the program cannot make proves is left out
# (sc_has_tone): a stall of the machine (steal.log) or of Wine's mixer while the worker
# waited (the trace), at most 5 % of the stretch, each logged and counted.
# Prints the worker's dropouts; those also count placements of the capture position,
# which a late capture period or a lost ring cause, and which this route's output does
# not hear. With E2E_REALTIME=0 (no real-time scheduling granted) judge a failure with
# the machine's load in mind: the check then assumes nothing else keeps both cores busy.
# Usage: test-steady-tone.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=steady-tone
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

seconds_wanted=30

sc_setup "${1:?usage: test-steady-tone.sh <build/windows dir>}" steady-tone
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program
SC_TRACE="$SC_OUT/worker-trace.txt"
rm -f "$SC_TRACE"
e2e_start_recording "$SC_OUT/output.wav"
sc_start
sc_check "audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
sc_wait_registry_saved
measured=$(sc_wav_now "$SC_OUT/output.wav")
steal_before=$(sc_steal_ms)
e2e_log "the recording began at $E2E_WAV_WALL s (wall clock)"
e2e_log "load while recording: $(cut -d' ' -f1-3 /proc/loadavg); real-time scheduling granted: $SC_REALTIME"
sleep $((seconds_wanted + 1))
steal=$(($(sc_steal_ms) - steal_before))
e2e_stop_recording
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 10 || e2e_log "the program did not end"

wav="$SC_OUT/output.wav"
seconds=$(sc_wav_seconds "$wav")
from=$(awk -v f="$measured" 'BEGIN { printf "%.3f\n", f < 0.5 ? 0.5 : f + 0.2 }')
to=$(sc_add "$seconds" -0.2)
span=$(awk -v a="$from" -v b="$to" 'BEGIN { printf "%.3f\n", b - a }')
e2e_log "CPU time the hypervisor took while recording: $steal ms; worker dropouts:" \
  "$(sc_trace_dropouts "$SC_TRACE")"
sc_check "the worker's trace was written" test -n "$(sc_trace_dropouts "$SC_TRACE")"
for ch in 0 1; do
  SC_LOST_RINGS=$((ch == 0)) sc_check "channel $ch: 1114 Hz at about 0.05 for $span s, no break, gap or lost ring" \
    sc_has_tone "$wav" "$from" "$to" $ch 1114.08 2 0.04 0.06
done
sc_finish
