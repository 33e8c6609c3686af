#!/usr/bin/env bash
# Without an ASIO driver the program runs on the full-duplex route: the ASIO check box is
# disabled, both audio states read "active", and the start-up tone (7000 rad/s, 1114 Hz,
# amplitude 0.05) sounds on both channels of the sound device.
# Usage: test-startup-tone.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=startup-tone
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-startup-tone.sh <build/windows dir>}" startup-tone
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
sc_stage_program
e2e_start_recording "$SC_OUT/output.wav"
sc_start

sc_check "ASIO check box disabled" sc_control_has $IDC_ASIO enabled 0
sc_check "audio in active" sc_shows $IDC_AUDIO_IN_STATE active
sc_check "audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
sc_check "audio device names shown" test -n "$(sc_text $IDC_AUDIO_OUT_NAME)"
sleep 3
e2e_stop_recording
sc_screenshot window

wav="$SC_OUT/output.wav"
seconds=$(sc_wav_seconds "$wav")
e2e_log "recorded $seconds s"
from=$(sc_add "$seconds" -2.2)
to=$(sc_add "$seconds" -0.2)
for ch in 0 1; do
  sc_check "channel $ch: 1114 Hz at about 0.05" sc_has_tone "$wav" "$from" "$to" $ch 1114.08 2 0.04 0.06
done

sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
sc_finish
