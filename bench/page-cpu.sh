#!/usr/bin/env bash
# CPU of the whole program on each analyser page while it generates and analyses live, as a user
# runs it: a Release build in a real window under Xvfb, on the PulseAudio null sink and on a JACK
# server (jackd's dummy driver, 44100 Hz), and optionally on the simulated card at its real-time
# pace. On JACK, jaaa (Debian's JACK audio analyser) runs on the same server
# and the same virtual screen, showing its live spectrum of what Quorvane plays, and is measured
# over the very same seconds as each page. Read from /proc per thread; not run by CI.
#
#   bench/page-cpu.sh                     every page on PulseAudio and JACK
#   QV_BACKENDS="jack" QV_PAGES="Spectrum analyser" QV_MEASURE=10 bench/page-cpu.sh
#   QV_BACKENDS="pulse jack simulated" bench/page-cpu.sh
#   QV_PERF=1 bench/page-cpu.sh           also where each page's time goes (perf, if allowed; the
#                                         report's options in QV_PERF_REPORT, its length QV_PERF_LINES;
#                                         QV_PERF_KEEP=/tmp/x keeps /tmp/x-BACKEND-PAGE.data)
#   QV_LATENCY=safe bench/page-cpu.sh     at that latency setting (low, normal, safe; default normal)
#   QV_MODE=1 bench/page-cpu.sh           spectrum mode (0 1/3 octave, 1 log, 2 linear: default)
#   QV_BUSY=1 bench/page-cpu.sh           every core kept busy by an idle-priority spinner
#
# On a virtual machine a thread that wakes an idle processor is charged for the wake-up, and that
# cost varies from minute to minute by a factor of two or three; with QV_BUSY the processors never
# idle, so the figures are steadier and closer to the work itself (the spinners, SCHED_IDLE, take
# nothing from the measured programs).
#
# The spectrum page shows the live 4096-point spectrum (linear, like jaaa's default view at
# 4 * 44100 / 4096 = 43.07 Hz resolution bandwidth).
#
# Columns, in % of one core: whole = the thread group's utime + stime (/proc/PID/stat, dead
# threads included); own = every thread but the sound server's client library's (PulseAudio's
# "threaded-ml"); server = those. First from the 10 ms ticks of stat (one tick in 30 s is 0.03%,
# and a thread that runs briefly is charged a whole tick or none), then the same from each
# thread's schedstat run time in ns, then each thread's share by that. On JACK a "jaaa" row
# follows each page, and the ratio Quorvane / jaaa of the schedstat whole.
set -euo pipefail
export QV_EXTRA_PACKAGES="xvfb xdotool pulseaudio pulseaudio-utils libasound2-plugins jackd2 jaaa ${QV_PERF:+linux-perf}"
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD" >/dev/null

SETTLE=${QV_SETTLE:-10}    # seconds after a page change before measuring
MEASURE=${QV_MEASURE:-30}  # seconds measured
read -r -a BACKENDS <<<"${QV_BACKENDS:-pulse jack}"
IFS=, read -r -a PAGES <<<"${QV_PAGES:-Scope,Vectorscope,Spectrum analyser,Frequency response,Distortion,Impulse}"
# Tab centres in the window at its first size (789 x 465).
declare -A TAB_X=([Vectorscope]=330 [Scope]=380 ["Spectrum analyser"]=446 ["Frequency response"]=545
                  [Distortion]=622 [Impulse]=672)
TAB_Y=39

WORK=$(mktemp -d /tmp/quorvane-page-cpu.XXXXXX)
XVFB_PID=
APP_PID=
JAAA_PID=
SPINNERS=()
stop_pid() { if [[ -n "$1" ]]; then kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; fi; }
cleanup() {
  for p in "${SPINNERS[@]}"; do stop_pid "$p"; done
  stop_pid "$APP_PID"
  stop_pid "$JAAA_PID"
  stop_jack_server
  stop_pid "$XVFB_PID"
  stop_pulse_server
  rm -rf "$WORK"
}
source "$ROOT/scripts/pulse-server.sh"
source "$ROOT/scripts/jack-server.sh"
trap cleanup EXIT
start_pulse_server
if [[ -n "${QV_BUSY:-}" ]]; then
  for ((c = 0; c < $(nproc); ++c)); do
    chrt -i 0 taskset -c "$c" bash -c 'while :; do :; done' &
    SPINNERS+=($!)
  done
fi

# A display number of Xvfb's own choosing, so that no other screen is disturbed.
Xvfb -displayfd 3 -noreset -screen 0 1280x900x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 3>"$WORK/display" &
XVFB_PID=$!
for _ in $(seq 50); do [[ -s "$WORK/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$WORK/display")"
CLK_TCK=$(getconf CLK_TCK)

# tid name run_ns ticks, one line per live thread of $1.
threads() {
  local t name ss st
  for t in /proc/"$1"/task/*; do
    name=$(tr ' ' '_' <"$t/comm" 2>/dev/null) || continue
    ss=$(cat "$t/schedstat" 2>/dev/null) || continue
    st=$(cat "$t/stat" 2>/dev/null) || continue
    st=${st##*) }
    set -- $st
    local ticks=$((${12} + ${13}))
    set -- $ss
    echo "${t##*/} $name $1 $ticks"
  done
}
group_ticks() { local st; st=$(cat /proc/"$1"/stat); st=${st##*) }; set -- $st; echo $((${12} + ${13})); }

# report PID LABEL PAGE WALL_US TICKS BEFORE AFTER: one row; the schedstat whole goes to $WORK/whole-LABEL.
report() {
  awk -v pid="$1" -v label="$2" -v page="$3" -v wall="$4" -v ticks="$5" -v hz="$CLK_TCK" \
      -v out="$WORK/whole-$2" '
    NR == FNR { run[$1] = $3; tk[$1] = $4; next }
    {
      d = ($3 - ($1 in run ? run[$1] : 0)) / 1e3 / wall * 100   # % of one core
      t = ($4 - ($1 in tk ? tk[$1] : 0))
      name = ($1 == pid) ? "GUI" : $2
      if ($2 == "threaded-ml") { server += t; serverRun += d } else { own += t; ownRun += d }
      if (d >= 0.0005) list = list sprintf(" %s:%s %.3f", $1, name, d)
    }
    END {
      s = wall / 1e6 * hz / 100   # ticks per 1% of one core
      printf "%-10s %-19s %5.2f%% %5.2f%% %5.2f%% | %5.3f%% %5.3f%% %5.3f%% %s\n", label, page,
        ticks / s, own / s, server / s, ownRun + serverRun, ownRun, serverRun, list
      print ownRun + serverRun > out
    }' "$6" "$7"
}

click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.4; }

# wait_window PID NAME: the id of PID's window named NAME.
wait_window() {
  local w=
  for _ in $(seq 100); do
    w=$(xdotool search --pid "$1" --name "$2" 2>/dev/null | head -1) && [[ -n "$w" ]] && break
    sleep 0.2
  done
  echo "$w"
}

printf '%-10s %-19s %6s %6s %6s | %6s %6s %6s  %s\n' program page whole own server whole own server \
  "threads (tid:name %, schedstat)"
printf '%-30s %-20s | %s\n' "" "  utime+stime ticks" "  schedstat run time"
for backend in "${BACKENDS[@]}"; do
  # The JACK server runs only for its own turn, so that nothing of it runs on PulseAudio's turn
  # (with QUORVANE_JACK=portaudio, PortAudio joins a running JACK server whatever devices it uses).
  if [[ "$backend" == jack ]]; then
    start_jack_server quorvane-bench
    jaaa -J -s quorvane-bench >"$WORK/jaaa.log" 2>&1 &
    JAAA_PID=$!
    [[ -n "$(wait_window "$JAAA_PID" .)" ]] || { echo "no window for jaaa" >&2; cat "$WORK/jaaa.log" >&2; exit 1; }
  fi
  home="$WORK/home-$backend"
  mkdir -p "$home/.config/Brackwell Systems"
  {
    echo "[Quorvane]"
    echo "SpectrumMode=${QV_MODE:-2}"
    if [[ "$backend" == jack ]]; then
      echo "SoundOutput=JACK Audio Connection Kit: system"
      echo "SoundInput=JACK Audio Connection Kit: system"
    fi
  } >"$home/.config/Brackwell Systems/Quorvane.conf"
  case "$backend" in
    pulse) audio=portaudio ;;
    jack) audio= ;;
    *) audio=$backend ;;
  esac
  HOME="$home" XDG_CONFIG_HOME="$home/.config" QUORVANE_AUDIO="$audio" QUORVANE_LATENCY="${QV_LATENCY:-normal}" \
    QT_QPA_PLATFORM=xcb "$BUILD/src/app/quorvane" >"$WORK/app-$backend.log" 2>&1 &
  APP_PID=$!
  window=$(wait_window "$APP_PID" Zelk)
  [[ -n "$window" ]] || { echo "no window for $backend" >&2; cat "$WORK/app-$backend.log" >&2; exit 1; }
  sleep 1
  xdotool key Escape  # no offset measurement now
  sleep 0.4
  eval "$(xdotool getwindowgeometry --shell "$window")"
  click 155 446  # Start Generator
  click 456 446  # Start Analyser
  if [[ "$backend" == jack ]]; then
    sleep 1
    # What Quorvane plays goes back to its own input and into jaaa's, so both analyse a signal.
    outs=$(jack_lsp | grep -v '^system:' | grep -v '^jaaa:' | grep -i 'out' | head -2)
    ins=$(jack_lsp | grep -v '^system:' | grep -v '^jaaa:' | grep -i 'in' | head -2)
    paste <(echo "$outs") <(echo "$ins") | while read -r o i; do jack_connect "$o" "$i" || true; done
    jack_connect "$(echo "$outs" | head -1)" jaaa:in_1 || true
    jack_lsp -c >"$WORK/jack-ports"
  fi
  for page in "${PAGES[@]}"; do
    click "${TAB_X[$page]}" "$TAB_Y"
    sleep "$SETTLE"
    threads "$APP_PID" >"$WORK/t0"
    g0=$(group_ticks "$APP_PID")
    if [[ "$backend" == jack ]]; then threads "$JAAA_PID" >"$WORK/j0"; jg0=$(group_ticks "$JAAA_PID"); fi
    w0=$(date +%s%N)
    if [[ -n "${QV_PERF:-}" ]]; then
      perf record -q -F 2999 --call-graph dwarf,16384 -p "$APP_PID" -o "$WORK/perf.data" -- sleep "$MEASURE" \
        >/dev/null 2>&1 || echo "perf record failed" >&2
    else
      sleep "$MEASURE"
    fi
    threads "$APP_PID" >"$WORK/t1"
    g1=$(group_ticks "$APP_PID")
    if [[ "$backend" == jack ]]; then threads "$JAAA_PID" >"$WORK/j1"; jg1=$(group_ticks "$JAAA_PID"); fi
    w1=$(date +%s%N)
    wall=$(((w1 - w0) / 1000))
    report "$APP_PID" "$backend" "$page" "$wall" "$((g1 - g0))" "$WORK/t0" "$WORK/t1"
    if [[ "$backend" == jack ]]; then
      report "$JAAA_PID" jaaa "$page" "$wall" "$((jg1 - jg0))" "$WORK/j0" "$WORK/j1"
      awk -v q="$(cat "$WORK/whole-jack")" -v j="$(cat "$WORK/whole-jaaa")" \
        'BEGIN { printf "%-30s Quorvane / jaaa = %.2f\n", "", (j > 0 ? q / j : 0) }'
    fi
    if [[ -n "${QV_PERF:-}" && -s "$WORK/perf.data" ]]; then
      [[ -n "${QV_PERF_KEEP:-}" ]] && cp "$WORK/perf.data" "$QV_PERF_KEEP-$backend-${page// /_}.data"
      perf report -i "$WORK/perf.data" ${QV_PERF_REPORT:---children --sort comm,sym} --stdio -g none \
        --percent-limit 2 2>/dev/null | grep -v '^#' | grep -v '^$' | head -"${QV_PERF_LINES:-40}" | sed 's/^/      /'
    fi
  done
  kill "$APP_PID"
  wait "$APP_PID" 2>/dev/null || true
  APP_PID=
  if [[ -n "$JAAA_PID" ]]; then
    kill "$JAAA_PID" 2>/dev/null || true
    wait "$JAAA_PID" 2>/dev/null || true
    JAAA_PID=
    stop_jack_server
  fi
done
