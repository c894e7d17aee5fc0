#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: the normal build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer. The audio-server tests run against a
# PulseAudio daemon of our own, stopped by its PID at the end, also when tests fail.
set -euo pipefail
export QV_EXTRA_PACKAGES="pulseaudio pulseaudio-utils libasound2-plugins ladspa-sdk sox jackd2 chromium"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$ROOT/scripts/pulse-server.sh"
trap stop_pulse_server EXIT
start_pulse_server

export QT_QPA_PLATFORM=offscreen
# run_tests BUILD_DIR [CTEST_ARGS...]: audio-server tests are RUN_SERIAL, they never share the
# machine with another test. Should the test audio daemon itself die during a run, its log is
# shown, it is started again and the failed tests run once more; a failure with the daemon
# alive fails at once.
run_tests() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j2 "$@") && return 0
  if [[ -n "$PA_PID" ]] && kill -0 "$PA_PID" 2>/dev/null; then return 1; fi
  echo "The test audio server died during the tests; its log ends:" >&2
  tail -n 30 "$PA_DIR/pulseaudio.log" "$PA_DIR/pulseaudio.out" >&2 2>/dev/null || true
  stop_pulse_server
  start_pulse_server
  echo "Running the failed tests again on a new audio server" >&2
  (cd "$dir" && ctest --output-on-failure -j2 --rerun-failed)
}
run_tests "$BUILD"
# A new user's first session in a real window under a virtual screen, bounded in case it hangs.
QV_WALK_DIR="$BUILD/walkthrough" timeout 300 "$ROOT/scripts/walkthrough.sh"

SAN_BUILD="$ROOT/build-sanitize"
cmake -S "$ROOT" -B "$SAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_SANITIZE=ON \
  -DQUORVANE_BENCH=OFF >/dev/null
cmake --build "$SAN_BUILD"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
run_tests "$SAN_BUILD" -L 'unit|gui|audio-server'
