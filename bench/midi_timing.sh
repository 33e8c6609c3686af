#!/usr/bin/env bash
# MIDI-to-sound latency and jitter under Wine: on the ASIO route at 64, 128 and 256-frame
# buffers, Immediate and Steady MIDI timing, and on the full-duplex route (its fixed ring
# of 7 blocks of 128 frames, Immediate timing, played along with the first size): runs
# tests/e2e/test-midi-timing.sh once per size and prints its figures (the README's
# "Timing" section explains them).
# Usage: bench/midi_timing.sh <build/windows dir> [sizes...]
# Needs the Windows and the native build. E2E_LOCK=<file> runs each size under
# `flock <file>`, for a machine where other Wine sessions play audio too.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: midi_timing.sh <build/windows dir> [sizes...]}
shift
sizes=${*:-64 128 256}
. "$here/../tests/e2e/lib/common.sh"
. "$here/../tests/e2e/lib/wine.sh"
build=$(e2e_abspath "$build")
if [ -z "${WINEPREFIX:-}" ] || [ ! -f "$WINEPREFIX/.tonbrik-ready" ]; then
  e2e_create_prefix "$build/e2e/prefix"
fi
export WINEPREFIX
duplex=1
for frames in $sizes; do
  ${E2E_LOCK:+flock "$E2E_LOCK"} env E2E_TIMING_FRAMES="$frames" E2E_TIMING_DUPLEX=$duplex \
    bash "$here/../tests/e2e/test-midi-timing.sh" "$build" 2>/dev/null ||
    echo "test-midi-timing at $frames frames failed (see $build/e2e/midi-timing-$frames)"
  cat "$build/e2e/midi-timing-$frames/latency.txt" 2>/dev/null
  duplex=0
done
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
