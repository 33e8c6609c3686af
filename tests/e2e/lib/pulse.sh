# A private PulseAudio server with a null sink and a null source: a sound card
# for Wine on machines without one. What the program plays is recorded from the
# sink's monitor into a WAV file, paced in real time by the null sink.
# Sets PULSE_RUNTIME_PATH, PULSE_STATE_PATH, PULSE_SERVER (exported).

e2e_start_pulse() {
  local dir=$1
  command -v pulseaudio >/dev/null || e2e_fail "pulseaudio is not installed"
  local run="$dir/pulse-run" state="$dir/pulse-state"
  rm -rf "$run" "$state"
  mkdir -p "$run" "$state"
  chmod 700 "$run" "$state"
  export PULSE_RUNTIME_PATH="$run" PULSE_STATE_PATH="$state"
  export PULSE_SERVER="unix:$run/native"
  cat >"$dir/pulse.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$run/native
load-module module-null-sink sink_name=vsink format=s16le rate=48000 channels=2
load-module module-null-source source_name=vsrc format=s16le rate=48000 channels=2
set-default-sink vsink
set-default-source vsrc
PA
  pulseaudio -n -F "$dir/pulse.pa" -D --exit-idle-time=-1 --realtime=yes --high-priority=yes \
    --log-target=file:"$dir/pulse.log" 2>>"$dir/pulse.log" ||
    e2e_fail "pulseaudio did not start (see $dir/pulse.log)"
  e2e_on_exit "e2e_stop_pulse"
  e2e_wait_for 10 pactl info >/dev/null || e2e_fail "pulseaudio does not answer"
  e2e_log "pulseaudio at $PULSE_SERVER"
}

e2e_stop_pulse() {
  [ -n "${PULSE_RUNTIME_PATH:-}" ] || return 0
  local pid
  pid=$(cat "$PULSE_RUNTIME_PATH/pid" 2>/dev/null || true)
  pulseaudio -k 2>/dev/null || true
  [ -n "$pid" ] && e2e_kill_pid "$pid"
}

# Records the sink's monitor into `wav` in the background. Waits until the file
# grows, since an idle null sink renders ahead and the first bytes come late.
e2e_start_recording() {
  local wav=$1
  rm -f "$wav"
  $E2E_DETACH $(e2e_realtime_prefix) parecord --device=vsink.monitor --latency-msec=20 --file-format=wav \
    --rate=48000 --channels=2 --format=s16le "$wav" 2>"$wav.log" &
  E2E_RECORDER_PID=$!
  e2e_on_exit "e2e_stop_recording"
  e2e_wait_for 10 e2e_file_grows "$wav" || e2e_fail "parecord does not record (see $wav.log)"
  e2e_note_wav_wall "$wav"
}

# e2e_note_wav_wall WAV: sets E2E_WAV_WALL to the wall-clock time of the first frame of
# a recording that is growing (48 kHz, 16-bit stereo), and E2E_WAV_WALL_FILE to WAV: a
# place in that recording can then be matched with what the machine did at that moment.
e2e_note_wav_wall() {
  E2E_WAV_WALL_FILE=$1
  E2E_WAV_WALL=$(awk -v now="$EPOCHREALTIME" -v bytes="$(stat -c %s "$1")" \
    'BEGIN { printf "%.3f\n", now - (bytes - 44) / 192000 }')
}

# The command prefix that runs a recorder with real-time scheduling where we may grant
# it (as root): a recorder that misses its period loses data, and the analysis would
# count that as the program's break.
e2e_realtime_prefix() {
  if [ "$(id -u)" = 0 ] && command -v chrt >/dev/null; then echo "chrt -f 10"; fi
}

e2e_file_grows() { [ -f "$1" ] && [ "$(stat -c %s "$1")" -gt 44 ]; }

# SIGINT lets parecord finish the WAV header; it must go before the server.
e2e_stop_recording() {
  [ -n "${E2E_RECORDER_PID:-}" ] || return 0
  e2e_kill_pid "$E2E_RECORDER_PID" INT
  E2E_RECORDER_PID=
}
