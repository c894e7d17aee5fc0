#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (installing clang if missing) in a build
# of their own and runs each for a while. New inputs go to a scratch corpus in the build folder;
# the checked-in seeds are only read. Crashes, hangs (10 s an input) and leaks land in
# build-fuzz/artifacts. The window targets run on the offscreen platform.
# Usage: scripts/fuzz.sh [seconds per target, default 300]
set -euo pipefail
export QV_EXTRA_PACKAGES="clang"
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
SECONDS_PER_TARGET=${1:-300}
FUZZ_BUILD="$ROOT/build-fuzz"
cmake -S "$ROOT/tests/fuzz" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$FUZZ_BUILD"
mkdir -p "$FUZZ_BUILD/artifacts"
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS="suppressions=$ROOT/tests/fuzz/lsan.supp"
for seeds in "$ROOT"/tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  mkdir -p "$FUZZ_BUILD/corpus/$target"
  "$FUZZ_BUILD/fuzz_$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_BUILD/artifacts/" "$FUZZ_BUILD/corpus/$target" "$seeds"
done
