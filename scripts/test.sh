#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; the audio-server tests run
# against a PulseAudio daemon of our own that is stopped again at the end.
set -euo pipefail
export QV_EXTRA_PACKAGES="pulseaudio pulseaudio-utils libasound2-plugins"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

cd "$BUILD"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j2 -LE audio-server
