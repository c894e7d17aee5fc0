# Sourced by screenshots.sh and walkthrough.sh: drives the program's window under a virtual X
# server with mouse and keys as a user would, and waits for what the user would wait for
# (a window, a dialog, a trace) instead of guessing how long it takes. The caller sets ROOT and
# BUILD (setup.sh) and runs inside xvfb-run.
#
# The window's layout is in pixels for its smallest size, so controls are clicked at positions
# relative to the main window's top left corner (its menu bar is 18 pixels high), moved as the
# window grew (grown, down, right_down). There is no window manager:
# a new dialog gets the keyboard only once it is focused, which wait_dialog does.

QV_MAIN_TITLE='^Zelk  -  '
APP_PID=
MAIN=

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every tenth of a second; fails naming WHAT.
wait_until() {
  local limit=$1 what=$2
  shift 2
  local end=$(($(date +%s%N) + limit * 1000000000))
  until "$@"; do
    (($(date +%s%N) < end)) || fail "$what (waited $limit s)"
    [[ -z "$APP_PID" ]] || kill -0 "$APP_PID" 2>/dev/null || fail "$what: the program has ended"
    sleep 0.1
  done
}

not() { ! "$@"; }
visible() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
not_visible() { ! visible "$1"; }

# start_program HOME_DIR WORK_DIR LOG: the program on the simulated sound card with its settings
# in HOME_DIR; leaves APP_PID, MAIN and the window's X, Y, WIDTH, HEIGHT.
start_program() {
  (cd "$2" && exec env HOME="$1" XDG_CONFIG_HOME="$1/.config" QUORVANE_AUDIO=simulated \
     "$BUILD/src/app/quorvane" >"$3" 2>&1) &
  APP_PID=$!
  wait_until 30 "the main window did not appear" visible "$QV_MAIN_TITLE"
  # Message boxes carry the window's title too; at start-up there are none yet.
  MAIN=$(xdotool search --onlyvisible --name "$QV_MAIN_TITLE" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$MAIN")"
}

# stop_program: ends a program still running (by its PID) and waits for it.
stop_program() {
  if [[ -n "$APP_PID" ]] && kill -0 "$APP_PID" 2>/dev/null; then
    kill "$APP_PID" 2>/dev/null || true
    wait "$APP_PID" 2>/dev/null || true
  fi
  APP_PID=
}

# close_program: "Close", then waits for the program to end by itself; fails unless it exits
# with status 0.
close_program() {
  # shellcheck disable=SC2046
  click $(right_down "${CLOSE[@]}")
  local end=$(($(date +%s%N) + 15000000000)) status=0
  while kill -0 "$APP_PID" 2>/dev/null; do
    (($(date +%s%N) < end)) || fail "the program did not end within 15 s of \"Close\""
    sleep 0.1
  done
  wait "$APP_PID" || status=$?
  APP_PID=
  ((status == 0)) || fail "the program ended with status $status"
}

# wait_dialog TITLE_REGEX: waits for the dialog and gives it the keyboard.
wait_dialog() {
  wait_until 15 "no window \"$1\" appeared" visible "$1"
  local id
  id=$(xdotool search --onlyvisible --name "$1" | head -1)
  xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
  sleep 0.3
}

# The program's windows on screen: the main window, dialogs, open lists and menus.
program_windows() { xdotool search --onlyvisible --class '^quorvane$' 2>/dev/null | wc -l; }
only_main_window() { [[ $(program_windows) -eq 1 ]]; }
windows_more_than() { [[ $(program_windows) -gt $1 ]]; }
windows_exactly() { [[ $(program_windows) -eq $1 ]]; }

click() {
  xdotool mousemove $((X + $1)) $((Y + $2)) click 1
  sleep 0.3
}

# The window grows from 789 x 465: the analyser's plots with it, the bottom row and the controls
# under a plot down with its bottom edge, Close to the right. X Y [W H] as laid out at 789 x 465,
# given as they are now at WIDTH x HEIGHT:
grown() { echo "$1 $2 $(($3 + WIDTH - 789)) $(($4 + HEIGHT - 465))"; }  # a plot
down() { echo "$1 $(($2 + HEIGHT - 465))"; }                            # under a plot
right_down() { echo "$(($1 + WIDTH - 789)) $(($2 + HEIGHT - 465))"; }   # beside and under it

# pick X Y KEYS...: opens the list at X, Y, moves through it with KEYS, chooses with Return.
pick() {
  local before
  before=$(program_windows)
  click "$1" "$2"
  wait_until 5 "the list at $1,$2 did not open" windows_more_than "$before"
  shift 2
  xdotool key "$@" Return
  wait_until 5 "the list did not close" windows_exactly "$before"
  sleep 0.3
}

# type_into_dialog TITLE_REGEX TEXT: types TEXT into the dialog's focused field, then Return, and
# waits for the dialog to go.
type_into_dialog() {
  wait_dialog "$1"
  xdotool key ctrl+a
  xdotool type --delay 15 "$2"
  xdotool key Return
  wait_until 10 "the dialog \"$1\" did not close" not_visible "$1"
  sleep 0.3
}

# shot FILE: the main window alone, cropped to it, without a dialog or list over it.
shot() {
  only_main_window || fail "another window is over the main window before taking $1"
  import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$1"
}

# pixels X Y W H COLOUR...: how many pixels of the window's rectangle have one of the colours
# (#RRGGBB).
pixels() {
  local x=$1 y=$2 w=$3 h=$4
  shift 4
  import -window root -crop "${w}x${h}+$((X + x))+$((Y + y))" -depth 8 txt:- 2>/dev/null |
    awk -v want="$*" 'BEGIN { n = split(want, c, " "); for (i = 1; i <= n; ++i) ok[c[i]] = 1 }
                      NR > 1 && ($3 in ok) { ++count } END { print count + 0 }'
}
# has_pixels X Y W H MIN COLOUR...: at least MIN such pixels.
has_pixels() {
  local x=$1 y=$2 w=$3 h=$4 min=$5
  shift 5
  (($(pixels "$x" "$y" "$w" "$h" "$@") >= min))
}

# extent X Y W H COLOUR...: where the window's rectangle has pixels of those colours, in window
# coordinates: "left top right bottom count x-of-the-topmost" (all 0 when there are none).
extent() {
  local x=$1 y=$2 w=$3 h=$4
  shift 4
  import -window root -crop "${w}x${h}+$((X + x))+$((Y + y))" -depth 8 txt:- 2>/dev/null |
    awk -v want="$*" -v ox="$x" -v oy="$y" '
      BEGIN { n = split(want, c, " "); for (i = 1; i <= n; ++i) ok[c[i]] = 1 }
      NR > 1 && ($3 in ok) {
        split($1, p, /[,:]/); px = p[1] + ox; py = p[2] + oy
        if (!count || px < l) l = px
        if (!count || px > r) r = px
        if (!count || py < t) { t = py; tx = px }
        if (!count || py > b) b = py
        ++count
      }
      END { print l + 0, t + 0, r + 0, b + 0, count + 0, tx + 0 }'
}

# Trace colours of the displays: left channel, right channel, and the one-trace displays
# (vector scope, spectrum, right relative to left).
LEFT_BLUE='#0000FF'
RIGHT_RED='#FF0000'
TRACE='#FFFFC0'

# Where things are, in pixels from the main window's top left corner.
# Bottom row.
SAVE_AS=(48 446); START_GENERATOR=(156 446); COUPLE=(264 446); START_ANALYSER=(456 446)
CLOSE=(744 446)
# Generator tabs and controls.
TONE_TAB=(30 38); SWEEP_TAB=(75 38)
LEFT_WAVEFORM=(80 322); RIGHT_WAVEFORM=(216 322); FREQ_RANGE=(80 366)
IN_PHASE=(190 363); INDEPENDENT=(190 401)
RIGHT_LEVEL_BELOW=(252 220)   # the right level track bar below its handle at -20 dB: 5 dB down
STEPPED=(52 88); SLOW=(52 166); DURATION=(40 236)
# Analyser pages.
VECTORSCOPE_TAB=(328 38); SCOPE_TAB=(379 38); SPECTRUM_TAB=(446 38); RESPONSE_TAB=(544 38)
DISTORTION_TAB=(622 38); IMPULSE_TAB=(672 38); INPUT_TAB=(731 38)
PLOT=(323 86 440 254)          # the plot area of the scope, spectrum and response pages
VECTOR_PLOT=(323 86 326 316)
TRACE_OFFSET=(506 390); SCOPE_GAIN_UP=(310 372); TIMEBASE_FASTER=(747 372)
SPECTRUM_MODE=(554 390); LOAD_SPECTRUM=(370 392)
SAVE_RESPONSE=(378 380); LOAD_LEFT=(622 376); LEFT_IS_REF=(598 406)
RESPONSE_RIGHT_END=(760 86 1 254)   # the response plot's last column
IMPULSE_PLOT=(351 91 414 200)        # inside the impulse page's plot frame
IMPULSE_VIEW=(351 336); IMPULSE_SMOOTHING=(436 336); IMPULSE_MEASURE=(340 390)
# Menu.
FILE_MENU=(18 8); REPLAY_ITEM=(80 29)
