# Sourced by test.sh and bench.sh: a PulseAudio daemon of our own (no system instance,
# its own runtime folder) with a null sink as default sink and that sink's monitor as
# default source. stop_pulse_server kills it by its PID; callers trap it on EXIT.
PA_DIR=$(mktemp -d /tmp/quorvane-pulse.XXXXXX)
PA_PID=

stop_pulse_server() {
  if [[ -n "$PA_PID" ]] && kill -0 "$PA_PID" 2>/dev/null; then
    kill "$PA_PID" 2>/dev/null || true
    wait "$PA_PID" 2>/dev/null || true
  fi
  PA_PID=
  rm -rf "$PA_DIR"
}

start_pulse_server() {
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
  local up=
  for _ in $(seq 50); do
    if pactl info >/dev/null 2>&1; then up=1; break; fi
    sleep 0.1
  done
  if [[ -z "$up" ]]; then
    echo "The test audio server did not start:" >&2
    cat "$PA_DIR/pulseaudio.log" "$PA_DIR/pulseaudio.out" >&2 2>/dev/null || true
    return 1
  fi
  pactl set-default-sink quorvane_null
  pactl set-default-source quorvane_null.monitor
}
