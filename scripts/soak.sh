#!/usr/bin/env bash
# Soak run: the generator's tone and the analyser running together for a long time on the real
# audio server (a private PulseAudio null sink, through PortAudio), one analyser page after the
# other in one program, or each page in a program of its own at the same time. Watches memory
# and CPU from /proc and every captured block from the program's block log
# (QUORVANE_BLOCK_LOG); prints a table per page and PASS/FAIL for the goals. Not run by CI.
#
#   scripts/soak.sh                                  every page in turn, an hour each
#   QV_SOAK_SECONDS=120 scripts/soak.sh              two minutes each
#   QV_SOAK_PARALLEL=1 scripts/soak.sh               every page at once, a program each
#   QV_SOAK_PAGES="Scope,Spectrum analyser" QV_SOAK_OUT=/tmp/soak scripts/soak.sh
#   QV_SOAK_REPORT=/tmp/soak scripts/soak.sh        the table again from that run's logs
#   QV_SOAK_LATENCY=low scripts/soak.sh              at that latency setting (low, normal, safe;
#                                                    default normal): QUORVANE_LATENCY for the program
#
# Goals: no block lost or repeated (gaps or overlaps in the device's frame count, frames the
# backend dropped for want of a queued block, device overruns, a block delivered twice); the
# frames captured match the wall time within the device buffer; memory (RSS and PSS) stays
# within 1 MB of its value one minute into the page, RSS and PSS each (PSS also moves when
# other processes map the same libraries, or stop doing so).
set -euo pipefail
# Frames the captured count may differ from the wall clock by: the device buffer (0.25 s), and
# the page's block (up to 57330 frames) that was being filled as the page's clock started or ended.
BUFFER_FRAMES=$((44100 / 4))

# report: the table and the verdicts, from the samples, page times and block logs in OUT.
report() {
  printf '\n%-19s %6s %7s | %8s %8s %7s | %8s %8s %7s | %7s %7s %5s %5s %4s %4s %8s\n' page seconds "cpu%" \
    "rss@1m" "rss end" "drift" "pss@1m" "pss end" "drift" "blk exp" "blk got" lost "lostf" rep ovr "frm-wall"
  printf '%-19s %6s %7s | %26s | %26s | %s\n' "" "" "1 core" "RSS kB (max drift after 1 min)" \
    "PSS kB (max drift after 1 min)" "blocks by wall time / captured, lost blocks and frames, repeated, overruns"
  local verdicts=() pages name page start end line p secs cpu rss1 rssEnd rd pss1 pssEnd pd expb got lostb lostf rep ovr fw size fw_abs blocks_ok wall_ok mem_ok pss_ok
  for pages in "$OUT"/p*.pages; do
    name=$(basename "$pages" .pages)
    while IFS=$'\t' read -r page start end; do
      line=$(awk -F'\t' -v page="$page" -v start="$start" -v end="$end" '
        FILENAME ~ /samples$/ {
          if ($1 != page) next
          n++; secs = $2; cpu = $6 / $7 / ($2 > 0 ? $2 : 1) * 100
          if ($2 >= 60 && rss1 == "") { rss1 = $3; pss1 = $4 }
          if ($2 >= 60) { rss[n] = $3; pss[n] = $4; late[n] = 1 }
          rssEnd = $3; pssEnd = $4
          next
        }
        # block log: ms generation open|again|frame frames overruns
        {
          inside = ($1 >= start && $1 <= end)
          if ($3 == "open") { next }
          if ($3 == "again") { if (inside) rep++; next }
          g = $2
          if (g in next_) {
            d = $3 - next_[g]
            if (inside && d > 0) { lostBlocks++; lostFrames += d }
            if (inside && d < 0) rep++
          }
          next_[g] = $3 + $4
          if (g in ovr0) { if (inside && $5 > ovrLast[g]) ovr += $5 - ovrLast[g] } else ovr0[g] = $5
          ovrLast[g] = $5
          if (inside) { blocks++; frames += $4; size = $4 }
        }
        END {
          for (i in late) {
            d = rss[i] - rss1; if (d < 0) d = -d; if (d > rd) rd = d
            if (pss1 != "-") { d = pss[i] - pss1; if (d < 0) d = -d; if (d > pd) pd = d }
          }
          wall = (end - start) / 1000 * 44100
          expBlocks = size ? wall / size : 0
          printf "%s\t%d\t%.2f\t%s\t%s\t%d\t%s\t%s\t%s\t%.1f\t%d\t%d\t%d\t%d\t%d\t%d\t%d\n", page, secs, cpu,
            rss1, rssEnd, rd, pss1, pssEnd, (pss1 == "-" ? "-" : pd + 0), expBlocks, blocks, lostBlocks, lostFrames,
            rep, ovr, frames - wall, size
        }' "$OUT/$name.samples" FS=' ' "$OUT/$name.blocks")
      IFS=$'\t' read -r p secs cpu rss1 rssEnd rd pss1 pssEnd pd expb got lostb lostf rep ovr fw size <<<"$line"
      printf '%-19s %6s %7s | %8s %8s %7s | %8s %8s %7s | %7s %7s %5s %5s %4s %4s %8s\n' "$p" "$secs" "$cpu" \
        "$rss1" "$rssEnd" "$rd" "$pss1" "$pssEnd" "$pd" "$expb" "$got" "$lostb" "$lostf" "$rep" "$ovr" "$fw"
      blocks_ok=FAIL; ((lostb == 0 && lostf == 0 && rep == 0 && ovr == 0 && got > 0)) && blocks_ok=PASS
      fw_abs=${fw#-}
      wall_ok=FAIL; ((fw_abs <= BUFFER_FRAMES + size)) && wall_ok=PASS
      mem_ok=FAIL; [[ -n "$rss1" ]] && ((rd <= 1024)) && mem_ok=PASS
      pss_ok=-; [[ "$pd" == "-" ]] || { pss_ok=FAIL; ((pd <= 1024)) && pss_ok=PASS; }
      verdicts+=("$(printf '%-19s no lost or repeated blocks: %s   frames match wall time (%s, limit %d): %s   memory flat within 1 MB after 1 min: RSS %s PSS %s' \
        "$p" "$blocks_ok" "$fw" $((BUFFER_FRAMES + size)) "$wall_ok" "$mem_ok" "$pss_ok")")
    done <"$pages"
  done
  echo
  printf '%s\n' "${verdicts[@]}"
}

# QV_SOAK_REPORT=DIR: only the table again, from the logs of an earlier run in DIR.
if [[ -n "${QV_SOAK_REPORT:-}" ]]; then
  OUT=$QV_SOAK_REPORT
  report
  exit 0
fi
export QV_EXTRA_PACKAGES="xvfb xdotool pulseaudio pulseaudio-utils libasound2-plugins"
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
BUILD=${QV_SOAK_BUILD:-$ROOT/build-release}  # another build folder leaves a running soak's program alone
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD" >/dev/null

SECONDS_PER_PAGE=${QV_SOAK_SECONDS:-3600}
LATENCY=${QV_SOAK_LATENCY:-normal}
case $LATENCY in low | normal | safe) ;; *) echo "QV_SOAK_LATENCY: low, normal or safe, not \"$LATENCY\"" >&2; exit 1 ;; esac
INTERVAL=${QV_SOAK_INTERVAL:-30}   # seconds between samples
SETTLE=${QV_SOAK_SETTLE:-5}        # seconds after a page change before the page's clock starts
IFS=, read -r -a PAGES <<<"${QV_SOAK_PAGES:-Vectorscope,Scope,Spectrum analyser,Frequency response,Distortion}"
OUT=${QV_SOAK_OUT:-$(mktemp -d /tmp/quorvane-soak.XXXXXX)}
mkdir -p "$OUT"
source "$ROOT/scripts/xdrive.sh"
source "$ROOT/scripts/pulse-server.sh"
INSTANCES=()
cleanup() {
  local pid
  for pid in "${INSTANCES[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  stop_pulse_server
}
trap cleanup EXIT
start_pulse_server

tab_of() {
  case $1 in
    Vectorscope) echo "${VECTORSCOPE_TAB[@]}" ;;
    Scope) echo "${SCOPE_TAB[@]}" ;;
    "Spectrum analyser") echo "${SPECTRUM_TAB[@]}" ;;
    "Frequency response") echo "${RESPONSE_TAB[@]}" ;;
    Distortion) echo "${DISTORTION_TAB[@]}" ;;
    *) fail "no page \"$1\"" ;;
  esac
}

# memory_kb PID: "RSS PSS" in kB (PSS "-" without smaps_rollup).
memory_kb() {
  local rss pss
  rss=$(awk '/^VmRSS:/ { print $2 }' /proc/"$1"/status)
  pss=$(awk '/^Pss:/ { print $2; exit }' /proc/"$1"/smaps_rollup 2>/dev/null) || true
  echo "$rss ${pss:--}"
}
cpu_ticks() { local st; st=$(cat /proc/"$1"/stat); st=${st##*) }; set -- $st; echo $((${12} + ${13})); }
wall_ms() { echo $(($(date +%s%N) / 1000000)); }

# instance NAME PAGE...: one program under an X server of its own, generating and analysing,
# each page for SECONDS_PER_PAGE. Writes NAME.samples (page, seconds into the page, RSS, PSS,
# CPU ticks of the interval and since the page began, wall ms) and NAME.pages (wall ms at the
# start and end of each page); the program writes NAME.blocks.
instance() {
  local name=$1 dir="$OUT/$1"
  shift
  mkdir -p "$dir/home/.config"
  Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 3>"$dir/display" &
  local xvfb=$!
  trap 'stop_program; kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null' EXIT
  for _ in $(seq 50); do [[ -s "$dir/display" ]] && break; sleep 0.1; done
  export DISPLAY=":$(head -1 "$dir/display")"
  (cd "$dir" && exec env HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" QUORVANE_AUDIO=portaudio \
     QUORVANE_LATENCY="$LATENCY" QT_QPA_PLATFORM=xcb QUORVANE_BLOCK_LOG="$OUT/$name.blocks" "$BUILD/src/app/quorvane" >"$dir/app.log" 2>&1) &
  APP_PID=$!
  wait_until 30 "$name: the main window did not appear" visible "$QV_MAIN_TITLE"
  MAIN=$(xdotool search --onlyvisible --name "$QV_MAIN_TITLE" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$MAIN")"
  # The offset question of a fresh configuration: No.
  wait_until 15 "$name: the offset question did not appear" windows_more_than 1
  sleep 0.5
  xdotool key Escape
  wait_until 10 "$name: the offset question did not go" only_main_window
  click "${START_GENERATOR[@]}"
  click "${START_ANALYSER[@]}"
  local hz page t0 start ticks0 prev k due now mem ticks
  hz=$(getconf CLK_TCK)
  : >"$OUT/$name.samples"
  : >"$OUT/$name.pages"
  for page in "$@"; do
    # shellcheck disable=SC2046
    click $(tab_of "$page")
    sleep "$SETTLE"
    start=$(wall_ms)
    t0=$(date +%s)
    ticks0=$(cpu_ticks "$APP_PID")
    prev=$ticks0
    for ((k = 0; k * INTERVAL <= SECONDS_PER_PAGE; ++k)); do
      due=$((t0 + k * INTERVAL))
      now=$(date +%s)
      ((due > now)) && sleep $((due - now))
      kill -0 "$APP_PID" 2>/dev/null || fail "$name: the program ended on $page"
      mem=$(memory_kb "$APP_PID")
      ticks=$(cpu_ticks "$APP_PID")
      printf '%s\t%d\t%s\t%s\t%d\t%d\t%d\t%d\n' "$page" $((k * INTERVAL)) $mem $((ticks - prev)) \
        $((ticks - ticks0)) "$hz" "$(wall_ms)" >>"$OUT/$name.samples"
      prev=$ticks
    done
    printf '%s\t%s\t%s\n' "$page" "$start" "$(wall_ms)" >>"$OUT/$name.pages"
  done
  stop_program
}

echo "soak: ${#PAGES[@]} page(s), $SECONDS_PER_PAGE s each, $LATENCY latency, ${QV_SOAK_PARALLEL:+in parallel, }samples every $INTERVAL s; logs in $OUT"
echo "soak: program $BUILD/src/app/quorvane, source $(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo unknown)"
echo "soak: started $(date -u '+%F %T') UTC on $(nproc) core(s), load $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ -n "${QV_SOAK_PARALLEL:-}" ]]; then
  i=0
  for page in "${PAGES[@]}"; do
    instance "p$i" "$page" &
    INSTANCES+=($!)
    i=$((i + 1))
    sleep 3   # one start-up at a time keeps the X servers' and the audio server's start quiet
  done
else
  instance p0 "${PAGES[@]}" &
  INSTANCES+=($!)
fi
status=0
for pid in "${INSTANCES[@]}"; do wait "$pid" || status=1; done
INSTANCES=()
echo "soak: ended $(date -u '+%F %T') UTC, load $(cut -d' ' -f1-3 /proc/loadavg)"
((status == 0)) || echo "soak: an instance failed; see $OUT/*/app.log" >&2

report
exit $status
