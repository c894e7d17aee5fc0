#!/usr/bin/env bash
# The sound-card test from the command line: wall time of quorvane-test on the simulated card
# (run faster than real time), median of several runs, and the length of sound the test plays.
# A Release build; not run by CI.
#
#   bench/card-test.sh                 5 runs
#   QV_RUNS=9 bench/card-test.sh
set -euo pipefail
export QV_SKIP_BUILD=1
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target quorvane-test >/dev/null
RUNS=${QV_RUNS:-5}
WORK=$(mktemp -d /tmp/quorvane-cardtest.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
"$BUILD/src/cli/quorvane-test" --write-signal "$WORK/signal.wav" | sed 's/^/  /'
times=()
for ((i = 0; i < RUNS; ++i)); do
  mkdir "$WORK/run$i"
  start=$(date +%s%N)
  "$BUILD/src/cli/quorvane-test" --simulated "$WORK/run$i" >/dev/null 2>&1
  times+=($((($(date +%s%N) - start) / 1000000)))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
echo "quorvane-test --simulated: median ${median} ms wall over $RUNS runs (${times[*]} ms); goal 10000 ms"
