#!/usr/bin/env bash
# The sound device lost and back on the WASAPI route (shared): the same losses, texts,
# retries and checks as test-audio-device-loss.sh makes on the full-duplex route.
# Usage: test-wasapi-device-loss.sh <build/windows dir>
exec bash "$(dirname "$0")/test-audio-device-loss.sh" \
  "${1:?usage: test-wasapi-device-loss.sh <build/windows dir>}" WasapiShared
