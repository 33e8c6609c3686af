#!/usr/bin/env bash
# Runs the source checks, the native unit tests (plain, ASan+UBSan, TSan) and the
# end-to-end tests under Wine, then prints one summary with each unit test
# program's counts. Exits non-zero if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

declare -a results details
failed=0
logs=build/test-logs
mkdir -p "$logs"

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

# Every tracked C++ file keeps the repository's format.
check_format() {
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
}

# The sources of synth/ audio/ midi/ app/ a compilation database lists.
# Engine and window code says what a result means: no result code is returned or
# compared as a bare negative number (names live in audio_result.h, midi_result.h
# and beside the few other markers). The README's code tables match the names.
check_result_names() {
  local bare
  bare=$(git grep -nE "return -[0-9]|[=!<>]= -[0-9]" -- synth audio midi app common || true)
  if [ -n "$bare" ]; then
    echo "bare negative result values (give them a name):"
    echo "$bare"
    return 1
  fi
  scripts/result-codes.sh --check
}

db_sources() {
  sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$1" |
    grep -E "^$(pwd -P)/(synth|audio|midi|app)/" | sort -u
}

# tidy ARGS: clang-tidy over the files named on stdin, one per core, without the counts
# of warnings it suppressed (those in system headers and of checks not chosen).
tidy() {
  xargs -r -P "$(nproc)" -n 1 clang-tidy --quiet --extra-arg=-Wno-unknown-warning-option "$@" 2>&1 |
    grep -v '^[0-9]* warnings\{0,1\}\( and [0-9]* errors\{0,1\}\)\{0,1\} generated\.$'
  return "${PIPESTATUS[0]}"
}

# Static analysis with the checks .clang-tidy names (and says why). The engines and the
# window-free parts of the program are checked as the native build compiles them, the
# window code, which only the cross build compiles, against the mingw-w64 headers (clang
# finds mingw's C headers for that target by itself, not the C++ library of its g++).
# GCC-only warning options and pragmas are no fault here.
check_tidy() {
  local native=build/native/compile_commands.json cross=build/windows/compile_commands.json
  local -a window_files cross_args
  local db cxx dir status start=$SECONDS
  for db in "$native" "$cross"; do
    [ -f "$db" ] || {
      echo "no $db: build native and windows first"
      return 1
    }
  done
  mapfile -t window_files < <(comm -13 <(db_sources "$native") <(db_sources "$cross"))
  cxx=$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p' "$cross" | head -n1)
  cross_args=(--extra-arg=--target=x86_64-w64-mingw32)
  while read -r dir; do
    cross_args+=("--extra-arg=-isystem$dir")
  done < <("$cxx" -xc++ -E -v /dev/null 2>&1 | sed -n 's|^ \(/.*/include/c++.*\)$|\1|p')
  db_sources "$native" | tidy -p build/native
  status=$?
  printf '%s\n' "${window_files[@]}" | tidy -p build/windows "${cross_args[@]}" || status=1
  echo "clang-tidy: $(db_sources "$native" | wc -l) native and ${#window_files[@]} cross-built files in $((SECONDS - start)) s"
  return "$status"
}

# ctest names each test "<program>.<suite>.<test>"; count passes and failures
# per program from its log.
count_per_program() {
  local build=$1 log=$2
  sed -nE 's/.*Test +#[0-9]+: ([^ .]+)\.[^ ]* .*(Passed|Failed|Not Run|Timeout|Exception).*/\1 \2/p' "$log" |
    awk -v build="$build" '
      { seen[$1] = 1; if ($2 == "Passed") pass[$1]++; else fail[$1]++ }
      END {
        for (p in seen)
          printf "      %-6s %-24s %4d passed, %d failed\n", build, p, pass[p] + 0, fail[p] + 0
      }' | sort
}

run_unit_tests() {
  local build=$1 log="$logs/unit-$1.log"
  ctest --test-dir "build/$build" --output-on-failure -j "$(nproc)" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  mapfile -t lines < <(count_per_program "$build" "$log")
  details+=("${lines[@]}")
  return "$status"
}

run_layer "source format (clang-format)" check_format
run_layer "named result codes" check_result_names
run_layer "static analysis (clang-tidy)" check_tidy
for build in native asan tsan; do
  run_layer "unit tests ($build)" run_unit_tests "$build"
done

if [ -x tests/e2e/run-all.sh ]; then
  run_layer "end-to-end tests (Wine)" tests/e2e/run-all.sh build/windows
fi

echo
echo "=== Summary ==="
printf '%s\n' "${results[@]}"
if [ ${#details[@]} -gt 0 ]; then
  echo
  echo "Unit test programs:"
  printf '%s\n' "${details[@]}"
fi
# What the end-to-end checks left out, per rule, and the scenarios that passed only on a
# rerun: a pass is reported with what it needed.
if [ -s build/windows/e2e/summary.txt ]; then
  echo
  cat build/windows/e2e/summary.txt
fi
# Last, so that a report showing only the end of the output still says what failed.
if [ -s build/windows/e2e/failures.txt ]; then
  echo
  echo "End-to-end checks that failed (and the lines before them):"
  cat build/windows/e2e/failures.txt
fi
if [ $failed -ne 0 ]; then
  echo "Some tests FAILED."
  exit 1
fi
echo "All tests passed."
