#!/usr/bin/env bash
# Installs what is missing, builds and starts the program.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Quorvane is a desktop program and no display was found (neither DISPLAY nor WAYLAND_DISPLAY is set)."
  echo "Run it on a desktop session, or without a screen under a virtual X server:"
  echo "    xvfb-run -a scripts/run.sh        (package xvfb)"
  exit 1
fi
exec "$BUILD/src/app/quorvane" "$@"
