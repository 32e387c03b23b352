#!/usr/bin/env bash
# CPU time per second of playback, and polls of the board's buffer per block, at real time:
# orvctl-sim (its board filling at 48000 samples per second, every frame taking as long as on
# SPI0 at 7.8125 MHz, the host busy-waiting for each as the bcm2835 library does) playing into the
# test suite's real-time output device, for SECONDS (default 60).
#   - without a frame log: user and system time per second, and context switches;
#   - with the frame log (in /dev/shm; its writes take time of their own): polls per block.
#
#   scripts/measure-cpu.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds=${1:-60}
khz=145500
build_for_measuring

work=$(mktemp -d)
log=$(mktemp -p /dev/shm orvctl-frames.XXXXXX)
trap 'rm -rf "$work" "$log"' EXIT
write_test_asound_conf "$work/asound.conf" "pcm.!default { type orvtest; report \"$work/report\" }"

# run NAME [VARIABLE=VALUE...]: one run of SECONDS, timed.
run() {
  local name=$1
  shift
  env ALSA_CONFIG_PATH="$work/asound.conf" "$@" /usr/bin/time -v -o "$work/time-$name" \
    timeout -s INT "$seconds" "$test_build/orvctl-sim" -s "$khz" >/dev/null 2>"$work/err-$name" || true
}
field() { sed -nE "s/^\s*$2: (.*)/\1/p" "$work/time-$1"; }

run plain
run logged ORVSIM_LOG="$log"
polls=$(grep -c '^01 00 54' "$log" || true)
blocks=$(grep -c 'crc32=' "$log" || true)

printf '%-8s %7s %8s %8s %10s %12s %12s %10s %s\n' run seconds user system "CPU s/s" \
  voluntary involuntary underruns "polls per block"
for name in plain logged; do
  user=$(field $name 'User time \(seconds\)')
  system=$(field $name 'System time \(seconds\)')
  per_second=$(awk -v u="$user" -v s="$system" -v t="$seconds" 'BEGIN { printf "%.3f", (u + s) / t }')
  per_block=-
  if [ $name = logged ]; then
    per_block=$(awk -v p="$polls" -v b="$blocks" 'BEGIN { printf "%.0f (%d polls, %d blocks)", p / b, p, b }')
  fi
  printf '%-8s %7s %8s %8s %10s %12s %12s %10s %s\n' $name "$seconds" "$user" "$system" \
    "$per_second" "$(field $name 'Voluntary context switches')" \
    "$(field $name 'Involuntary context switches')" \
    "$(grep -c 'underrun occurred' "$work/err-$name" || true)" "$per_block"
done
