#!/usr/bin/env bash
# CPU of the whole program on each analyser page while it generates and analyses live, as a user
# runs it: a Release build in a real window under Xvfb, on the PulseAudio null sink (PortAudio)
# and on the simulated card at its real-time pace. Read from /proc per thread; not run by CI.
#
#   bench/page-cpu.sh                     every page on both backends
#   QV_BACKENDS=simulated QV_PAGES="Scope" QV_MEASURE=10 bench/page-cpu.sh
#   QV_PERF=1 bench/page-cpu.sh           also where each page's time goes (perf, if allowed)
#   QV_LATENCY=safe bench/page-cpu.sh     at that latency setting (low, normal, safe; default normal)
#
# Columns, in % of one core: whole = the thread group's utime + stime (/proc/PID/stat, dead
# threads included); own = every thread but the PulseAudio client library's ("threaded-ml");
# pulse = those. First from the 10 ms ticks of stat (one tick in 30 s is 0.03%, and a thread
# that runs briefly is charged a whole tick or none), then the same from each thread's
# schedstat run time in ns, then each thread's share by that.
set -euo pipefail
export QV_EXTRA_PACKAGES="xvfb xdotool pulseaudio pulseaudio-utils libasound2-plugins ${QV_PERF:+linux-perf}"
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD" >/dev/null

SETTLE=${QV_SETTLE:-8}     # seconds after a page change before measuring
MEASURE=${QV_MEASURE:-30}  # seconds measured
read -r -a BACKENDS <<<"${QV_BACKENDS:-portaudio simulated}"
IFS=, read -r -a PAGES <<<"${QV_PAGES:-Vectorscope,Scope,Spectrum analyser,Frequency response}"
declare -A TAB_X=([Vectorscope]=337 [Scope]=401 ["Spectrum analyser"]=483 ["Frequency response"]=606)
TAB_Y=39

WORK=$(mktemp -d /tmp/quorvane-page-cpu.XXXXXX)
XVFB_PID=
APP_PID=
cleanup() {
  [[ -n "$APP_PID" ]] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
  [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  stop_pulse_server
  rm -rf "$WORK"
}
source "$ROOT/scripts/pulse-server.sh"
trap cleanup EXIT
start_pulse_server

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

click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.4; }

printf '%-10s %-19s %6s %6s %6s | %6s %6s %6s  %s\n' backend page whole own pulse whole own pulse \
  "threads (tid:name %, schedstat)"
printf '%-30s %-20s | %s\n' "" "  utime+stime ticks" "  schedstat run time" 
for backend in "${BACKENDS[@]}"; do
  home="$WORK/home-$backend"
  mkdir -p "$home/.config"
  HOME="$home" XDG_CONFIG_HOME="$home/.config" QUORVANE_AUDIO="$backend" QUORVANE_LATENCY="${QV_LATENCY:-normal}" QT_QPA_PLATFORM=xcb \
    "$BUILD/src/app/quorvane" >"$WORK/app-$backend.log" 2>&1 &
  APP_PID=$!
  window=
  for _ in $(seq 100); do
    window=$(xdotool search --pid "$APP_PID" --name Zelk 2>/dev/null | head -1) && [[ -n "$window" ]] && break
    sleep 0.2
  done
  [[ -n "$window" ]] || { echo "no window for $backend" >&2; cat "$WORK/app-$backend.log" >&2; exit 1; }
  sleep 1
  xdotool key Escape  # no offset measurement now
  sleep 0.4
  eval "$(xdotool getwindowgeometry --shell "$window")"
  click 155 446  # Start Generator
  click 456 446  # Start Analyser
  for page in "${PAGES[@]}"; do
    click "${TAB_X[$page]}" "$TAB_Y"
    sleep "$SETTLE"
    threads "$APP_PID" >"$WORK/t0"
    g0=$(group_ticks "$APP_PID")
    w0=$(date +%s%N)
    if [[ -n "${QV_PERF:-}" ]]; then
      perf record -q -F 2999 --call-graph dwarf,16384 -p "$APP_PID" -o "$WORK/perf.data" -- sleep "$MEASURE" \
        >/dev/null 2>&1 || echo "perf record failed" >&2
    else
      sleep "$MEASURE"
    fi
    threads "$APP_PID" >"$WORK/t1"
    g1=$(group_ticks "$APP_PID")
    w1=$(date +%s%N)
    awk -v pid="$APP_PID" -v wall="$(((w1 - w0) / 1000))" -v ticks="$((g1 - g0))" -v hz="$CLK_TCK" \
        -v backend="$backend" -v page="$page" '
      NR == FNR { run[$1] = $3; tk[$1] = $4; next }
      {
        d = ($3 - ($1 in run ? run[$1] : 0)) / 1e3 / wall * 100   # % of one core
        t = ($4 - ($1 in tk ? tk[$1] : 0))
        name = ($1 == pid) ? "GUI" : $2
        if ($2 == "threaded-ml") { pulse += t; pulseRun += d } else { own += t; ownRun += d }
        if (d >= 0.0005) list = list sprintf(" %s:%s %.3f", $1, name, d)
      }
      END {
        s = wall / 1e6 * hz / 100   # ticks per 1% of one core
        printf "%-10s %-19s %5.2f%% %5.2f%% %5.2f%% | %5.2f%% %5.2f%% %5.2f%% %s\n", backend, page,
          ticks / s, own / s, pulse / s, ownRun + pulseRun, ownRun, pulseRun, list
      }' "$WORK/t0" "$WORK/t1"
    if [[ -n "${QV_PERF:-}" && -s "$WORK/perf.data" ]]; then
      perf report -i "$WORK/perf.data" --children --sort comm,sym --stdio -g none --percent-limit 2 \
        2>/dev/null | grep -v '^#' | grep -v '^$' | head -40 | sed 's/^/      /'
    fi
  done
  kill "$APP_PID"
  wait "$APP_PID" 2>/dev/null || true
  APP_PID=
done
