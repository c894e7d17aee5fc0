# Sourced by test.sh and bench.sh: a PulseAudio daemon of our own (no system instance,
# its own runtime folder) with a null sink as default sink and that sink's monitor as
# default source. stop_pulse_server kills it by its PID; callers trap it on EXIT.
# pulse_filter puts a filter in front of the null sink; pulse_gains and pulse_corner measure
# what the default sink does to sines with outside tools (sox, pacat, parec) alone. Sourcing
# this file starts nothing and leaves nothing behind: the tests source it for those two.
PA_DIR=${PA_DIR:-}
PA_PID=
PA_NULL_SINK=quorvane_null
PA_FILTER_SINK=quorvane_filter

stop_pulse_server() {
  if [[ -n "$PA_PID" ]] && kill -0 "$PA_PID" 2>/dev/null; then
    kill "$PA_PID" 2>/dev/null || true
    wait "$PA_PID" 2>/dev/null || true
  fi
  PA_PID=
  [[ -n "$PA_DIR" ]] && rm -rf "$PA_DIR"
  PA_DIR=
}

start_pulse_server() {
  [[ -n "$PA_DIR" ]] || PA_DIR=$(mktemp -d /tmp/quorvane-pulse.XXXXXX)
  mkdir -p "$PA_DIR/run" "$PA_DIR/state" "$PA_DIR/config"
  export PULSE_RUNTIME_PATH="$PA_DIR/run" PULSE_STATE_PATH="$PA_DIR/state" PULSE_CONFIG_PATH="$PA_DIR/config"
  export PULSE_COOKIE="$PA_DIR/cookie"
  pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=file:"$PA_DIR/pulseaudio.log" \
    -L "module-native-protocol-unix socket=$PA_DIR/run/native auth-anonymous=1" \
    -L "module-null-sink sink_name=$PA_NULL_SINK rate=44100 channels=2" \
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
  pactl set-default-sink "$PA_NULL_SINK"
  pactl set-default-source "$PA_NULL_SINK.monitor"
}

# pulse_filter lpf|hpf HZ, or pulse_filter none: a one-pole LADSPA filter (ladspa-sdk's
# filter.so, cutoff in Hz) as the default sink, playing into the null sink whose monitor is the
# default source (and stays so); "none" takes it out again. Streams opened later go through the
# filter, streams already open stay where they are. Works on any server set up as ours is.
pulse_filter() {
  local kind=${1:-none} hz=${2:-} source module
  if [[ "$kind" != none ]] && { [[ "$kind" != lpf && "$kind" != hpf ]] || ! [[ "$hz" =~ ^[0-9]+(\.[0-9]+)?$ ]]; }; then
    echo "pulse_filter: lpf HZ, hpf HZ or none, not \"$*\"" >&2
    return 1
  fi
  source=$(pactl get-default-source) || return 1
  if [[ "$source" != *.monitor ]]; then
    echo "pulse_filter: the default source \"$source\" is no sink's monitor" >&2
    return 1
  fi
  for module in $(pactl list short modules | awk '$2 == "module-ladspa-sink" { print $1 }'); do
    pactl unload-module "$module" || return 1
  done
  if [[ "$kind" == none ]]; then
    pactl set-default-sink "${source%.monitor}"
  else
    pactl load-module module-ladspa-sink sink_name="$PA_FILTER_SINK" sink_master="${source%.monitor}" \
      plugin=filter label="$kind" control="$hz" >/dev/null || return 1
    pactl set-default-sink "$PA_FILTER_SINK"
  fi
  pactl set-default-source "$source"
}

# pulse_gains HZ...: the default sink's gain at each frequency, as "HZ LEFT_DB RIGHT_DB" lines,
# each level relative to the one played. Sox makes a steady sine of PA_STEP_SECONDS (0.2) per
# frequency at half full scale; pacat plays them in one go through the default sink while parec
# records the default source; the played and the recorded RMS are taken over a whole number of
# periods in each step's middle half.
pulse_gains() {
  (($#)) || { echo "pulse_gains: no frequency" >&2; return 1; }
  local dir rate=44100 step=${PA_STEP_SECONDS:-0.2} hz k=0 pid frames
  dir=$(mktemp -d /tmp/quorvane-gains.XXXXXX)
  frames=$(awk -v s="$step" -v r=$rate 'BEGIN { printf "%d", s * r + 0.5 }')
  local raw=(-t raw -r $rate -b 16 -c 2 -e signed)
  for hz in "$@"; do
    sox -D -r $rate -c 2 -n "${raw[@]}" "$dir/step$((k++)).raw" synth "${frames}s" sine "$hz" vol 0.5
  done
  cat $(for ((i = 0; i < k; ++i)); do echo "$dir/step$i.raw"; done) >"$dir/played.raw"
  # A stream that starts on an idle sink is mixed into what the sink had already rendered, and
  # the monitor loses that stretch (about 0.1 s): the sines come after half a second of silence.
  sox -D -r $rate -c 2 -n "${raw[@]}" "$dir/lead.raw" trim 0 0.5
  cat "$dir/lead.raw" "$dir/played.raw" >"$dir/sent.raw"
  local pa=(--raw --format=s16le --rate=$rate --channels=2)
  parec "${pa[@]}" --latency-msec=20 >"$dir/recorded.raw" &
  pid=$!
  sleep 0.3  # the recording runs before anything plays
  if ! pacat "${pa[@]}" "$dir/sent.raw"; then
    kill "$pid"; wait "$pid" 2>/dev/null; rm -rf "$dir"; return 1
  fi
  sleep 0.3
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  # The null sink's silence is exact zeros: the sines start at the first frame above 1/2000 of
  # full scale, a frame or two late at most, which the steps' middles do not notice.
  sox "${raw[@]}" "$dir/recorded.raw" "${raw[@]}" "$dir/aligned.raw" silence 1 1s 0.05%
  local got
  got=$(($(stat -c %s "$dir/aligned.raw") / 4))
  if ((got < k * frames)); then
    echo "pulse_gains: $got frames came back after the start of the sines, not $((k * frames))" >&2
    rm -rf "$dir"
    return 1
  fi
  # Per step, the frames of its middle half that hold a whole number of periods; the RMS of each
  # channel over them, played and recorded, in one pass over both.
  paste -d' ' <(od -An -td2 -w4 -v "$dir/played.raw") <(od -An -td2 -w4 -v "$dir/aligned.raw") |
    awk -v hz="$*" -v n="$frames" -v r=$rate '
      BEGIN { c = split(hz, f, " ")
              for (i = 1; i <= c; ++i) {
                p = r / f[i]; k = int(n / 2 / p); if (k < 1) k = 1; w = int(k * p + 0.5)
                from[i] = (i - 1) * n + int((n - w) / 2); to[i] = from[i] + w }
              j = 1 }
      { frame = NR - 1
        while (j <= c && frame >= to[j]) ++j
        if (j > c) exit
        if (frame >= from[j]) { pl[j] += $1 * $1; pr[j] += $2 * $2; rl[j] += $3 * $3; rr[j] += $4 * $4 } }
      END { for (i = 1; i <= c; ++i)
              printf "%s %.4f %.4f\n", f[i], 10 * log(rl[i] / pl[i]) / log(10), 10 * log(rr[i] / pr[i]) / log(10) }'
  rm -rf "$dir"
}

# pulse_corner LOW HIGH: the frequency between LOW and HIGH Hz where the default sink's gain
# (the mean of both channels) crosses half power (-3.01 dB): 16 frequencies spaced evenly in
# log frequency find the crossing, 9 more within 2 % of it place it, interpolated in log
# frequency between the two neighbours.
pulse_corner() {
  local low=$1 high=$2 coarse fine
  _pulse_crossing() {  # "HZ LEFT RIGHT" lines in ascending HZ on stdin: the crossing, or nothing
    awk 'BEGIN { t = -10 * log(2) / log(10) }
         { g = ($2 + $3) / 2; if (NR > 1 && (g - t) * (pg - t) <= 0 && g != pg) {
             printf "%.2f\n", exp(log(pf) + (t - pg) / (g - pg) * (log($1) - log(pf))); exit }
           pf = $1; pg = g }'
  }
  coarse=$(pulse_gains $(awk -v a="$low" -v b="$high" 'BEGIN { for (i = 0; i < 16; ++i) printf "%.3f ", a * exp(i / 15 * log(b / a)) }') | _pulse_crossing)
  [[ -n "$coarse" ]] || { echo "pulse_corner: no -3 dB point between $low and $high Hz" >&2; return 1; }
  fine=$(pulse_gains $(awk -v c="$coarse" 'BEGIN { for (i = -4; i <= 4; ++i) printf "%.3f ", c * exp(i * 0.005) }') | _pulse_crossing)
  echo "${fine:-$coarse}"
}
