# Helpers of the scenario tests: the program staged in a test folder (with the test-only
# winmm when a test wants virtual MIDI devices), the UI probe, the recording analysis, and
# checks that count failures instead of stopping at the first.
# Source after lib/common.sh, lib/display.sh, lib/pulse.sh and lib/wine.sh; it brings the
# control ids by name (lib/controls.sh).

. "$(dirname "${BASH_SOURCE[0]}")/lib/controls.sh"

SC_FAILURES=0

# sc_setup <build/windows dir> <name>: sets SC_BUILD, SC_OUT (a fresh folder under the
# build folder that keeps the test's screenshots, recordings and logs), SC_PROBE and
# SC_ANALYSIS (the native analysis tool, from the native build beside the Windows one
# unless E2E_AUDIO_ANALYSIS names it).
sc_setup() {
  SC_BUILD=$(e2e_abspath "$1")
  SC_OUT="$SC_BUILD/e2e/$2"
  SC_PROBE="$SC_BUILD/tools/ui_probe.exe"
  SC_ANALYSIS=${E2E_AUDIO_ANALYSIS:-$(dirname "$SC_BUILD")/native/tools/audio_analysis/audio_analysis}
  [ -f "$SC_BUILD/app/Tonbrik.exe" ] || e2e_fail "no $SC_BUILD/app/Tonbrik.exe: build the Windows program first"
  [ -f "$SC_PROBE" ] || e2e_fail "no $SC_PROBE"
  [ -x "$SC_ANALYSIS" ] || e2e_fail "no audio analysis tool at $SC_ANALYSIS: build the native tree"
  rm -rf "$SC_OUT"
  mkdir -p "$SC_OUT"
}

# sc_stage_program [midi]: copies the program into SC_OUT (a DLL override only applies to
# DLLs beside the executable); with "midi" also the test-only winmm and, renamed to
# winmm_b.dll, the prefix's own winmm that it forwards to. Sets SC_EXE.
sc_stage_program() {
  cp "$SC_BUILD/app/Tonbrik.exe" "$SC_OUT/" || e2e_fail "cannot copy the program"
  SC_EXE="$SC_OUT/Tonbrik.exe"
  if [ "${1:-}" = midi ]; then
    cp "$SC_BUILD/tools/fake_winmm/winmm.dll" "$SC_OUT/" || e2e_fail "no test winmm.dll"
    cp "$WINEPREFIX/drive_c/windows/system32/winmm.dll" "$SC_OUT/winmm_b.dll" ||
      e2e_fail "no winmm.dll in the prefix"
    # The devices read their event list from, and write their logs to, the DLL's folder.
    export WINEDLLOVERRIDES="winmm=n,b"
  fi
}

# sc_start: starts the staged program in SC_OUT and waits for its window. Sets SC_PID.
# Unless E2E_REALTIME=0, the program and its wineserver then get real-time scheduling
# where the test may grant it (as root): Wine does not give it to the program's
# time-critical audio thread, and without it the compiles of a shared machine make the
# sound device miss periods, which the audio checks, demanding no discontinuity, fail.
sc_start() {
  cd "$SC_OUT" || e2e_fail "no $SC_OUT"
  # The full-duplex worker's trace, written while the program runs, shows where Wine's
  # mixer stalled (sc_has_tone). Wine maps drive Z: to the root.
  SC_TRACE=${SC_TRACE:-$SC_OUT/duplex-trace.txt}
  export TONBRIK_DSOUND_TRACE="Z:${SC_TRACE//\//\\}"
  [ -n "${SC_SAVES_WATCHED:-}" ] || sc_watch_registry_saves
  e2e_start_program "$SC_OUT/tonbrik.log" "$SC_EXE"
  SC_PID=$E2E_PROGRAM_PID
  [ -s "$SC_OUT/steal.log" ] || sc_watch_steal
  sc_probe --timeout 20000 wait-window >/dev/null || {
    cat "$SC_OUT/tonbrik.log" "$SC_OUT/probe.last" >&2
    e2e_fail "no window captioned \"Tonbrik\" appeared"
  }
  SC_WINDOW_SHOWN=$EPOCHREALTIME
  SC_REALTIME=0
  if [ "${E2E_REALTIME:-1}" != 0 ] && [ "$(id -u)" = 0 ]; then
    if e2e_grant_realtime "$SC_PID"; then
      SC_REALTIME=1
    else
      e2e_log "real-time scheduling could not be granted"
    fi
  fi
}

# sc_wait_registry_saved [SECONDS]: waits until the wineserver serving the program has
# saved the registry (registry_watch's log) since the window appeared, up to SECONDS
# (default 45). An earlier save is the flush of a wineserver that served a command before
# the program (`wine reg add`) as it exited, of nothing the program's start changed.
# Wine 8 rewrites registry values at every start: each sound endpoint's state when a
# program opens audio, the display adapter's driver date when a session starts. The
# wineserver saves what changed every 30 s, and while it writes the 1.7 MB system.reg no
# Wine thread gets an event or a wait through (15 to 80 ms measured, often more than the
# 18.7 ms ring), so the sound breaks or stops once, about 30 s into every session,
# whatever the program does. A scenario that measures the sound for that long starts its
# measured stretch after this save. A save that came while the program was still
# starting leaves the rest of its start's changes to the next one, 30 s later: that one
# is in the log too, where sc_has_tone takes it as the evidence of a stall.
# False (logged) if no save came.
sc_registry_saved_since() {
  awk -v since="$1" '$2 == "saved" && $1 >= since { found = 1 } END { exit !found }' \
    "$SC_OUT/registry-saves.log" 2>/dev/null
}
sc_wait_registry_saved() {
  local seconds=${1:-45} waited=$EPOCHREALTIME
  if e2e_wait_for "$seconds" sc_registry_saved_since "$SC_WINDOW_SHOWN"; then
    e2e_log "the wineserver saved the registry; waited $(awk -v a="$waited" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s for it"
  else
    e2e_log "no registry save within $seconds s"
    return 1
  fi
}

# sc_winpath FILE: the Windows path of a file, for the test tools' settings.
sc_winpath() { WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }

# sc_install_virtual_asio: registers the project's virtual ASIO driver in the prefix, in
# C:\vasio (a short path: Wine's OpenFile fails at 128 characters), and unregisters it
# when the test ends: the prefix is shared by tests that expect no driver.
sc_install_virtual_asio() {
  local driver="$SC_BUILD/tools/asio_driver/tonbrik_vasio.dll"
  [ -f "$driver" ] || e2e_fail "no virtual ASIO driver at $driver"
  mkdir -p "$WINEPREFIX/drive_c/vasio"
  cp "$driver" "$WINEPREFIX/drive_c/vasio/" || e2e_fail "cannot install the driver"
  WINEDEBUG=-all wine regsvr32 /s 'C:\vasio\tonbrik_vasio.dll' >"$SC_OUT/regsvr32.log" 2>&1 ||
    e2e_fail "regsvr32 could not register the driver (see $SC_OUT/regsvr32.log)"
  e2e_on_exit "WINEDEBUG=-all wine regsvr32 /u /s 'C:\\vasio\\tonbrik_vasio.dll'"
}

# sc_record_into DIR: the window's recordings go to DIR (made here) for this test, not to
# the prefix's Music folder, which would keep every run's files.
sc_record_into() {
  local key='HKCU\Software\Tonbrik\Settings'
  mkdir -p "$1"
  WINEDEBUG=-all wine reg add "$key" /v RecordFolder /t REG_SZ /d "$(sc_winpath "$1")" /f \
    >/dev/null 2>&1 || e2e_fail "cannot set the recordings' folder"
  e2e_on_exit "WINEDEBUG=-all wine reg delete '$key' /v RecordFolder /f >/dev/null 2>&1"
}

# sc_probe ARGS: runs the UI probe; its lines go to stdout and to SC_OUT/probe.log.
sc_probe() {
  local result
  WINEDEBUG=-all wine "$SC_PROBE" "$@" 2>>"$SC_OUT/probe.err" | tr -d '\r' >"$SC_OUT/probe.last"
  result=${PIPESTATUS[0]}
  { printf '$ ui_probe %s  -> %s\n' "$*" "$result"; cat "$SC_OUT/probe.last"; } >>"$SC_OUT/probe.log"
  cat "$SC_OUT/probe.last"
  return "$result"
}

# sc_screenshot NAME [--dialog]: keeps a picture of the main window (or of the program's
# other window) as SC_OUT/NAME.png; a failed picture is only logged.
sc_screenshot() {
  local rect
  rect=$(sc_probe rect "${@:2}") && e2e_screenshot "$SC_OUT/$1.png" "$rect" ||
    e2e_log "no screenshot $1"
}

# sc_text ID: the text the control shows now.
sc_text() { sc_probe get "$1" | sed -n 's/.* text="\(.*\)"$/\1/p'; }

# sc_field LINE NAME: the value of NAME=value in a probe or analysis line.
sc_field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p" | head -n1; }

# sc_check DESCRIPTION COMMAND...: runs a check; a failure is logged and counted.
sc_check() {
  local what=$1
  shift
  SC_HOST_HELD=
  if "$@" >/dev/null; then
    e2e_log "ok: $what"
  elif [ -n "$SC_HOST_HELD" ]; then
    e2e_log "check failed (host held every core): $what"
    SC_FAILURES=$((SC_FAILURES + 1))
  else
    e2e_log "check failed${SC_TIMING:+ (timing)}: $what"
    SC_FAILURES=$((SC_FAILURES + 1))
  fi
}

# sc_check_timing DESCRIPTION COMMAND...: a check of how soon something happens, which a
# host that holds a core can fail; a scenario that fails only such checks while the host
# held one may run again (run-all.sh), as may one whose sound check failed only for more
# host_steal excuses than the cap allows (sc_has_tone). Nothing else is ever run again.
sc_check_timing() { SC_TIMING=1 sc_check "$@"; }

# not COMMAND...: true when the command fails (for checks that a fault is caught).
not() { ! "$@"; }

# sc_finish: the verdict line of the test.
sc_finish() {
  [ "$SC_FAILURES" -eq 0 ] || e2e_fail "$SC_FAILURES checks failed (see $SC_OUT)"
  e2e_log "PASS"
}

# True when the control shows TEXT within the probe's time-out.
sc_shows() { sc_probe --timeout "${3:-5000}" wait-text "$1" "$2" >/dev/null; }

# True when NAME=VALUE is in the control's line.
sc_control_has() { sc_probe get "$1" | grep -q " $2=$3\( \|$\)"; }

# sc_wav_now WAV: seconds recorded so far into a WAV that is still growing (48 kHz,
# 16-bit stereo, as the harness records), to mark when something happened.
sc_wav_now() { awk -v bytes="$(stat -c %s "$1")" 'BEGIN { printf "%.3f\n", (bytes - 44) / 192000 }'; }

# sc_wav_seconds WAV: length of the recording in seconds.
sc_wav_seconds() { "$SC_ANALYSIS" --window 0 "$1" 2>/dev/null | sed -n 's/^file .* seconds=\([0-9.]*\).*/\1/p'; }

# sc_tone WAV START END CH FREQ: the analysis line of one stretch and channel, with the
# amplitude at FREQ appended as "at=..." (a tone near FREQ need not be the loudest).
sc_tone() {
  local wav=$1 start=$2 end=$3 ch=$4 freq=$5 out
  out=$("$SC_ANALYSIS" --start "$start" --end "$end" --window 0 --tones 4 --at "$freq" "$wav" \
    2>>"${SC_ANALYSIS_LOG:-$SC_OUT/analysis.log}") || return 1
  printf '%s at=%s\n' "$(printf '%s\n' "$out" | grep "^window=0 .* ch=$ch ")" \
    "$(printf '%s\n' "$out" | sed -n "s/^at window=0 ch=$ch .* amp=//p")"
}

# sc_has_tone WAV START END CH FREQ TOL AMIN AMAX (verdict lines in SC_ANALYSIS_LOG,
# default SC_OUT/analysis.log): true when every 100 ms window of that
# stretch of channel CH holds a tone within TOL Hz of FREQ, its amplitude between AMIN and
# AMAX, with no break of the sine and no silence (a gap: 1 ms or more of exact zeros or of
# sound 40 dB under the tone), to the stretch's last sample: on an idle machine a correct
# program records none, on either route. The verdict is the recording analysis's
# (`audio_analysis verdict`). For the harness's own recording (E2E_WAV_WALL) a window with
# a break or gap is left out only where evidence the program cannot make proves a stall
# there: the hypervisor took a ring's time from every core within 0.1 s of it
# (steal.log), or the worker's trace shows it waited longer than the ring for the sound
# service, with no ring lost beside it; at most 5 % of the stretch, each window logged with
# its evidence and counted per rule ("excused rule=... count=..."). With SC_LOST_RINGS=1
# every ring the worker's trace shows lost in the stretch fails it too, but where the
# host's steal explains it.
sc_has_tone() {
  local args=(verdict --start "$2" --end "$3" --channel "$4" --freq "$5" --tol "$6" --min "$7" --max "$8")
  local out result line
  if [ -n "${E2E_WAV_WALL:-}" ] && [ "${E2E_WAV_WALL_FILE:-}" = "$1" ]; then
    args+=(--wall "$E2E_WAV_WALL")
    [ -s "$SC_OUT/steal.log" ] && args+=(--steal "$SC_OUT/steal.log" --tick-rate "$(getconf CLK_TCK)")
    [ -s "$SC_OUT/registry-saves.log" ] && args+=(--saves "$SC_OUT/registry-saves.log")
    if [ -s "${SC_TRACE:-}" ]; then
      sc_trace_reaches "$(sc_add "$E2E_WAV_WALL" "$3")"
      args+=(--trace "$SC_TRACE")
      [ "${SC_LOST_RINGS:-0}" = 1 ] && args+=(--lost-rings)
    fi
  fi
  out=$("$SC_ANALYSIS" "${args[@]}" "$1" 2>>"${SC_ANALYSIS_LOG:-$SC_OUT/analysis.log}")
  result=$?
  # Every fault explained by the host holding every core, but more of them than the cap
  # allows: the stretch proves nothing about the program, and run-all.sh may run it again.
  if [[ $out == "verdict over_cap "* ]] && ! grep '^excused start=' <<<"$out" | grep -qv ' rule=host_steal '; then
    SC_HOST_HELD=1
  fi
  printf '%s\n' "$out" >>"${SC_ANALYSIS_LOG:-$SC_OUT/analysis.log}"
  e2e_log "  ch $4, $2 s to $3 s, want $5 Hz: $(printf '%s\n' "$out" | sed -n 's/^verdict //p')"
  while IFS= read -r line; do e2e_log "    $line"; done < <(printf '%s\n' "$out" | grep -v '^verdict ')
  return $result
}

# sc_trace_reaches WALL: while the program runs, waits up to 2 s for the worker's trace
# ($SC_TRACE, written ten times a second) to reach past the wall-clock time WALL plus the
# sound's way to the recorder, so that a stall there is in it.
sc_trace_reaches() {
  local tries
  kill -0 "${SC_PID:-0}" 2>/dev/null || return 0
  for tries in $(seq 20); do
    awk -v at="$(sc_add "$1" 0.5)" '
      /^# full-duplex/ { wall = ""; for (i = 1; i <= NF; i++) if ($i ~ /^wall=/) wall = substr($i, 6); last = 0; ended = 0; next }
      /^summary/ { ended = 1; next }
      /^#/ { next }
      { last = $1 + 0 }
      END { exit !(ended || (wall != "" && wall + last / 1000 >= at)) }' "$SC_TRACE" && return 0
    sleep 0.1
  done
}

# sc_glitches WAV START END CH FREQ: the discontinuities of a steady tone of FREQ Hz in
# that stretch of channel CH, counted in 1 s windows by the recording analysis
# (independent of anything the program reports about itself), as "BREAKS GAPS": breaks
# of the signal, and gaps of silence where the sound server had nothing to play. A
# figure for the log, never a verdict (sc_has_tone judges): its lines go to
# SC_OUT/figures.log, apart from the judged stretches of analysis.log.
sc_glitches() {
  "$SC_ANALYSIS" --start "$2" --end "$3" --window 1 --tones 1 --glitch-freq "$5" "$1" \
    2>>"$SC_OUT/figures.log" | tee -a "$SC_OUT/figures.log" | awk -v ch="$4" '
    /^window=/ && $0 ~ (" ch=" ch " ") {
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^breaks=/) breaks += substr($i, 8)
        if ($i ~ /^gaps=/) gaps += substr($i, 6)
      }
      windows++
    }
    END { if (!windows) exit 1; print breaks + 0, gaps + 0 }'
}

# sc_trace_dropouts TRACE: the full-duplex worker's dropout count from the last summary
# line of its trace (TONBRIK_DSOUND_TRACE), written when the stream stops.
sc_trace_dropouts() { sed -n 's/^summary .* dropouts=\([0-9]*\).*/\1/p' "$1" 2>/dev/null | tail -n1; }

# sc_steal_ms: CPU time the hypervisor has taken from this virtual machine since it
# started, in ms over all cores (0 on a machine that reports none). A difference of two
# readings over a measured stretch shows whether the machine itself was held up.
sc_steal_ms() {
  awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%d\n", $9 * 1000 / hz; exit }' /proc/stat 2>/dev/null
}

# sc_watch_steal: samples each core's stolen time every 100 ms into SC_OUT/steal.log, the
# evidence sc_has_tone accepts for a stall of the machine.
sc_watch_steal() { e2e_watch_steal "$SC_OUT/steal.log" 0.1; }

# sc_watch_registry_saves: logs each save of the prefix's registry by the wineserver into
# SC_OUT/registry-saves.log, the evidence sc_has_tone accepts for a stall of every Wine
# thread.
sc_watch_registry_saves() {
  SC_SAVES_WATCHED=1
  "$(dirname "$SC_ANALYSIS")/registry_watch" "$WINEPREFIX" >"$SC_OUT/registry-saves.log" 2>&1 &
  e2e_on_exit "kill $! 2>/dev/null"
}

# sc_hogs N: starts N busy loops (the test's own processes); sets SC_HOG_PIDS.
sc_hogs() {
  local i
  SC_HOG_PIDS=()
  for ((i = 0; i < $1; i++)); do
    bash -c 'while :; do :; done' &
    SC_HOG_PIDS+=($!)
    e2e_on_exit "e2e_kill_pid $!"
  done
}

# sc_stop_hogs: ends the busy loops by their process ids.
sc_stop_hogs() {
  local pid
  for pid in "${SC_HOG_PIDS[@]}"; do e2e_kill_pid "$pid"; done
  SC_HOG_PIDS=()
}

# sc_quiet_at WAV START END CH FREQ MAX: true when the amplitude at FREQ stays below MAX.
sc_quiet_at() {
  local line at
  line=$(sc_tone "$1" "$2" "$3" "$4" "$5") || return 1
  printf '%s\n' "$line" >>"${SC_ANALYSIS_LOG:-$SC_OUT/analysis.log}"
  at=$(sc_field "$line" at)
  awk -v a="$at" -v max="$6" 'BEGIN { exit !(a != "" && a < max) }'
}

# sc_onset WAV FREQ LEVEL: the time in seconds of the first 50 ms step at which the
# amplitude at FREQ (channel 0, 100 ms windows) reaches LEVEL; empty if it never does.
sc_onset() {
  "$SC_ANALYSIS" --window 0.1 --hop 0.05 --tones 0 --at "$2" "$1" | awk -v level="$3" '
    /^window=/ { for (i = 1; i <= NF; i++) if ($i ~ /^start=/) start = substr($i, 7) }
    /^at window=/ && / ch=0 / {
      for (i = 1; i <= NF; i++) if ($i ~ /^amp=/ && substr($i, 5) + 0 >= level) { print start; exit }
    }'
}

# Arithmetic on seconds for the ranges above.
sc_add() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a + b }'; }
