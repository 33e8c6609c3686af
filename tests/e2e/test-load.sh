#!/usr/bin/env bash
# The start-up tone on the full-duplex route while two busy loops (started by this test
# and ended by their process ids) keep both cores busy for 10 s, twice: first as Wine
# runs the program (its time-critical worker gets no real-time scheduling from Wine 8),
# then with real-time scheduling granted to the program and its wineserver (as root).
# Blocks may be lost under load; from 1 s after each load every 100 ms of the recording
# must hold the tone whole again (sc_has_tone: no break, no gap, but where evidence the
# program cannot make proves a stall). Prints the breaks per second before, during and after each
# load, the gaps, and the worker's dropouts (from its trace). The loads start once the
# wineserver has saved the registry the program's start changed (sc_wait_registry_saved).
# Usage: test-load.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=load
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

load_seconds=10

sc_setup "${1:?usage: test-load.sh <build/windows dir>}" load
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program
export E2E_REALTIME=0  # granted only for the second load
SC_TRACE="$SC_OUT/worker-trace.txt"
rm -f "$SC_TRACE"
wav="$SC_OUT/output.wav"
e2e_start_recording "$wav"
sc_start
sc_check "audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
# The loads come after the wineserver's registry save, which stalls every Wine thread
# (sc_wait_registry_saved), so what is measured after them is the program's doing.
sc_wait_registry_saved
e2e_log "load before the busy loops: $(cut -d' ' -f1-3 /proc/loadavg)"
steal_before=$(sc_steal_ms)

# run_load NAME: 3 s of quiet, then the busy loops; sets <NAME>_from and <NAME>_to.
run_load() {
  sleep 3
  printf -v "$1_from" %s "$(sc_wav_now "$wav")"
  sc_hogs 2
  e2e_log "$1: busy loops ${SC_HOG_PIDS[*]} for $load_seconds s"
  sleep "$load_seconds"
  sc_stop_hogs
  printf -v "$1_to" %s "$(sc_wav_now "$wav")"
}

run_load plain
if e2e_grant_realtime "$SC_PID"; then
  e2e_log "real-time scheduling granted to the program and its wineserver"
  realtime=1
else
  e2e_log "real-time scheduling could not be granted; the second load runs without it"
  realtime=0
fi
run_load realtime
sleep 4
e2e_stop_recording
e2e_log "CPU time the hypervisor took while the loads ran: $(($(sc_steal_ms) - steal_before)) ms"
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 10 || e2e_log "the program did not end"

rate() { awk -v g="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.2f", (b > a) ? g / (b - a) : 0 }'; }
seconds=$(sc_wav_seconds "$wav")
end=$(sc_add "$seconds" -0.2)
for phase in plain realtime; do
  eval "from=\$${phase}_from to=\$${phase}_to"
  before_from=$(awk -v t="$from" 'BEGIN { f = t - 2.5; printf "%.3f\n", f < 0.5 ? 0.5 : f }')
  clean_from=$(sc_add "$to" 1)
  clean_to=$(sc_add "$clean_from" 2)
  for ch in 0 1; do
    read -r before before_gaps < <(sc_glitches "$wav" "$before_from" "$from" $ch 1114.08 || echo x x)
    read -r during during_gaps < <(sc_glitches "$wav" "$from" "$to" $ch 1114.08 || echo x x)
    read -r after after_gaps < <(sc_glitches "$wav" "$clean_from" "$clean_to" $ch 1114.08 || echo x x)
    e2e_log "$phase, channel $ch, breaks per second: before $(rate "$before" "$before_from" "$from")," \
      "under load $(rate "$during" "$from" "$to") ($during in $(sc_add "$to" "-$from") s)," \
      "from 1 s after $(rate "$after" "$clean_from" "$clean_to") ($after);" \
      "gaps of silence: $before_gaps, $during_gaps, $after_gaps"
    sc_check "$phase, channel $ch: the tone whole again from 1 s after the load" \
      sc_has_tone "$wav" "$clean_from" "$clean_to" $ch 1114.08 2 0.04 0.06
  done
done
e2e_log "worker dropouts: $(sc_trace_dropouts "$SC_TRACE") in all (real-time granted: $realtime)"
sc_check "the worker's trace was written" test -n "$(sc_trace_dropouts "$SC_TRACE")"
sc_check "channel 0: 1114 Hz at about 0.05 after the loads" \
  sc_has_tone "$wav" "$(sc_add "$realtime_to" 1)" "$(sc_add "$realtime_to" 3)" 0 1114.08 2 0.04 0.06
sc_finish
