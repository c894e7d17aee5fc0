#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The audio-server tests run
# against a PulseAudio daemon of our own (null sink as default sink, its monitor as
# default source), which is stopped by its PID at the end, also when tests fail.
set -euo pipefail
export QV_EXTRA_PACKAGES="pulseaudio pulseaudio-utils libasound2-plugins"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

PA_DIR=$(mktemp -d /tmp/quorvane-pulse.XXXXXX)
PA_PID=
stop_server() {
  if [[ -n "$PA_PID" ]] && kill -0 "$PA_PID" 2>/dev/null; then
    kill "$PA_PID" 2>/dev/null || true
    wait "$PA_PID" 2>/dev/null || true
  fi
  rm -rf "$PA_DIR"
}
trap stop_server EXIT

start_server() {
  mkdir -p "$PA_DIR/run" "$PA_DIR/state" "$PA_DIR/config"
  export PULSE_RUNTIME_PATH="$PA_DIR/run" PULSE_STATE_PATH="$PA_DIR/state" PULSE_CONFIG_PATH="$PA_DIR/config"
  export PULSE_COOKIE="$PA_DIR/cookie"
  pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=file:"$PA_DIR/pulseaudio.log" \
    -L "module-native-protocol-unix socket=$PA_DIR/run/native auth-anonymous=1" \
    -L "module-null-sink sink_name=quorvane_null rate=44100 channels=2" \
    >"$PA_DIR/pulseaudio.out" 2>&1 &
  PA_PID=$!
  export PULSE_SERVER="unix:$PA_DIR/run/native"
  for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl set-default-sink quorvane_null
  pactl set-default-source quorvane_null.monitor
}

cd "$BUILD"
export QT_QPA_PLATFORM=offscreen
if ! start_server; then
  echo "The test audio server did not start:" >&2
  cat "$PA_DIR/pulseaudio.log" >&2 || true
  exit 1
fi
# audio-server tests are RUN_SERIAL: they never share the machine with another test
ctest --output-on-failure -j2
