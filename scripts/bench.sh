#!/usr/bin/env bash
# Builds in Release and runs the benchmarks (the audio-server ones against our own
# PulseAudio null sink).
set -euo pipefail
export QV_EXTRA_PACKAGES="pulseaudio pulseaudio-utils libasound2-plugins"
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD"
source "$ROOT/scripts/pulse-server.sh"
trap stop_pulse_server EXIT
start_pulse_server
export QT_QPA_PLATFORM=offscreen
for b in "$BUILD"/bench/bench_*; do
  if [[ -f "$b" && -x "$b" ]]; then "$b" "$@"; fi
done
