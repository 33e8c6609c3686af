#!/usr/bin/env bash
# The sound-file rules on the Windows file system under Wine: replacing a file,
# refusing files another program holds open, leaving no temporary files.
# Usage: test-sound-file-rules.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=sound-file-rules
. "$here/lib/common.sh"
. "$here/lib/wine.sh"

build=$(e2e_abspath "${1:?usage: test-sound-file-rules.sh <build/windows dir>}")
tool="$build/tools/sound_file_check/sound_file_check.exe"
[ -f "$tool" ] || e2e_fail "no $tool"
e2e_use_prefix "$build/e2e/prefix"

folder="$WINEPREFIX/drive_c/sound_file_check"
rm -rf "$folder"
mkdir -p "$folder"
WINEDEBUG=-all wine "$tool" 'C:\sound_file_check' 2>&1 | tr -d '\r' | tee "$build/e2e/sound-file-rules.log"
status=${PIPESTATUS[0]}
rm -rf "$folder"
[ "$status" -eq 0 ] || e2e_fail "sound_file_check reported failures"
e2e_log "PASS"
