#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: the normal build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer. The audio-server tests run against a
# PulseAudio daemon of our own, stopped by its PID at the end, also when tests fail.
set -euo pipefail
export QV_EXTRA_PACKAGES="pulseaudio pulseaudio-utils libasound2-plugins ladspa-sdk sox"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/pulse-server.sh"
trap stop_pulse_server EXIT
start_pulse_server

export QT_QPA_PLATFORM=offscreen
# audio-server tests are RUN_SERIAL: they never share the machine with another test
(cd "$BUILD" && ctest --output-on-failure -j2)
# A new user's first session in a real window under a virtual screen, bounded in case it hangs.
QV_WALK_DIR="$BUILD/walkthrough" timeout 300 "$ROOT/scripts/walkthrough.sh"

SAN_BUILD="$ROOT/build-sanitize"
cmake -S "$ROOT" -B "$SAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_SANITIZE=ON \
  -DQUORVANE_BENCH=OFF >/dev/null
cmake --build "$SAN_BUILD"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$SAN_BUILD" && ctest --output-on-failure -j2 -L 'unit|gui|audio-server')
