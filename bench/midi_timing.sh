#!/usr/bin/env bash
# MIDI-to-sound latency and jitter under Wine, every route in both MIDI timings, one run
# each on the same machine: the ASIO route (the virtual driver at 128 frames, or the
# sizes given), then, with the first size, the routes without ASIO: DirectSound full
# duplex (7 blocks of 128 frames), WASAPI shared and WASAPI exclusive (which Wine 8
# refuses: the window then plays shared, and the table says so). Runs
# tests/e2e/test-midi-timing.sh once per size and prints its figures and a table (the
# README's "Timing" section explains what each figure includes).
# Usage: bench/midi_timing.sh <build/windows dir> [sizes...]
# Needs the Windows and the native build. E2E_LOCK=<file> runs each size under
# `flock <file>`, for a machine where other Wine sessions play audio too.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: midi_timing.sh <build/windows dir> [sizes...]}
shift
sizes=${*:-128}
. "$here/../tests/e2e/lib/common.sh"
. "$here/../tests/e2e/lib/wine.sh"
build=$(e2e_abspath "$build")
if [ -z "${WINEPREFIX:-}" ] || [ ! -f "$WINEPREFIX/.tonbrik-ready" ]; then
  e2e_create_prefix "$build/e2e/prefix"
fi
export WINEPREFIX
duplex=1
all=$(mktemp)
for frames in $sizes; do
  ${E2E_LOCK:+flock "$E2E_LOCK"} env E2E_TIMING_FRAMES="$frames" E2E_TIMING_DUPLEX=$duplex \
    E2E_TIMING_DUPLEX_MODE="Immediate Steady" \
    E2E_TIMING_SYSTEM_ROUTES="DirectSound WasapiShared WasapiExclusive" \
    bash "$here/../tests/e2e/test-midi-timing.sh" "$build" 2>/dev/null ||
    echo "test-midi-timing at $frames frames failed (see $build/e2e/midi-timing-$frames)"
  cat "$build/e2e/midi-timing-$frames/latency.txt" 2>/dev/null | tee -a "$all"
  duplex=0
done
echo
echo "| Route | MIDI timing | mean ms | jitter (std) ms | min–max ms | figure |"
echo "|---|---|---|---|---|---|"
# ASIO: on the driver's sample clock; the others: on a line fitted to the stream's
# position readings (the "clock" figure).
awk '
  function field(name,   i, kv) {
    for (i = 3; i <= NF; i++) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
  }
  $1 == "route" { split($2, rm, "-"); opened[rm[1]] = substr($0, index($0, "opened=") + 7) }
  $1 == "steady-clock" || $1 == "clock" {
    n = split($2, part, "-")
    route = part[1]; mode = part[n]
    if (route == "asio") route = "ASIO " part[2] " frames"
    rows[++count] = route "|" mode "|" field("mean_ms") "|" field("std_ms") "|" \
      field("min_ms") "–" field("max_ms") "|" $1
  }
  END {
    for (i = 1; i <= count; i++) {
      split(rows[i], r, "|")
      name = r[1]
      if (name == "DirectSound") name = "DirectSound full duplex"
      else if (name in opened) name = name " (" opened[name] ")"
      printf "| %s | %s | %s | %s | %s | %s |\n", name, r[2], r[3], r[4], r[5], r[6]
    }
  }' "$all"
grep '^load' "$all" | sed 's/^/# /'
rm -f "$all"
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
