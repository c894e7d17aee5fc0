#!/usr/bin/env bash
# Screenshots for the manual (docs/): the offset measurement, every analyser page, the Tone tab,
# the Spectrum analyser page in every mode, and fast, stepped, slow and referenced frequency
# responses; the program on the simulated sound card under a virtual screen, driven by mouse and
# keys as a user would; then every analyser page again in a window of 1600 x 1000. A private
# PulseAudio server gives the Input controls page a mixer to
# show; the sound itself stays the simulated card's.
set -euo pipefail
export QV_EXTRA_PACKAGES="xvfb xdotool imagemagick pulseaudio pulseaudio-utils libasound2-plugins"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

if [[ -z "${QV_IN_XVFB:-}" ]]; then
  QV_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1920x1080x24" "$0" "$@"
fi
source "$ROOT/scripts/xdrive.sh"
source "$ROOT/scripts/pulse-server.sh"

work=$(mktemp -d)
trap 'stop_program; stop_pulse_server; rm -rf "$work"' EXIT
start_pulse_server
mkdir -p "$work/home"
start_program "$work/home" "$work" "$work/quorvane.log"
save() {
  shot "$ROOT/docs/$1"
  echo "docs/$1 ($SECONDS s)"
}

# The first-run question, answered Yes: the measuring window, cropped to itself.
wait_dialog '^Measure sound card A/D offset$'
xdotool key Return
wait_until 10 "the offset measurement did not start" visible '^Measuring ADC offset$'
sleep 2
(
  eval "$(xdotool getwindowgeometry --shell "$(xdotool search --onlyvisible --name '^Measuring ADC offset$' | head -1)")"
  import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$ROOT/docs/measure-offset.png"
)
echo "docs/measure-offset.png"
wait_until 15 "the offset measurement did not finish" not_visible '^Measuring ADC offset$'

click "${START_GENERATOR[@]}"  # 400 Hz at -20 dB on both channels
click "${START_ANALYSER[@]}"
names=(octave log linear speech user spectrogram-log spectrogram-lin spectrogram-speech)
for i in "${!names[@]}"; do
  ((i == 0)) || pick "${SPECTRUM_MODE[@]}" Down
  if [[ ${names[$i]} == spectrogram-* ]]; then
    sleep 8  # some history has scrolled in
  else
    wait_until 10 "no spectrum in mode ${names[$i]}" has_pixels "${PLOT[@]}" 100 "$TRACE"
    sleep 3  # the moving average settles
  fi
  save "spectrum-${names[$i]}.png"
done

click "${VECTORSCOPE_TAB[@]}"
wait_until 10 "no vector scope trace" has_pixels "${VECTOR_PLOT[@]}" 200 "$TRACE"
sleep 1
save vectorscope.png

# The scope one step more sensitive at 2 ms per division, the traces apart.
click "${SCOPE_TAB[@]}"
pick "${TRACE_OFFSET[@]}" Down Down
click "${SCOPE_GAIN_UP[@]}"
click "${TIMEBASE_FASTER[@]}"
click "${TIMEBASE_FASTER[@]}"
wait_until 10 "no scope traces" has_pixels "${PLOT[@]}" 200 "$LEFT_BLUE"
wait_until 10 "no right scope trace" has_pixels "${PLOT[@]}" 200 "$RIGHT_RED"
sleep 1
save scope-separate.png

# The Tone tab: a triangle on the left, the right channel 10 dB lower, over each other on the
# scope one step more sensitive again.
pick "${TRACE_OFFSET[@]}" Up Up
click "${SCOPE_GAIN_UP[@]}"
click "${INDEPENDENT[@]}"
click "${RIGHT_LEVEL_BELOW[@]}"
click "${RIGHT_LEVEL_BELOW[@]}"
pick "${LEFT_WAVEFORM[@]}" Down
sleep 1.5
save tone-tab.png
pick "${LEFT_WAVEFORM[@]}" Up
click "${IN_PHASE[@]}"  # the right level follows the left again

click "${INPUT_TAB[@]}"
sleep 0.5
save input-controls.png

# The distortion readings of the same tone, averaged over four analyses.
click "${DISTORTION_TAB[@]}"
wait_until 10 "no distortion readings" has_pixels "${PLOT[@]}" 300 "$LEFT_BLUE"
sleep 3
save distortion.png

# The impulse response page: one 5-s sweep through the card, right (the loudspeaker model)
# and left (a wire) inputs, smoothed to 1/12 octave; the tone plays again afterwards.
click "${IMPULSE_TAB[@]}"
click "${IMPULSE_MEASURE[@]}"
wait_until 30 "no impulse response measured" has_pixels "${IMPULSE_PLOT[@]}" 200 "$RIGHT_RED"
pick "${IMPULSE_SMOOTHING[@]}" Down Down Down Down
sleep 0.5
save impulse.png

# The response page: a coupled fast sweep over the wide range; the card's right input is its
# loudspeaker model, the left a wire.
click "${COUPLE[@]}"  # the Sweep tab and the response page; the tone stops
pick "${FREQ_RANGE[@]}" Up Up
click "${START_GENERATOR[@]}"  # sweep and analyser together
wait_until 15 "no fast response" has_pixels "${PLOT[@]}" 300 "$RIGHT_RED"
sleep 10  # the moving average settles
save response-fast.png
click "${START_GENERATOR[@]}"  # STOP

click "${STEPPED[@]}"
click "${START_GENERATOR[@]}"
wait_until 15 "no stepped response" has_pixels "${PLOT[@]}" 300 "$RIGHT_RED"
sleep 5
save sweep-stepped.png
click "${START_GENERATOR[@]}"
click "${STEPPED[@]}"

# A slow sweep of 10 s: taken, and stopped, in the pause after its last step, when the whole
# stair is drawn.
click "${SLOW[@]}"
click "${DURATION[@]}"
xdotool key ctrl+a
xdotool type 10
xdotool key Tab
click "${START_GENERATOR[@]}"
# The first steps replace what the plot showed before.
wait_until 5 "the slow sweep did not start afresh" \
  not has_pixels "${RESPONSE_RIGHT_END[@]}" 1 "$RIGHT_RED" "$LEFT_BLUE"
wait_until 20 "the slow sweep did not reach its last step" \
  has_pixels "${RESPONSE_RIGHT_END[@]}" 1 "$RIGHT_RED"
save response-slow.png
click "${START_GENERATOR[@]}"
click "${SAVE_RESPONSE[@]}"
type_into_dialog '^Save As$' "$work/slow.dat"
[[ $(tail -1 "$work/slow.dat" | tr -d '\r') == 20000.0* ]] || fail "the slow response was saved before its last step"

# The slow response as the left reference, a fast sweep against it, then right relative to it.
click "${SLOW[@]}"
click "${LOAD_LEFT[@]}"
type_into_dialog '^Choose a file to load into the left channel$' "$work/slow.dat"
click "${START_GENERATOR[@]}"
wait_until 15 "no response against the reference" has_pixels "${PLOT[@]}" 300 "$RIGHT_RED"
sleep 6
save response-reference.png
click "${LEFT_IS_REF[@]}"
wait_until 10 "no relative response" has_pixels "${PLOT[@]}" 300 "$TRACE"
sleep 3
save response-leftref.png
click "${START_GENERATOR[@]}"

close_program

# Every analyser page again in a window of 1600 x 1000, the window's place kept from the session
# before; the tone at 400 Hz in MF again, the spectrum in Log.
conf="$work/home/.config/Brackwell Systems/Quorvane.conf"
keep() {  # keep KEY VALUE in the settings' section
  sed -i "/^$1=/d" "$conf"
  sed -i "/^\[Quorvane\]/a $1=$2" "$conf"
}
keep WindowLeft 100
keep WindowTop 40
keep WindowWidth 1600
keep WindowHeight 1000
keep WindowMaximised false
keep FreqRange 2
keep SpectrumMode 1
keep GeneratorTab 0
start_program "$work/home" "$work" "$work/quorvane-grown.log"
[[ "$WIDTH x $HEIGHT" == "1600 x 1000" ]] || fail "the window opened at $WIDTH x $HEIGHT, not 1600 x 1000"
read -r -a plot < <(grown "${PLOT[@]}")
# shellcheck disable=SC2046
click $(down "${START_GENERATOR[@]}")
# shellcheck disable=SC2046
click $(down "${START_ANALYSER[@]}")
wait_until 10 "no grown spectrum" has_pixels "${plot[@]}" 300 "$TRACE"
sleep 3
save grown-spectrum.png
click "${VECTORSCOPE_TAB[@]}"
sleep 1.5
save grown-vectorscope.png
click "${SCOPE_TAB[@]}"
wait_until 10 "no grown scope trace" has_pixels "${plot[@]}" 200 "$LEFT_BLUE"
sleep 1
save grown-scope.png
click "${DISTORTION_TAB[@]}"
wait_until 10 "no grown distortion readings" has_pixels "${plot[@]}" 300 "$LEFT_BLUE"
sleep 3
save grown-distortion.png
click "${IMPULSE_TAB[@]}"
# shellcheck disable=SC2046
click $(down "${IMPULSE_MEASURE[@]}")
read -r -a impulse < <(grown "${IMPULSE_PLOT[@]}")
wait_until 30 "no grown impulse response" has_pixels "${impulse[@]}" 200 "$RIGHT_RED"
sleep 0.5
save grown-impulse.png
click "${INPUT_TAB[@]}"
sleep 0.5
save grown-input-controls.png
# shellcheck disable=SC2046
click $(down "${COUPLE[@]}")  # the Sweep tab and the response page; the tone stops
pick "${FREQ_RANGE[@]}" Up Up  # Wide (20...20K)
# shellcheck disable=SC2046
click $(down "${START_GENERATOR[@]}")
wait_until 15 "no grown response" has_pixels "${plot[@]}" 300 "$RIGHT_RED"
sleep 10
save grown-response.png
# shellcheck disable=SC2046
click $(down "${START_GENERATOR[@]}")
close_program
