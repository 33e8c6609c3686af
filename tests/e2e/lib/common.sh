# Shared helpers of the end-to-end tests: logging, failure, and one exit trap
# that undoes everything a test started, newest first.
# Source this file; it sets no shell options of its own.

E2E_CLEANUPS=()
# A command prefix for the long-running processes the helpers start (display, recorder,
# program): "setsid" keeps them out of the terminal's process group, so a Ctrl+C reaches
# only the script, which then stops them in order (scripts/run.sh).
E2E_DETACH=${E2E_DETACH:-}

e2e_log() { printf '[%s] %s\n' "${E2E_NAME:-e2e}" "$*" >&2; }

e2e_fail() {
  e2e_log "FAIL: $*"
  exit 1
}

# Registers a command to run when the script exits (in reverse order).
e2e_on_exit() { E2E_CLEANUPS+=("$*"); }

e2e_run_cleanups() {
  local i
  for ((i = ${#E2E_CLEANUPS[@]} - 1; i >= 0; i--)); do
    eval "${E2E_CLEANUPS[$i]}" >/dev/null 2>&1 || true
  done
  E2E_CLEANUPS=()
}
trap e2e_run_cleanups EXIT
trap 'exit 130' INT TERM

# e2e_watch_steal FILE SECONDS: until the script ends, notes every SECONDS the wall-clock
# time and each core's stolen CPU time (clock ticks) in FILE. The machines are virtual,
# and now and then the host takes 30 to 50 % of a core for seconds on end.
e2e_watch_steal() {
  (
    while :; do
      printf '%s' "$EPOCHREALTIME"
      awk '/^cpu[0-9]/ { printf " %s", $9 } END { print "" }' /proc/stat
      sleep "$2"
    done
  ) >"$1" 2>/dev/null &
  e2e_on_exit "kill $! 2>/dev/null"
}

# Ends a process this script started, by id: politely, then for good.
e2e_kill_pid() {
  local pid=$1 signal=${2:-TERM} waited=0
  [ -n "$pid" ] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  kill -"$signal" "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 30 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Waits until a command succeeds, polling every 0.1 s; false after `seconds`.
e2e_wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  while ! "$@" 2>/dev/null; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || return 1
    sleep 0.1
  done
}

# Absolute path of a file or folder.
e2e_abspath() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")"); }
