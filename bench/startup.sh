#!/usr/bin/env bash
# Start-up to a shown window: the time from starting the program until its main window is
# mapped on a virtual X server, median of several starts, on PortAudio against the PulseAudio
# null sink and on the simulated card. A Release build, fresh settings per start (offsets
# measured, so no question); not run by CI.
#
#   bench/startup.sh                          every backend, 5 starts each; "kept" is PortAudio
#                                             with a device kept in the settings ("ALSA: pulse")
#   QV_STARTS=9 QV_BACKENDS=portaudio bench/startup.sh
#   QV_PROGRAM=/path/to/quorvane bench/startup.sh   another build of the program
set -euo pipefail
export QV_EXTRA_PACKAGES="xvfb libx11-dev pulseaudio pulseaudio-utils libasound2-plugins"
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
BUILD="$ROOT/build-release"
if [[ -z "${QV_PROGRAM:-}" ]]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
  cmake --build "$BUILD" --target quorvane >/dev/null
fi
PROGRAM=${QV_PROGRAM:-$BUILD/src/app/quorvane}
STARTS=${QV_STARTS:-5}
read -r -a BACKENDS <<<"${QV_BACKENDS:-portaudio kept simulated}"

WORK=$(mktemp -d /tmp/quorvane-startup.XXXXXX)
XVFB_PID=
cleanup() {
  [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  stop_pulse_server
  rm -rf "$WORK"
}
source "$ROOT/scripts/pulse-server.sh"
trap cleanup EXIT
start_pulse_server
cc -O2 -o "$WORK/window-shown" "$ROOT/bench/window-shown.c" -lX11

Xvfb -displayfd 3 -noreset -screen 0 1280x900x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 3>"$WORK/display" &
XVFB_PID=$!
for _ in $(seq 50); do [[ -s "$WORK/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$WORK/display")"

# One start unmeasured first, so that every measured one finds the files in the page cache.
measure() {  # measure BACKEND: prints one time in ms
  local home
  home=$(mktemp -d "$WORK/home.XXXX")
  mkdir -p "$home/.config/Brackwell Systems"
  local conf="$home/.config/Brackwell Systems/Quorvane.conf" audio=$1
  printf '[Quorvane]\nADCMeasured=true\nADCLeftOffset=0\nADCRightOffset=0\n' >"$conf"
  if [[ "$1" == kept ]]; then
    audio=
    printf 'SoundOutput=ALSA: pulse\nSoundInput=ALSA: pulse\nADCOffsets\\1\\Device=ALSA: pulse\nADCOffsets\\1\\Left=0\nADCOffsets\\1\\Right=0\nADCOffsets\\size=1\n' >>"$conf"
  fi
  (cd "$home" && HOME="$home" XDG_CONFIG_HOME="$home/.config" QUORVANE_AUDIO=$audio \
     "$WORK/window-shown" "$PROGRAM" 2>>"$WORK/program.log")
}

echo "program: $PROGRAM"
for backend in "${BACKENDS[@]}"; do
  measure "$backend" >/dev/null
  times=()
  for _ in $(seq "$STARTS"); do times+=("$(measure "$backend")"); done
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}')
  printf '%-10s median %6.1f ms   starts: %s\n' "$backend" "$median" "${times[*]}"
done
