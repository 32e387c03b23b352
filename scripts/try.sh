#!/usr/bin/env bash
# Builds orvctl and orvctl-sim and runs the tool against the simulated board (default arguments:
# -d 145500), then shows the frames the board received.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

[ $# -gt 0 ] || set -- -d 145500
frames=build/frames.log
rm -f "$frames"
echo "\$ orvctl-sim $*"
status=0
ORVSIM_LOG="$frames" build/orvctl-sim "$@" || status=$?
echo "(exit status $status; the frames the simulated board received, as hex, are in $frames:)"
[ -f "$frames" ] && cat "$frames"
exit "$status"
