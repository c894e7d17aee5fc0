#!/usr/bin/env bash
# Faults a user meets, through the real window under a virtual X server, on PortAudio against a
# private PulseAudio: the audio server killed during a sweep, frozen for 10 s, absent at start;
# settings that cannot be written or are garbage; files to load that are truncated, empty, a
# folder or unreadable; saves over a good file that must fail. After each: the program is alive,
# its window answers, the user was told (every message box is also written to stderr), good
# files are unchanged and a tone still reaches the analyser. Fresh settings per case. Screenshots
# go to $QV_FAULTS_DIR (default /tmp/quorvane-faults). QV_FAULT_CASES="1 3" picks cases. Exits
# non-zero at the first failed check, naming it.
set -euo pipefail
[[ -z "${QV_TRACE:-}" ]] || set -x
export QV_EXTRA_PACKAGES="xvfb xdotool imagemagick pulseaudio pulseaudio-utils"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

if [[ -z "${QV_IN_XVFB:-}" ]]; then
  QV_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x900x24" "$0" "$@"
fi
source "$ROOT/scripts/xdrive.sh"
source "$ROOT/scripts/pulse-server.sh"

out=${QV_FAULTS_DIR:-/tmp/quorvane-faults}
mkdir -p "$out"
rm -f "$out"/*.png
work=$(mktemp -d)
cleanup() {
  stop_program
  [[ -z "$PA_PID" ]] || kill -CONT "$PA_PID" 2>/dev/null || true
  stop_pulse_server
  umount "$work/full" 2>/dev/null || true
  [[ -z "${RO_DIR:-}" ]] || umount "$RO_DIR" 2>/dev/null || true
  [[ -n "${QV_KEEP:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT

check() {  # check WHAT COMMAND...
  local what=$1
  shift
  "$@" || fail "$what"
  echo "ok: $what"
}
snap() {
  import -window root "$out/$1.png"
  echo "  screenshot $1.png"
}

HOME_DIR= LOG=
# fresh_home: a new settings folder whose offsets count as measured, so no question comes.
fresh_home() {
  HOME_DIR=$(mktemp -d "$work/home.XXXX")
  mkdir -p "$HOME_DIR/.config/Brackwell Systems" "$HOME_DIR/cwd"
  CONF="$HOME_DIR/.config/Brackwell Systems/Quorvane.conf"
  printf '[Quorvane]\nADCMeasured=true\nADCLeftOffset=0\nADCRightOffset=0\n' >"$CONF"
  LOG="$HOME_DIR/stderr.log"
}

# start_app [PREFIX...]: the program on PortAudio with the settings of HOME_DIR, through an
# optional command prefix (e.g. a shell that lowers a limit).
start_app() {
  (cd "$HOME_DIR/cwd" && exec env HOME="$HOME_DIR" XDG_CONFIG_HOME="$HOME_DIR/.config" \
     QUORVANE_AUDIO=portaudio "$@" "$BUILD/src/app/quorvane" >"$LOG" 2>&1) &
  APP_PID=$!
  wait_until 30 "the main window did not appear" visible "$QV_MAIN_TITLE"
  MAIN=$(xdotool search --onlyvisible --name "$QV_MAIN_TITLE" | head -1)
  eval "$(xdotool getwindowgeometry --shell "$MAIN")"
  sleep 0.5
}

alive() { kill -0 "$APP_PID" 2>/dev/null; }
told() { grep -q -- "$1" "$LOG"; }
messages() { grep -E '^(message|question|error): ' "$LOG" || true; }
count_messages() { grep -cE '^(message|question|error): ' "$LOG" || true; }
show_messages() { messages | sed 's/^/  user saw: /'; }

# dismiss_boxes [COUNT]: Return on every box over the main window (or on COUNT of them) until
# only it is left. Boxes carry the main window's title; the newest is the last one listed.
dismiss_boxes() {
  local n id
  for n in $(seq "${1:-10}"); do
    id=$(xdotool search --onlyvisible --class '^quorvane$' 2>/dev/null | grep -vx "$MAIN" | tail -1 || true)
    [[ -n "$id" ]] || return 0
    [[ -z "${QV_DEBUG:-}" ]] || echo "  box $id: $(xdotool getwindowname "$id") $(xdotool getwindowgeometry "$id" | tr '\n' ' ')"
    xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id" 2>/dev/null || true
    sleep 0.3
    xdotool key Return
    sleep 0.7
  done
  only_main_window
}

crop_sum() { import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage rgb:- | md5sum; }
# answers: a click on another analyser tab changes the window within 5 s, and back.
answers() {
  local before
  before=$(crop_sum)
  click "${INPUT_TAB[@]}"
  local end=$(($(date +%s) + 5))
  while [[ $(crop_sum) == "$before" ]]; do
    (($(date +%s) < end)) || return 1
    sleep 0.2
  done
  click "${SPECTRUM_TAB[@]}"
  sleep 0.3
}

# tone_seen: Start Generator and Start Analyser on the Tone tab, a spectrum appears; both stopped.
tone_seen() {
  click "${TONE_TAB[@]}"
  click "${SPECTRUM_TAB[@]}"
  click "${START_GENERATOR[@]}"
  click "${START_ANALYSER[@]}"
  local ok=0 end=$(($(date +%s) + 15))
  while (($(date +%s) < end)); do
    if has_pixels "${PLOT[@]}" 300 "$TRACE"; then ok=1; break; fi
    alive || break
    sleep 0.3
  done
  click "${START_ANALYSER[@]}"
  click "${START_GENERATOR[@]}"
  ((ok))
}

# after_fault NAME: the checks every case ends with.
after_fault() {
  check "$1: the program is alive" alive
  snap "$1"
  show_messages
  dismiss_boxes >/dev/null || fail "$1: a box would not go"
  check "$1: the window answers a click" answers
}

# close_dialog TITLE: Escape until the dialog has gone.
close_dialog() {
  local n id
  for n in 1 2 3 4 5; do
    visible "$1" || { sleep 0.3; return 0; }
    id=$(xdotool search --onlyvisible --name "$1" | head -1)
    xdotool windowfocus --sync "$id" 2>/dev/null || true
    xdotool key Escape
    sleep 0.5
  done
  fail "the dialog \"$1\" would not close"
}

# file_dialog TITLE PATH: types PATH into the open/save dialog.
file_dialog() {
  wait_dialog "$1"
  xdotool key ctrl+a
  xdotool type --delay 10 "$2"
  xdotool key Return
  sleep 0.8
}

# ---------------------------------------------------------------------------------------------
case_1() {
  echo "1. The audio server killed while a sweep measures"
  fresh_home
  start_pulse_server
  start_app
  click "${COUPLE[@]}"  # the Sweep tab and the response page
  click "${START_GENERATOR[@]}"
  wait_until 15 "no response trace before the kill" has_pixels "${PLOT[@]}" 100 "$RIGHT_RED"
  kill -KILL "$PA_PID"
  wait "$PA_PID" 2>/dev/null || true
  PA_PID=
  sleep 4
  after_fault 01-server-killed
  check "1: the user was told the device stopped" test "$(count_messages)" -ge 1
  start_pulse_server
  click "${COUPLE[@]}"  # uncoupled: the tone check starts generator and analyser itself
  check "1: with the server back, a tone reaches the analyser" tone_seen
  snap 01-server-back
  stop_program
  stop_pulse_server
}

case_2() {
  echo "2. The audio server frozen for 10 s while generator and analyser run"
  fresh_home
  start_pulse_server
  start_app
  click "${START_GENERATOR[@]}"
  click "${START_ANALYSER[@]}"
  wait_until 15 "no spectrum before the freeze" has_pixels "${PLOT[@]}" 300 "$TRACE"
  kill -STOP "$PA_PID"
  sleep 5
  check "2: the program is alive with the server frozen" alive
  snap 02-server-frozen
  sleep 5
  kill -CONT "$PA_PID"
  sleep 4
  after_fault 02-server-thawed
  if has_pixels "${PLOT[@]}" 300 "$TRACE"; then
    echo "  the spectrum goes on after the thaw"
  else
    echo "  no spectrum after the thaw: starting again"
    click "${START_ANALYSER[@]}"; click "${START_GENERATOR[@]}"; dismiss_boxes || true
    check "2: after the thaw, a tone reaches the analyser" tone_seen
  fi
  stop_program
  stop_pulse_server
}

case_3() {
  echo "3. No audio server at all"
  fresh_home
  PA_DIR=$(mktemp -d "$work/nopulse.XXXX")
  PULSE_SERVER="unix:$PA_DIR/none" PULSE_RUNTIME_PATH="$PA_DIR" start_app
  # Without devices the built-in card stands in, visibly: the caption in red, the reason in its
  # tool tip.
  snap 03-no-server
  check "3: the red caption \"Simulated sound card\" shows" has_pixels 540 436 160 20 20 '#C00000'
  check "3: no message at start" test "$(count_messages)" -eq 0
  check "3: Start Generator and Start Analyser work on the card that stands in" tone_seen
  after_fault 03-no-server
  close_program
}

case_4() {
  echo "4. A settings folder that cannot be written"
  fresh_home
  start_pulse_server
  # As root permissions do not bite: the folder is a read-only bind of itself.
  local dir="$HOME_DIR/.config/Brackwell Systems"
  RO_DIR=$dir
  cp "$CONF" "$work/conf-before"
  mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir"
  start_app
  pick "${SPECTRUM_MODE[@]}" Down  # a change that ought to be stored
  click "${CLOSE[@]}"
  sleep 2
  snap 04-settings-unwritable
  show_messages
  check "4: closing with unwritable settings tells the user" told 'The settings cannot be saved in'
  dismiss_boxes || true
  wait_until 15 "4: the program did not end after the message" not alive
  local status=0
  wait "$APP_PID" || status=$?
  APP_PID=
  umount "$dir"
  RO_DIR=
  check "4: the program ended with status 0 ($status)" test "$status" -eq 0
  check "4: the old settings file is unchanged" cmp -s "$CONF" "$work/conf-before"
  start_app
  check "4: afterwards, a tone reaches the analyser" tone_seen
  close_program
  stop_pulse_server
}

case_5() {
  echo "5. A settings file full of garbage"
  start_pulse_server
  fresh_home
  head -c 4096 /dev/urandom >"$CONF"
  start_app
  after_fault 05-settings-random
  check "5: with random settings, a tone reaches the analyser" tone_seen
  close_program
  fresh_home
  cat >"$CONF" <<'EOF'
[Quorvane]
ADCMeasured=true
ADCLeftOffset=99999999999999999999
ADCRightOffset=-2147483648
FreqRange=-7
WaveformLeft=1000000
WaveformRight=nan
OutputPhase=3.5
OutputLeftGainPos=-2147483648
OutputRightGainPos=2147483647
ScopeGain=99999
ScopeTimebase=-99999
SpectrumMode=@Variant(\0\0\0\x7f\0\0\0\x5QSize\0\0\0\x1)
SpectrumMin=2147483647
SpectrumMax=-2147483648
ResponseMin=100000
ResponseMax=-100000
UserF1=-5
UserF2=2147483647
SweepDuration=0
SweepIsSlow=maybe
GeneratorTab=42
EOF
  start_app
  # Offsets no measurement gives: the program asks to measure again.
  if wait_until 5 "no offset question" visible '^Measure sound card A/D offset$' 2>/dev/null; then :; fi
  after_fault 05-settings-absurd
  check "5: with absurd settings, a tone reaches the analyser" tone_seen
  close_program
  stop_pulse_server
}

case_6() {
  echo "6. Loading bad response and WAV files"
  fresh_home
  start_pulse_server
  start_app
  local d="$HOME_DIR/cwd"
  printf 'Frequency-Hz   response-dB\r\n20.0 -3.0\r\n25' >"$d/truncated.dat"
  : >"$d/empty.dat"
  mkdir "$d/folder.dat"
  mkfifo "$d/fifo.dat"
  sox -n -r 44100 -c 2 -b 16 "$d/good.wav" synth 0.5 sine 1000
  head -c 60 "$d/good.wav" >"$d/truncated.wav"
  : >"$d/empty.wav"
  mkdir "$d/folder.wav"
  mkfifo "$d/fifo.wav"
  click "${RESPONSE_TAB[@]}"
  local f before
  # A FIFO with no writer blocks a reader that opens it: as root chmod 000 does not bite, and a
  # FIFO is a file that really cannot be read.
  for f in truncated.dat empty.dat folder.dat fifo.dat; do
    [[ $f == /* ]] || f="$d/$f"
    before=$(count_messages)
    click "${LOAD_LEFT[@]}"
    file_dialog '^Choose a file to load into the left channel$' "$f"
    # A folder's name opens the folder in the dialog: that is no load.
    if visible '^Choose a file to load into the left channel$'; then
      echo "  $f: the dialog stays (a folder is entered, not loaded)"
      close_dialog "^Choose a file to load into the left channel$"
      continue
    fi
    if [[ $f == */truncated.dat ]]; then
      # The points before the cut are good ones: they load, as the classic reader did.
      sleep 1
      check "6: truncated.dat loads its whole points without a message" eval '(( $(count_messages) == before ))'
      continue
    fi
    wait_until 10 "6: loading $f gave no message" eval '(( $(count_messages) > before ))'
    messages | tail -1 | sed "s|^|  $(basename "$f"): |"
    dismiss_boxes || fail "6: the box for $f would not go"
    check "6: alive after loading $(basename "$f")" alive
  done
  snap 06-bad-response-files
  click "${SPECTRUM_TAB[@]}"
  for f in truncated.wav empty.wav folder.wav fifo.wav; do
    before=$(count_messages)
    click "${FILE_MENU[@]}"
    click "${REPLAY_ITEM[@]}"
    file_dialog '^Replay WAV file$' "$d/$f"
    if visible '^Replay WAV file$'; then
      echo "  $f: the dialog stays (a folder is entered, not loaded)"
      close_dialog "^Replay WAV file$"
      continue
    fi
    wait_until 10 "6: replaying $f gave no message" eval '(( $(count_messages) > before ))'
    messages | tail -1 | sed "s|^|  $f: |"
    dismiss_boxes || fail "6: the box for $f would not go"
    check "6: alive after replaying $f" alive
  done
  after_fault 06-bad-wav-files
  check "6: afterwards, a tone reaches the analyser" tone_seen
  close_program
  stop_pulse_server
}

case_7() {
  echo "7. Saving over a good file where the write fails"
  fresh_home
  start_pulse_server
  local d="$HOME_DIR/cwd"
  # A tiny tmpfs, filled up: writes there fail for lack of space.
  mkdir -p "$work/full"
  mount -t tmpfs -o size=64k tmpfs "$work/full"
  sox -n -r 44100 -c 2 -b 16 "$work/full/good.wav" synth 0.1 sine 1000
  printf 'Frequency-Hz   response-dB\r\n20.0 -3.0\r\n20000.0 -4.0\r\n' >"$work/full/good.dat"
  dd if=/dev/zero of="$work/full/filler" bs=1k count=1000 2>/dev/null || true
  cp "$work/full/good.wav" "$work/good.wav"; cp "$work/full/good.dat" "$work/good.dat"
  start_app
  click "${TONE_TAB[@]}"
  local before
  before=$(count_messages)
  click "${SAVE_AS[@]}"
  file_dialog '^Save As$' "$work/full/good.wav"
  wait_until 10 "7: no question to replace good.wav" told 'good.wav already exists'
  dismiss_boxes 1 || true  # Yes
  sleep 1
  snap 07-save-wav-full
  show_messages
  check "7: the failed WAV save tells the user" eval '(( $(count_messages) >= before + 2 ))'
  dismiss_boxes || fail "7: the box would not go"
  check "7: good.wav is unchanged" cmp -s "$work/full/good.wav" "$work/good.wav"
  check "7: no temporary file is left" eval '[[ $(ls "$work/full" | wc -l) -eq 3 ]]'
  # A response: a sweep first, so there is one to save.
  click "${COUPLE[@]}"
  click "${START_GENERATOR[@]}"
  wait_until 15 "no response to save" has_pixels "${PLOT[@]}" 100 "$RIGHT_RED"
  sleep 2
  click "${START_GENERATOR[@]}"
  before=$(count_messages)
  click "${SAVE_RESPONSE[@]}"
  file_dialog '^Save As$' "$work/full/good.dat"
  wait_until 10 "7: no question to replace good.dat" told 'good.dat already exists'
  dismiss_boxes 1 || true  # Yes
  sleep 1
  snap 07-save-response-full
  show_messages
  check "7: the failed response save tells the user" eval '(( $(count_messages) >= before + 2 ))'
  dismiss_boxes || fail "7: the box would not go"
  check "7: good.dat is unchanged" cmp -s "$work/full/good.dat" "$work/good.dat"
  check "7: no temporary file is left" eval '[[ $(ls "$work/full" | wc -l) -eq 3 ]]'
  click "${COUPLE[@]}"  # uncoupled again, for the tone at the end
  after_fault 07-after-saves
  check "7: afterwards, a tone reaches the analyser" tone_seen
  close_program
  stop_pulse_server
  umount "$work/full"
}

for c in ${QV_FAULT_CASES:-1 2 3 4 5 6 7}; do
  t0=$SECONDS
  "case_$c"
  echo "case $c passed in $((SECONDS - t0)) s"
done
echo "Faults passed in $SECONDS s; screenshots in $out"
