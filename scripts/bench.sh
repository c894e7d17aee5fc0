#!/usr/bin/env bash
# Builds in Release and runs the benchmarks.
set -euo pipefail
export QV_BUILD_TYPE=Release
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD"
export QT_QPA_PLATFORM=offscreen
for b in "$BUILD"/bench/bench_*; do
  [[ -x "$b" ]] && "$b" "$@"
done
