#!/usr/bin/env bash
# The WASAPI route under Wine, outside the window: the check tool (tools/wasapi_check)
# plays a 440 Hz tone from a rack for 5 s in shared mode on the null sink, and the
# sink's recording holds it on both channels without a break. Then it asks for
# exclusive mode and logs what Wine answers; the route must play either way (exclusive,
# or shared after the refusal). Wine 8 over PulseAudio answers every exclusive format
# with AUDCLNT_E_UNSUPPORTED_FORMAT, gives no smaller shared period than its default
# (10 ms, 480 frames, a buffer of 1440), and the tone records unbroken at 0.0999.
# Usage: test-wasapi.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=wasapi
. "$here/lib/common.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

build=$(e2e_abspath "${1:?usage: test-wasapi.sh <build/windows dir>}")
SC_OUT="$build/e2e/wasapi"
SC_ANALYSIS=${E2E_AUDIO_ANALYSIS:-$(dirname "$build")/native/tools/audio_analysis/audio_analysis}
tool="$build/tools/wasapi_check.exe"
for file in "$tool" "$SC_ANALYSIS"; do
  [ -f "$file" ] || e2e_fail "no $file"
done
rm -rf "$SC_OUT"
mkdir -p "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$build/e2e/prefix"
cp "$tool" "$SC_OUT/"
cd "$SC_OUT" || exit 1

# run MODE SECONDS: the tool's output in MODE.log; true when it ended with OK.
run() {
  WINEDEBUG=-all timeout 60 wine "$SC_OUT/wasapi_check.exe" "$1" "$2" 2>&1 | tr -d '\r' >"$SC_OUT/$1.log"
  while IFS= read -r line; do e2e_log "  $1: $line"; done <"$SC_OUT/$1.log"
  grep -qx OK "$SC_OUT/$1.log"
}

wav="$SC_OUT/shared.wav"
e2e_start_recording "$wav"
sc_check "shared: the route opens, plays 5 s and is not lost" run shared 5
sc_check "shared: no dropouts" grep -q '^dropouts 0,' "$SC_OUT/shared.log"
e2e_stop_recording
onset=$(sc_onset "$wav" 440 0.02)
if [ -z "$onset" ]; then
  sc_check "shared: the tone is recorded" false
else
  e2e_log "tone from $onset s"
  from=$(sc_add "$onset" 0.5)
  to=$(sc_add "$onset" 4.3)
  for ch in 0 1; do
    sc_check "shared, channel $ch: 440 Hz unbroken" sc_has_tone "$wav" "$from" "$to" $ch 440 2 0.09 0.11
  done
fi

sc_check "exclusive asked: the route plays (exclusive or shared)" run exclusive 2
sc_finish
