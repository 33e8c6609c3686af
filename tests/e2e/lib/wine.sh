# Wine prefixes and running Windows programs in them.
# Needs common.sh. Uses WINEPREFIX if set, else creates one under the build folder.

# Creates a fresh prefix in `dir` (removing an old one): no crash dialog, audio
# through PulseAudio.
e2e_create_prefix() {
  local dir=$1
  command -v wine >/dev/null || e2e_fail "wine is not installed"
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  export WINEPREFIX="$dir" WINEARCH=win64
  e2e_log "creating Wine prefix $dir"
  WINEDEBUG=-all DISPLAY= wineboot -i >/dev/null 2>&1 || e2e_fail "wineboot failed"
  WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD \
    /d 0 /f >/dev/null 2>&1 || e2e_fail "could not turn off the crash dialog"
  WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f \
    >/dev/null 2>&1 || e2e_fail "could not choose the pulse audio driver"
  WINEDEBUG=-all wineserver -w
  touch "$dir/.tonbrik-ready"
}

# Uses the prefix from WINEPREFIX when it is ready, else creates `dir`.
e2e_use_prefix() {
  local dir=$1
  if [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/.tonbrik-ready" ]; then
    export WINEPREFIX WINEARCH=win64
  else
    e2e_create_prefix "$dir"
  fi
  e2e_on_exit "WINEDEBUG=-all wineserver -k"
}

# Starts a Windows program in the background; its output goes to `log`.
# Sets E2E_PROGRAM_PID.
e2e_start_program() {
  local log=$1
  shift
  $E2E_DETACH wine "$@" >"$log" 2>&1 &
  E2E_PROGRAM_PID=$!
  e2e_on_exit "e2e_kill_pid $E2E_PROGRAM_PID"
}

# Waits up to `seconds` for the program started last to end; false if it runs on.
e2e_wait_program() {
  local seconds=$1
  e2e_wait_for "$seconds" e2e_not_running "$E2E_PROGRAM_PID"
}

# An ended child stays a zombie until waited for; that counts as ended.
e2e_not_running() {
  [ -e "/proc/$1" ] || return 0
  [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)" = Z ]
}

# Wine's own complaints about a program: errors, crashes, load failures.
# Fixme lines are Wine's notes about itself, and the winediag channel describes
# the machine (no MIDI synthesizer, no sound card), not the program; so does the
# volume-label notice the file dialogs cause when they list drive Z: as root.
# On a loaded machine Wine's service manager may start late in a fresh prefix;
# the program needs no service, so that complaint is Wine's own as well.
e2e_wine_errors() {
  grep -E ':err:|Unhandled exception|Unhandled page fault|could not load|wine: ' "$1" |
    grep -v -e ':err:winediag:' -e 'wine: Read access denied for device' \
      -e ':err:ole:start_rpcss' || true
}

# The wineserver of the current prefix (WINEPREFIX), by its environment.
e2e_wineserver_pid() {
  local p
  for p in $(pgrep -x wineserver64; pgrep -x wineserver); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$p"
  done | head -n1
}

# e2e_grant_realtime PID: real-time scheduling (SCHED_FIFO 10) for every thread of the
# Windows program PID and of its wineserver, through which every event and wait of the
# program passes, and of our private PulseAudio server, whose main thread answers Wine's
# stream (PulseAudio makes only its device threads real-time). Wine 8 maps no thread
# priority to the host scheduler, so a time-critical audio thread runs as an ordinary
# one unless granted this from outside; needs root (or CAP_SYS_NICE). False if it could
# not be granted.
e2e_grant_realtime() {
  local server pulse
  server=$(e2e_wineserver_pid)
  [ -n "$server" ] && chrt -a -f -p 10 "$1" >/dev/null 2>&1 && chrt -a -f -p 10 "$server" >/dev/null 2>&1 ||
    return 1
  pulse=$(cat "${PULSE_RUNTIME_PATH:-/nonexistent}/pid" 2>/dev/null)
  [ -z "$pulse" ] || chrt -a -f -p 10 "$pulse" >/dev/null 2>&1 || true
}
