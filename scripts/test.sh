#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The audio-server tests run
# against a PulseAudio daemon of our own, stopped by its PID at the end, also when
# tests fail.
set -euo pipefail
export QV_EXTRA_PACKAGES="pulseaudio pulseaudio-utils libasound2-plugins"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/pulse-server.sh"
trap stop_pulse_server EXIT
start_pulse_server

cd "$BUILD"
export QT_QPA_PLATFORM=offscreen
# audio-server tests are RUN_SERIAL: they never share the machine with another test
ctest --output-on-failure -j2
