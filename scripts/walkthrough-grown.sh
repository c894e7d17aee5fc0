# Sourced by walkthrough.sh after the first session, on its 1920 x 1080 virtual screen: the
# program started again at 1600 x 1000 from a kept window place, a few pages checked for drawing
# over their grown plots, then, under a window manager, the window maximised with a double click
# on its title bar, checked again, closed and opened maximised once more. Screenshots go on in
# $out.

# locate: the main window's place and size on the screen (X, Y, WIDTH, HEIGHT), also inside a
# window manager's frame, where xdotool reports the frame's offsets added once more.
locate() {
  local info
  info=$(xwininfo -id "$MAIN")
  X=$(awk '/Absolute upper-left X/ { print $4 }' <<<"$info")
  Y=$(awk '/Absolute upper-left Y/ { print $4 }' <<<"$info")
  WIDTH=$(awk '$1 == "Width:" { print $2 }' <<<"$info")
  HEIGHT=$(awk '$1 == "Height:" { print $2 }' <<<"$info")
}

# check_pages WHAT: the spectrum, scope and response pages draw over their whole grown plots.
check_pages() {
  local what=$1 plot l r t b
  read -r -a plot < <(grown "${PLOT[@]}")
  click "${SPECTRUM_TAB[@]}"
  wait_until 10 "no spectrum $what" has_pixels "${plot[@]}" 500 "$TRACE"
  sleep 2
  snap "grown-spectrum-$what"
  local top topx want
  read -r _ top _ _ _ topx < <(extent "${plot[@]}" "$TRACE")
  # Log, 19.5 Hz ... 20 kHz over the plot's whole width: the 400 Hz tone where the grown axis
  # puts it.
  want=$(awk -v x="${plot[0]}" -v w="${plot[2]}" 'BEGIN { printf "%d", x + w * log(400 / 19.53) / log(1024) }')
  check "$what: the tone's peak lies where the grown log axis has 400 Hz (x $topx, want $want)" \
    eval 'between "$topx" $((want - 10)) $((want + 10))'
  read -r l _ r _ _ < <(extent "${plot[@]}" "#00FF00")
  check "$what: the spectrum's grid spans the grown plot (columns $l-$r)" \
    eval '(( l <= plot[0] + 1 && r >= plot[0] + plot[2] - 4 ))'

  click "${SCOPE_TAB[@]}"
  wait_until 10 "no scope trace $what" has_pixels "${plot[@]}" 200 "$LEFT_BLUE"
  sleep 1
  snap "grown-scope-$what"
  read -r l t r b _ < <(extent "${plot[@]}" "$LEFT_BLUE")
  check "$what: the scope's trace runs across the grown plot (columns $l-$r)" \
    eval '(( l <= plot[0] + 3 && r >= plot[0] + plot[2] - 4 ))'
  # The captions follow the grown plot: the time caption under its right edge is there.
  check "$what: the scope's grid reaches the grown plot's bottom (row $(extent "${plot[@]}" "#00FF00" | cut -d' ' -f4))" \
    eval '(( $(extent "${plot[@]}" "#00FF00" | cut -d" " -f4) >= plot[1] + plot[3] - 4 ))'

  click "${VECTORSCOPE_TAB[@]}"
  local vector
  read -r -a vector < <(grown "${VECTOR_PLOT[@]}")
  wait_until 10 "no vector scope trace $what" has_pixels "${vector[@]}" 200 "$TRACE"
  sleep 1
  snap "grown-vectorscope-$what"
  read -r l t r b _ < <(extent "${vector[@]}" "$TRACE")
  # AGC fills the grown square's height with the upright mono figure.
  local square=$(( (HEIGHT - 465 < WIDTH - 789 ? HEIGHT - 465 : WIDTH - 789) + 316 ))
  check "$what: the vector scope's figure fills the grown square (rows $t-$b, $square high)" \
    eval '(( b - t > square * 3 / 4 && r - l < square / 3 ))'
}

echo "Start again at 1600 x 1000 from the kept window place"
mkdir -p "$work/home2/.config/Brackwell Systems"
conf2="$work/home2/.config/Brackwell Systems/Quorvane.conf"
cat >"$conf2" <<'EOF'
[Quorvane]
ADCMeasured=true
ADCLeftOffset=-3
ADCRightOffset=2
SpectrumMode=1
WindowLeft=100
WindowTop=40
WindowWidth=1600
WindowHeight=1000
WindowMaximised=false
EOF
start_program "$work/home2" "$work/cwd" "$work/quorvane2.log"
check "the window opens at its kept place and size ($X, $Y, $WIDTH x $HEIGHT)" \
  test "$X $Y $WIDTH $HEIGHT" = "100 40 1600 1000"
# shellcheck disable=SC2046
click $(down "${START_GENERATOR[@]}")
# shellcheck disable=SC2046
click $(down "${START_ANALYSER[@]}")
check_pages "at-1600x1000"

echo "Maximise on the 1920 x 1080 screen under a window manager"
openbox >"$work/openbox.log" 2>&1 &
WM_PID=$!
trap 'stop_program; [[ -z "${WM_PID:-}" ]] || kill "$WM_PID" 2>/dev/null; rm -rf "$work"' EXIT
framed() { xprop -id "$MAIN" _NET_FRAME_EXTENTS 2>/dev/null | grep -q =; }
wait_until 10 "the window manager did not frame the window" framed
sleep 1
locate
check "the window manager keeps the window where it was ($X, $Y, $WIDTH x $HEIGHT)" \
  test "$X $Y $WIDTH $HEIGHT" = "100 40 1600 1000"
# The title bar is just above the window's menu bar.
xdotool mousemove $((X + 400)) $((Y - 10))
sleep 0.5
xdotool click --repeat 2 --delay 100 1
maximised() {
  locate
  ((WIDTH >= 1900 && HEIGHT >= 1000))
}
wait_until 10 "a double click on the title bar did not maximise the window" maximised
sleep 1
echo "ok: maximised to $WIDTH x $HEIGHT at $X, $Y"
check_pages "maximised"
close_program
check "the window is kept maximised" test "$(awk -F= '$1 == "WindowMaximised" { print $2 }' "$conf2")" = true
kept() { awk -F= -v key="$1" '$1 == key { print $2 }' "$conf2"; }
check "its place and size before maximising are kept (100, 40, 1600 x 1000)" \
  test "$(kept WindowLeft) $(kept WindowTop) $(kept WindowWidth) $(kept WindowHeight)" = "100 40 1600 1000"

start_program "$work/home2" "$work/cwd" "$work/quorvane3.log"
wait_until 10 "the window did not open maximised again" maximised
echo "ok: opened maximised again ($WIDTH x $HEIGHT)"
snap grown-reopened-maximised
close_program
kill "$WM_PID" 2>/dev/null || true
wait "$WM_PID" 2>/dev/null || true
WM_PID=
