#!/usr/bin/env bash
# Shared set-up of run.sh, test.sh and bench.sh: install missing Debian packages (as root),
# configure and build. Source it; it leaves ROOT and BUILD set.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

PACKAGES=(build-essential cmake ninja-build pkg-config ccache
          qt6-base-dev libfftw3-dev portaudio19-dev libasound2-dev libpulse-dev libjack-jackd2-dev
          libgtest-dev libbenchmark-dev fonts-dejavu-core ${QV_EXTRA_PACKAGES:-})

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "These Debian packages are missing: ${missing[*]}"
    echo "Install them with:  sudo apt-get install ${missing[*]}"
    echo "then run this script again."
    exit 1
  fi
fi

if [[ -z "${QV_SKIP_BUILD:-}" ]]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD"
fi
