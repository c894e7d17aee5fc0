# Sourced: a JACK server of our own (jackd from jackd2, its dummy driver, 44100 Hz, two ports each
# way, no realtime) under a server name of its own, so a JACK server of the user's is left alone.
# start_jack_server exports JACK_DEFAULT_SERVER (clients started afterwards, PortAudio among them,
# find it there) and JACK_NO_START_SERVER (no client starts a server of its own); stop_jack_server
# kills it by its PID. Sourcing this file starts nothing. Works as root (CI) and as a user.
JACK_PID=
JACK_LOG=
JACK_PERIOD=${JACK_PERIOD:-1024}  # frames per dummy period

# jack_server_exec NAME [RATE [CHANNELS]]: becomes that jackd (exec), for a caller that wants its PID
# to be the server's own (the tests fork it so).
jack_server_exec() {
  local name=$1 rate=${2:-44100} channels=${3:-2}
  exec jackd --no-realtime --name "$name" -d dummy -r "$rate" -p "$JACK_PERIOD" -C "$channels" -P "$channels"
}

# jack_server_ready NAME [SECONDS]: waits until the server named NAME answers; false if it does not.
jack_server_ready() {
  local name=$1 tries=$((${2:-5} * 10))
  for _ in $(seq "$tries"); do
    if JACK_DEFAULT_SERVER=$name JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

stop_jack_server() {
  if [[ -n "$JACK_PID" ]] && kill -0 "$JACK_PID" 2>/dev/null; then
    kill "$JACK_PID" 2>/dev/null || true
    wait "$JACK_PID" 2>/dev/null || true
  fi
  JACK_PID=
  [[ -n "$JACK_LOG" ]] && rm -f "$JACK_LOG"
  JACK_LOG=
}

# start_jack_server [NAME]: the name defaults to quorvane. JACK keeps at most eight server names and
# reuses the name of a server that was killed only for one of the same name, so names stay few.
start_jack_server() {
  local name=${1:-quorvane}
  if ! command -v jackd >/dev/null; then
    echo "start_jack_server: jackd is not installed (Debian package jackd2)" >&2
    return 1
  fi
  JACK_LOG=$(mktemp /tmp/quorvane-jack.XXXXXX)
  (jack_server_exec "$name") >"$JACK_LOG" 2>&1 &
  JACK_PID=$!
  export JACK_DEFAULT_SERVER=$name JACK_NO_START_SERVER=1
  if ! jack_server_ready "$name"; then
    echo "The JACK server did not start:" >&2
    cat "$JACK_LOG" >&2
    stop_jack_server
    return 1
  fi
}
