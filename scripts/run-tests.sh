#!/usr/bin/env bash
# Runs the native unit tests (plain, ASan+UBSan, TSan) and the end-to-end tests
# under Wine, then prints one summary. Exits non-zero if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

declare -a names results
failed=0

run_layer() {
  local name=$1
  shift
  echo
  echo "=== $name ==="
  if "$@"; then
    results+=("PASS  $name")
  else
    results+=("FAIL  $name")
    failed=1
  fi
}

for build in native asan tsan; do
  run_layer "unit tests ($build)" ctest --test-dir "build/$build" --output-on-failure -j "$(nproc)"
done

if [ -x tests/e2e/run-all.sh ]; then
  run_layer "end-to-end tests (Wine)" tests/e2e/run-all.sh build/windows
fi

echo
echo "=== Summary ==="
printf '%s\n' "${results[@]}"
if [ $failed -ne 0 ]; then
  echo "Some tests FAILED."
  exit 1
fi
echo "All tests passed."
