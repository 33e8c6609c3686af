#!/usr/bin/env bash
# The start-up tone on the full-duplex route while two busy loops (started by this test
# and ended by their process ids) keep both cores busy for 10 s. Blocks may be lost
# under such load; within 1 s after it ends the recording must be clean again. Prints
# the discontinuities per second before, during and after the load and the worker's
# dropouts (from its trace). With E2E_LOAD_REALTIME=1 the program's threads and its
# wineserver are given real-time scheduling first (SCHED_FIFO, needs root), which Wine
# itself does not do for a time-critical thread.
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
realtime=${E2E_LOAD_REALTIME:-0}

# The wineserver of this test's prefix.
wineserver_pid() {
  local p
  for p in $(pgrep -x wineserver64; pgrep -x wineserver); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$p"
  done | head -n1
}

sc_setup "${1:?usage: test-load.sh <build/windows dir>}" load
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program
export TONBRIK_DSOUND_TRACE="$SC_OUT/worker-trace.txt"
rm -f "$TONBRIK_DSOUND_TRACE"
e2e_start_recording "$SC_OUT/output.wav"
sc_start
sc_check "audio out active" sc_shows 1005 active
if [ "$realtime" = 1 ]; then
  server=$(wineserver_pid)
  if chrt -a -f -p 10 "$SC_PID" && [ -n "$server" ] && chrt -a -f -p 10 "$server"; then
    e2e_log "real-time scheduling granted to the program ($SC_PID) and its wineserver ($server)"
  else
    e2e_log "real-time scheduling could not be granted"
  fi
fi
e2e_log "load before the busy loops: $(cut -d' ' -f1-3 /proc/loadavg)"
sleep 3
wav="$SC_OUT/output.wav"
load_from=$(sc_wav_now "$wav")
sc_hogs 2
e2e_log "busy loops ${SC_HOG_PIDS[*]} for $load_seconds s"
sleep "$load_seconds"
sc_stop_hogs
load_to=$(sc_wav_now "$wav")
sleep 4
e2e_stop_recording
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 10 || e2e_log "the program did not end"

seconds=$(sc_wav_seconds "$wav")
end=$(sc_add "$seconds" -0.2)
clean_from=$(sc_add "$load_to" 1)
before_from=$(awk -v t="$load_from" 'BEGIN { f = t - 2.5; printf "%.3f\n", f < 0.5 ? 0.5 : f }')
rate() { awk -v g="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.2f", (b > a) ? g / (b - a) : 0 }'; }
for ch in 0 1; do
  before=$(sc_glitches "$wav" "$before_from" "$load_from" $ch 1114.08) || before=x
  during=$(sc_glitches "$wav" "$load_from" "$load_to" $ch 1114.08) || during=x
  after=$(sc_glitches "$wav" "$clean_from" "$end" $ch 1114.08) || after=x
  e2e_log "channel $ch discontinuities per second: before $(rate "$before" "$before_from" "$load_from")," \
    "under load $(rate "$during" "$load_from" "$load_to") ($during in $(sc_add "$load_to" "-$load_from") s)," \
    "from 1 s after $(rate "$after" "$clean_from" "$end") ($after)"
  sc_check "channel $ch: clean again within 1 s after the load" test "$after" = 0
done
dropouts=$(sc_trace_dropouts "$TONBRIK_DSOUND_TRACE")
e2e_log "worker dropouts: ${dropouts:-unknown} (real-time scheduling: $realtime)"
sc_check "the worker's trace was written" test -n "$dropouts"
sc_check "channel 0: 1114 Hz at about 0.05 after the load" \
  sc_has_tone "$wav" "$clean_from" "$end" 0 1114.08 2 0.04 0.06
sc_finish
