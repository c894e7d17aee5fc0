#!/usr/bin/env bash
# Screenshots for the manual (docs/): the "Spectrum analyser" page in every mode and a measured
# frequency response, the program on the simulated sound card under a virtual screen, driven by
# mouse and keys as a user would.
set -euo pipefail
export QV_EXTRA_PACKAGES="xvfb xdotool imagemagick"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

if [[ -z "${QV_IN_XVFB:-}" ]]; then
  QV_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x900x24" "$0" "$@"
fi

home=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
HOME="$home" XDG_CONFIG_HOME="$home/.config" QUORVANE_AUDIO=simulated "$BUILD/src/app/quorvane" \
  >/dev/null 2>&1 &
pid=$!
window=
for _ in $(seq 50); do
  window=$(xdotool search --name Zelk 2>/dev/null | head -1) && [[ -n "$window" ]] && break
  sleep 0.2
done
sleep 1
xdotool key Escape  # no offset measurement now
eval "$(xdotool getwindowgeometry --shell "$window")"  # X, Y of the window
click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.4; }
shot() {
  import -window root -crop 789x470+"$X"+"$Y" "$ROOT/docs/$1"
  echo "docs/$1"
}

click 155 446   # Start Generator: 400 Hz at -20 dB on both channels
click 456 446   # Start Analyser
names=(octave log linear speech user spectrogram-log spectrogram-lin spectrogram-speech)
for i in "${!names[@]}"; do
  if ((i > 0)); then
    click 554 389  # the mode list, then the next item
    xdotool key Down Return
  fi
  # Spectrograms get longer, so that some history has scrolled in.
  [[ ${names[$i]} == spectrogram-* ]] && sleep 8 || sleep 3
  shot "spectrum-${names[$i]}.png"
done

# The response page: a coupled fast sweep over the wide range; the card's right input is its
# loudspeaker model, the left a wire.
click 270 446   # "----> and start analyser": the Sweep tab and the response page
click 80 367    # the frequency range list: "Wide  (20...20K)"
xdotool key Up Up Return
sleep 0.4
click 155 446   # Start Generator: sweep and analyser together
sleep 12
shot "response-fast.png"
click 155 446   # STOP
