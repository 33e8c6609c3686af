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
  SC_REGISTRY_FILE=$(stat -c %i "$WINEPREFIX/system.reg" 2>/dev/null)
  e2e_start_program "$SC_OUT/tonbrik.log" "$SC_EXE"
  SC_PID=$E2E_PROGRAM_PID
  [ -s "$SC_OUT/steal.log" ] || sc_watch_steal
  sc_probe --timeout 20000 wait-window >/dev/null || {
    cat "$SC_OUT/tonbrik.log" "$SC_OUT/probe.last" >&2
    e2e_fail "no window captioned \"Tonbrik\" appeared"
  }
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
# written the machine's registry (system.reg) since sc_start, up to SECONDS (default 45).
# Wine 8 rewrites registry values at every start: each sound endpoint's state when a
# program opens audio, the display adapter's driver date when a session starts. The
# wineserver saves what changed every 30 s from its own start, and while it writes the
# 1.7 MB file no Wine thread gets an event or a wait through (20 to 80 ms measured, more
# than the 18.7 ms ring), so the sound breaks or stops once, about 30 s into every
# session, whatever the program does. A scenario that measures the sound for that long
# starts its measured stretch after this save; the save replaces the file, so its inode
# changes. False (logged) if no save came.
sc_registry_replaced() { [ "$(stat -c %i "$WINEPREFIX/system.reg" 2>/dev/null)" != "$SC_REGISTRY_FILE" ]; }
sc_wait_registry_saved() {
  local seconds=${1:-45} waited
  waited=$(date +%s.%N)
  if e2e_wait_for "$seconds" sc_registry_replaced; then
    e2e_log "the wineserver saved the registry; waited $(awk -v a="$waited" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s for it"
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
  if "$@" >/dev/null; then
    e2e_log "ok: $what"
  else
    e2e_log "check failed: $what"
    SC_FAILURES=$((SC_FAILURES + 1))
  fi
}

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
    2>>"$SC_OUT/analysis.log") || return 1
  printf '%s at=%s\n' "$(printf '%s\n' "$out" | grep "^window=0 .* ch=$ch ")" \
    "$(printf '%s\n' "$out" | sed -n "s/^at window=0 ch=$ch .* amp=//p")"
}

# sc_has_tone WAV START END CH FREQ TOL AMIN AMAX: true when a tone within TOL Hz of
# FREQ sounds with an amplitude between AMIN and AMAX in that stretch of channel CH,
# without a break: on an idle machine a correct program records none, on either route.
# The recording analysis tells breaks of the program's signal from gaps, stretches of
# exact silence the sound server plays when Wine's mixer (not the program) delivered
# nothing in time. The stretch is cut into 100 ms
# windows and the tone is judged by the medians over the less disturbed half of them, so
# a glitch is reported as such and not as a wrong frequency or level. SC_MAX_GLITCHES
# (default 0) is the number of breaks the stretch may hold. A window whose only
# glitches are gaps passes where the worker's trace proves that Wine's mixer stalled
# then (sc_mixer_stall_windows): Wine's mixer stalls for 20 to 100 ms about once a
# minute on an idle machine. No other gap passes.
sc_has_tone() {
  local out verdict result excused stalled=""
  out=$("$SC_ANALYSIS" --start "$2" --end "$3" --window 0.1 --tones 4 --glitch-freq "$5" "$1" \
    2>>"$SC_OUT/analysis.log") || return 1
  printf '%s\n' "$out" | grep " ch=$4 " >>"$SC_OUT/analysis.log"
  excused=$(printf '%s\n' "$out" | grep "^window=.* ch=$4 " | sc_stolen_windows)
  stalled=$(printf '%s\n' "$out" | grep "^window=.* ch=$4 " | sc_mixer_stall_windows)
  verdict=$(printf '%s\n' "$out" | grep "^window=.* ch=$4 " | awk -v want="$5" -v tol="$6" \
    -v lo="$7" -v hi="$8" -v maxg="${SC_MAX_GLITCHES:-0}" \
    -v excused=" $excused " -v stalled=" $stalled " '
    # n counts from a number: an unset variable would index the first window as "".
    BEGIN { n = 0 }
    {
      best = -1
      for (i = 1; i <= NF; i++) if ($i ~ /^start=/ && index(excused, " " substr($i, 7) " ")) {
        skipped++
        next
      }
      for (i = 1; i <= NF; i++) if ($i ~ /^start=/ && index(stalled, " " substr($i, 7) " ")) {
        stalls++
        next
      }
      for (i = 1; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] ~ /^f[0-9]+$/) f[substr(kv[1], 2)] = kv[2]
        if (kv[1] ~ /^a[0-9]+$/) a[substr(kv[1], 2)] = kv[2]
        if (kv[1] == "glitches") g[n] = kv[2]
        if (kv[1] == "breaks") breaks += kv[2]
        if (kv[1] == "gaps") gaps += kv[2]
      }
      for (k in f) {
        d = f[k] - want
        if (d < 0) d = -d
        if (d <= 20 && (best < 0 || d < bestd)) { best = k; bestd = d }
      }
      freq[n] = best < 0 ? -1 : f[best]
      amp[n] = best < 0 ? 0 : a[best]
      glitches += g[n]
      delete f
      delete a
      n++
    }
    function median(values, count,    i, j, t) {
      for (i = 1; i < count; i++)
        for (j = i; j > 0 && values[j - 1] > values[j]; j--) { t = values[j]; values[j] = values[j - 1]; values[j - 1] = t }
      return count % 2 ? values[int(count / 2)] : (values[count / 2 - 1] + values[count / 2]) / 2
    }
    END {
      if (n == 0) { print "no windows"; exit 1 }
      for (i = 0; i < n; i++) order[i] = i
      for (i = 1; i < n; i++)
        for (j = i; j > 0 && g[order[j - 1]] > g[order[j]]; j--) { t = order[j]; order[j] = order[j - 1]; order[j - 1] = t }
      keep = int((n + 1) / 2)
      for (i = 0; i < keep; i++) { fs[i] = freq[order[i]]; as[i] = amp[order[i]] }
      fm = median(fs, keep)
      am = median(as, keep)
      printf "%.2f Hz at %.4f (median of the %d least disturbed of %d windows; %d glitches: %d breaks, %d gaps)%s%s\n", fm, am, keep, n, glitches, breaks, gaps, skipped ? sprintf("; %d windows left out: the hypervisor held a core", skipped) : "", stalls ? sprintf("; %d windows with gaps left out: the worker\047s trace shows Wine\047s mixer stalled", stalls) : ""
      exit !(fm >= want - tol && fm <= want + tol && am >= lo && am <= hi && breaks <= maxg && gaps == 0)
    }')
  result=$?
  e2e_log "  ch $4, $2 s to $3 s, want $5 Hz: $verdict"
  return $result
}

# sc_windows_where SELECT TEST: reads analysis window lines on stdin and prints the start
# of each window the awk pattern SELECT picks for which TEST FROM TO holds, FROM and TO
# being the window's wall-clock stretch; nothing when the recording's start is unknown.
sc_windows_where() {
  local start end
  [ -n "${E2E_WAV_WALL:-}" ] || { cat >/dev/null; return 0; }
  awk "$1"' { for (i = 1; i <= NF; i++) {
      if ($i ~ /^start=/) s = substr($i, 7); if ($i ~ /^end=/) e = substr($i, 5) }
    print s, e }' | while read -r start end; do
    "$2" "$(sc_add "$E2E_WAV_WALL" "$start")" "$(sc_add "$E2E_WAV_WALL" "$end")" >/dev/null &&
      printf '%s ' "$start"
  done
}

# sc_stolen_windows: of the analysis window lines on stdin, the starts of those holding a
# discontinuity where a core was held by the hypervisor (sc_stolen_at).
sc_stolen_windows() {
  [ -s "$SC_OUT/steal.log" ] || { cat >/dev/null; return 0; }
  sc_windows_where '!/ glitches=0/' sc_stolen_at
}

# sc_mixer_stall_windows: of the analysis window lines on stdin, the starts of those whose
# glitches are all gaps and where the worker's trace proves that Wine's mixer stalled
# (sc_trace_stall_at).
sc_mixer_stall_windows() {
  [ -s "${SC_TRACE:-}" ] || { cat >/dev/null; return 0; }
  sc_windows_where '/ breaks=0 / && !/ gaps=0/' sc_trace_stall_at
}

# sc_trace_stall_at FROM TO: true when the worker's trace ($SC_TRACE) proves a stall of
# Wine's mixer ($SC_AWK_MIXER_STALL) within half a second of that
# wall-clock stretch: the sound reaches the recorder some tens of ms after the worker,
# and the recording's start is known to a few ms. While the stream runs, it waits up to
# 2 s for the trace to reach past the stretch.
sc_trace_stall_at() {
  local tries
  for tries in $(seq 20); do
    awk -v at="$(sc_add "$2" 0.5)" '
      /^# full-duplex/ { wall = ""; for (i = 1; i <= NF; i++) if ($i ~ /^wall=/) wall = substr($i, 6); last = 0; ended = 0; next }
      /^summary/ { ended = 1; next }
      /^#/ { next }
      { last = $1 + 0 }
      END { exit !(ended || (wall != "" && wall + last / 1000 >= at)) }' "$SC_TRACE" && break
    sleep 0.1
  done
  awk -v from="$(sc_add "$1" -0.5)" -v to="$(sc_add "$2" 0.5)" "$SC_AWK_MIXER_STALL"'
    /^# full-duplex/ { wall = ""; for (i = 1; i <= NF; i++) if ($i ~ /^wall=/) wall = substr($i, 6); prev = -1
      ring = $6 * $9 * 1000 / $4; next }
    /^#/ || /^summary/ || wall == "" { next }
    {
      t = $1 + 0
      if (mixer_stall(t, prev, ring) && wall + t / 1000 >= from && wall + prev / 1000 <= to) found = 1
      prev = t
    }
    END { exit !found }' "$SC_TRACE"
}

# sc_unproven_gaps WAV START END CH FREQ: the gaps in that stretch of channel CH, counted
# in 100 ms windows, that neither a stall of Wine's mixer the worker's trace shows there
# (sc_mixer_stall_windows) nor the hypervisor (sc_stolen_windows) accounts for; "x" when
# the stretch cannot be analysed.
sc_unproven_gaps() {
  local out excused stalled
  out=$("$SC_ANALYSIS" --start "$2" --end "$3" --window 0.1 --tones 1 --glitch-freq "$5" "$1" \
    2>>"$SC_OUT/analysis.log" | grep "^window=.* ch=$4 ")
  [ -n "$out" ] || { echo x; return 1; }
  excused=$(printf '%s\n' "$out" | sc_stolen_windows)
  stalled=$(printf '%s\n' "$out" | sc_mixer_stall_windows)
  printf '%s\n' "$out" | awk -v skip=" $excused $stalled " '{
      for (i = 1; i <= NF; i++) { if ($i ~ /^start=/) s = substr($i, 7); if ($i ~ /^gaps=/) g = substr($i, 6) }
      if (!index(skip, " " s " ")) gaps += g }
    END { print gaps + 0 }'
}

# sc_unexcused_breaks WAV START END CH FREQ: the breaks in that stretch of channel CH,
# counted in 100 ms windows, outside the windows where the hypervisor held a core
# (sc_stolen_windows); "x" when the stretch cannot be analysed.
sc_unexcused_breaks() {
  local out excused
  out=$("$SC_ANALYSIS" --start "$2" --end "$3" --window 0.1 --tones 1 --glitch-freq "$5" "$1" \
    2>>"$SC_OUT/analysis.log" | grep "^window=.* ch=$4 ")
  [ -n "$out" ] || { echo x; return 1; }
  excused=$(printf '%s\n' "$out" | sc_stolen_windows)
  printf '%s\n' "$out" | awk -v skip=" $excused " '{
      for (i = 1; i <= NF; i++) { if ($i ~ /^start=/) s = substr($i, 7); if ($i ~ /^breaks=/) b = substr($i, 8) }
      if (!index(skip, " " s " ")) breaks += b }
    END { print breaks + 0 }'
}

# sc_glitches WAV START END CH FREQ: the discontinuities of a steady tone of FREQ Hz in
# that stretch of channel CH, counted in 1 s windows by the recording analysis
# (independent of anything the program reports about itself), as "BREAKS GAPS": breaks
# of the signal, and gaps of silence where the sound server had nothing to play.
sc_glitches() {
  "$SC_ANALYSIS" --start "$2" --end "$3" --window 1 --tones 1 --glitch-freq "$5" "$1" \
    2>>"$SC_OUT/analysis.log" | tee -a "$SC_OUT/analysis.log" | awk -v ch="$4" '
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

# sc_trace_dropouts_after TRACE MS: the dropouts the worker counted from MS milliseconds
# after its first wake-up on (in the last run of the trace).
sc_trace_dropouts_after() {
  awk -v ms="$2" '/^# full-duplex/ { n = 0; at = -1; last = 0; next } /^#/ { next }
    /^summary/ { next }
    { if (at < 0 && $1 + 0 >= ms) at = $6; last = $6 }
    END { if (at < 0) at = last; print last - at }' "$1" 2>/dev/null
}

# The awk test, on a wake-up line of the worker's trace, for a stall of Wine's mixer:
# the wake-up came more than a ring's time (RING ms, from the header's rate, blocks and
# frames) after the one before (at PREV ms, -1 for none), yet took no more than one mixer
# stretch of notifications (4 blocks) and found no ring lost. Had the worker been late,
# the mixer would have signalled every block meanwhile; so the sound service itself
# (Wine's mixer) did not run for longer than the ring, and the sound server, given
# nothing, may have played a gap of silence. Such gaps are not the program's.
SC_AWK_MIXER_STALL='function mixer_stall(t, prev, ring,   taken) {
  return prev >= 0 && t - prev > ring && NF < 8 && split($4, taken, ",") <= 4 }'

# sc_trace_mixer_stalls TRACE [FROM_MS TO_MS]: how many wake-ups (from FROM_MS to TO_MS
# after the first) show a stall of Wine's mixer ($SC_AWK_MIXER_STALL).
sc_trace_mixer_stalls() {
  awk -v from="${2:-0}" -v to="${3:-1e18}" "$SC_AWK_MIXER_STALL"'
    /^# full-duplex/ { prev = -1; count = 0; ring = $6 * $9 * 1000 / $4; next }
    /^#/ || /^summary/ { next }
    {
      t = $1 + 0
      if (t >= from && t <= to && mixer_stall(t, prev, ring)) count++
      prev = t
    }
    END { print count + 0 }' "$1" 2>/dev/null
}

# sc_trace_mixer_overruns TRACE: the trace times (ms) of the lost rings that Wine's
# mixer caused by taking more than the whole ring at once: every block's notification
# came within half a ring's time, in wake-ups the first of which came less than a ring
# after the one before. A mixer that runs a period late catches up with two periods in
# one stretch (960 frames at 48 kHz), more than a ring of 7 x 128 frames holds; the
# worker was not away for a ring, so nothing it could have written was missing.
sc_trace_mixer_overruns() {
  awk '
    BEGIN { n = 0 }
    /^# full-duplex/ {
      n = 0
      blocks = $6; ring = 1000 * $6 * $9 / $4  # "48000 Hz, 7 blocks of 128 frames"
      next
    }
    /^#/ || /^summary/ { next }
    {
      t = times[n] = $1 + 0
      taken[n] = $4
      lost[n] = / (whole-ring|ring-went-round|stall)$/
      n++
      if (!lost[n - 1]) next
      split("", got)
      count = 0
      for (k = n - 1; k >= 0 && t - times[k] <= ring / 2; k--) {
        m = split(taken[k], b, ",")
        for (i = 1; i <= m; i++) if (b[i] != "-" && !(b[i] in got)) { got[b[i]] = 1; count++ }
        first = k
      }
      if (count >= blocks && first > 0 && times[first] - times[first - 1] < ring)
        for (k = first; k < n; k++) if (lost[k]) printf "%.3f\n", times[k]
    }' "$1" 2>/dev/null | sort -un
}

# sc_trace_late_wakeups TRACE [FROM_MS TO_MS]: the wake-ups that came more than 14 ms
# after the one before (Wine's mixer signals every 10 ms). Many of them mean the mixer
# itself ran irregularly: for telling a disturbed machine from a fault of the program.
sc_trace_late_wakeups() {
  awk -v from="${2:-0}" -v to="${3:-1e18}" '
    /^# full-duplex/ { prev = -1; count = 0; next }
    /^#/ || /^summary/ { next }
    { t = $1 + 0; if (prev >= 0 && t - prev > 14 && t >= from && t <= to) count++; prev = t }
    END { print count + 0 }' "$1" 2>/dev/null
}

# sc_steal_ms: CPU time the hypervisor has taken from this virtual machine since it
# started, in ms over all cores (0 on a machine that reports none). A difference of two
# readings over a measured stretch shows whether the machine itself was held up.
sc_steal_ms() {
  awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%d\n", $9 * 1000 / hz; exit }' /proc/stat 2>/dev/null
}

# sc_watch_steal: samples the stolen time every 100 ms into SC_OUT/steal.log, for
# sc_stolen_ms.
sc_watch_steal() { e2e_watch_steal "$SC_OUT/steal.log" 0.1; }

# sc_stolen_ms FROM TO: the most CPU time (ms) the hypervisor took from any one core
# between the wall-clock times FROM and TO (seconds; the samples around them count).
sc_stolen_ms() {
  awk -v a="$1" -v b="$2" -v hz="$(getconf CLK_TCK)" '
    { t = $1 + 0
      if (n == 0 || t <= a) for (i = 2; i <= NF; i++) s0[i] = $i
      if (t <= b || !done) { for (i = 2; i <= NF; i++) s1[i] = $i; if (t >= b) done = 1 }
      n++ }
    END { for (i in s1) if (s1[i] - s0[i] > most) most = s1[i] - s0[i]; print most * 1000 / hz + 0 }
  ' "$SC_OUT/steal.log" 2>/dev/null
}

# sc_stolen_at FROM TO: true when, between the wall-clock times FROM and TO widened by
# half a second each side, a core lost more than two rings' time (40 ms) to the
# hypervisor: a stall there is the machine's, not the program's or Wine's. (An idle
# machine here loses a 10 ms clock tick to it now and then; when the host is busy, a
# core loses 30 to 50 % of a second.) Prints what was taken.
sc_stolen_at() {
  local ms
  ms=$(sc_stolen_ms "$(sc_add "$1" -0.5)" "$(sc_add "$2" 0.5)")
  echo "${ms:-0}"
  awk -v m="${ms:-0}" 'BEGIN { exit !(m >= 40) }'
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
  printf '%s\n' "$line" >>"$SC_OUT/analysis.log"
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

# sc_trace_ms SECONDS ONSET: the time on the worker's trace clock (ms from its first
# wake-up) of a place SECONDS into a recording whose tone started at ONSET seconds.
sc_trace_ms() { awk -v t="$1" -v o="${2:-0}" 'BEGIN { printf "%.0f\n", (t - o) * 1000 }'; }

# Arithmetic on seconds for the ranges above.
sc_add() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a + b }'; }
