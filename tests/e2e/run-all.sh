#!/usr/bin/env bash
# Runs every end-to-end test (test-*.sh) against a Windows build, one after the
# other (they share the machine's two cores with real-time audio), in one fresh
# Wine prefix. Exits non-zero when any test fails. Each test's output also goes to
# <build>/e2e/<test>.log; the checks that failed, with the lines that led to them, are
# gathered in <build>/e2e/failures.txt and printed at the end.
# Usage: tests/e2e/run-all.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

. "$here/lib/fixed_layout.sh"

E2E_NAME=run-all
. "$here/lib/common.sh"
. "$here/lib/wine.sh"

build=$(e2e_abspath "${1:?usage: run-all.sh <build/windows dir>}")
[ -d "$build" ] || e2e_fail "no build folder $build"
mkdir -p "$build/e2e"

e2e_create_prefix "$build/e2e/prefix"
export WINEPREFIX

# Each core's stolen time every second, so that a failure can be told from one the
# machine caused.
steal_log="$build/e2e/steal.log"
e2e_watch_steal "$steal_log" 1

# held_since WALL: true when, since the wall-clock time WALL, a core lost at least a
# tenth of a second to the host.
held_since() {
  awk -v from="$1" -v hz="$(getconf CLK_TCK)" '$1 + 0 >= from - 1 {
      if (n++) for (i = 2; i <= NF; i++) if (($i - p[i]) * 1000 / hz >= 100) held = 1
      for (i = 2; i <= NF; i++) p[i] = $i }
    END { exit !held }' "$steal_log"
}

# run_test TEST LOG: one run of a scenario, its output also in LOG.
run_test() { timeout --kill-after=10 300 bash "$1" "$build" 2> >(tee "$2" >&2); }

failed=()
passed=0
again=()
failures="$build/e2e/failures.txt"
: >"$failures"
for test in "$here"/test-*.sh; do
  [ -f "$test" ] || continue
  name=$(basename "$test" .sh)
  e2e_log "--- $name"
  log="$build/e2e/$name.log"
  # A failure while the host held a core is that run's, not the program's: the scenario
  # runs again, at most twice (the host's storms last up to minutes), and the last run
  # must pass. Any other failure stands.
  for try in 1 2 3; do
    start=$EPOCHREALTIME
    if run_test "$test" "$log"; then
      passed=$((passed + 1))
      continue 2
    fi
    [ "$try" -lt 3 ] && held_since "$start" || break
    e2e_log "$name failed while the host held a core (steal.log): it runs again"
    kept=.held
    [ "$try" = 2 ] && kept=.held2
    mv "$log" "$build/e2e/$name$kept.log"
    # The scenario's own folder (recordings, traces) is kept beside the log.
    folder=$(sed -n 's/.*FAIL: .*(see \(.*\))$/\1/p' "$build/e2e/$name$kept.log" | tail -n1)
    [ -d "$folder" ] && rm -rf "$folder$kept" && mv "$folder" "$folder$kept"
    [ "$try" = 2 ] || again+=("$name")
  done
  failed+=("$name")
  { grep -B3 -E "check failed|FAIL" "$log" || echo "[$name] ended without a verdict (timed out?)"; } >>"$failures"
done

[ ${#again[@]} -eq 0 ] || e2e_log "run again after the host held a core: ${again[*]}"
e2e_log "$passed passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ -s "$failures" ] && cat "$failures" >&2
[ ${#failed[@]} -eq 0 ]
