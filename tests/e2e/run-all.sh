#!/usr/bin/env bash
# Runs every end-to-end test (test-*.sh) against a Windows build, one after the
# other (they share the machine's two cores with real-time audio), in one fresh
# Wine prefix. Exits non-zero when any test fails. Each test's output also goes to
# <build>/e2e/<test>.log; the checks that failed, with the lines that led to them, are
# gathered in <build>/e2e/failures.txt and printed at the end.
# Usage: tests/e2e/run-all.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=run-all
. "$here/lib/common.sh"
. "$here/lib/wine.sh"

build=$(e2e_abspath "${1:?usage: run-all.sh <build/windows dir>}")
[ -d "$build" ] || e2e_fail "no build folder $build"
mkdir -p "$build/e2e"

e2e_create_prefix "$build/e2e/prefix"
export WINEPREFIX

failed=()
passed=0
failures="$build/e2e/failures.txt"
: >"$failures"
for test in "$here"/test-*.sh; do
  [ -f "$test" ] || continue
  name=$(basename "$test" .sh)
  e2e_log "--- $name"
  log="$build/e2e/$name.log"
  if timeout --kill-after=10 300 bash "$test" "$build" 2> >(tee "$log" >&2); then
    passed=$((passed + 1))
  else
    failed+=("$name")
    { grep -B3 -E "check failed|FAIL" "$log" || echo "[$name] ended without a verdict (timed out?)"; } >>"$failures"
  fi
done

e2e_log "$passed passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ -s "$failures" ] && cat "$failures" >&2
[ ${#failed[@]} -eq 0 ]
