#!/usr/bin/env bash
# Counts heap allocations of whole orvctl-sim -s runs under valgrind, for 100 and for 10000 blocks
# (or the counts given), with a board that is always full and an output that plays at SPEED
# (default 50) times real time and breaks after the given number of blocks, which ends the relay
# the normal way. Underruns (the run under valgrind not keeping up) are counted too. The
# difference between two runs, divided by the difference in blocks, is what each block allocates
# in steady state. Ends with status 1 unless every run allocated as often as the first: the relay
# allocates nothing per block.
#
#   scripts/measure-heap.sh [BLOCKS...]      (default: 100 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

[ $# -gt 0 ] || set -- 100 10000
speed=${SPEED:-50}
build_for_measuring

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
previous_blocks=
previous_allocs=
first_allocs=
flat=1
printf '%8s %10s %12s %10s %7s %s\n' blocks allocs bytes underruns errors \
  "allocs per block since the previous row"
for blocks in "$@"; do
  write_test_asound_conf "$work/asound.conf" \
    "pcm.!default { type orvtest; speed $speed; fail_at $((blocks * 12000)) }"
  # The output breaks on purpose, so the run ends with status 1 and its message.
  status=0
  ALSA_CONFIG_PATH=$work/asound.conf ORVSIM_RATE=1000000000 ORVSIM_SPI_HZ=0 \
    valgrind --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
    --log-file="$work/valgrind" "$test_build/orvctl-sim" -s 145500 >"$work/out" 2>"$work/err" ||
    status=$?
  if [ $status != 1 ] || ! grep -q 'snd_pcm_writei failed: Input/output error' "$work/out"; then
    echo "measure-heap.sh: the run of $blocks blocks did not end at the broken output as it" \
      "should (status $status, expected 1); what it printed, on standard output, on standard" \
      "error, and valgrind's last words:" >&2
    cat "$work/out" >&2
    tail -5 "$work/err" "$work/valgrind" >&2
    exit 1
  fi
  usage=$(grep 'total heap usage' "$work/valgrind")
  allocs=$(sed -E 's/.*usage: ([0-9,]+) allocs.*/\1/; s/,//g' <<<"$usage")
  bytes=$(sed -E 's/.* ([0-9,]+) bytes allocated.*/\1/; s/,//g' <<<"$usage")
  underruns=$(grep -c 'underrun occurred' "$work/err" || true)
  errors=$(sed -nE 's/.*ERROR SUMMARY: ([0-9,]+) errors.*/\1/p' "$work/valgrind")
  per_block=-
  if [ -n "$previous_blocks" ]; then
    per_block=$(awk -v a="$allocs" -v pa="$previous_allocs" -v b="$blocks" -v pb="$previous_blocks" \
      'BEGIN { printf "%.3f", (a - pa) / (b - pb) }')
  fi
  printf '%8s %10s %12s %10s %7s %s\n' "$blocks" "$allocs" "$bytes" "$underruns" "$errors" \
    "$per_block"
  previous_blocks=$blocks
  previous_allocs=$allocs
  first_allocs=${first_allocs:-$allocs}
  [ "$allocs" = "$first_allocs" ] || flat=0
done
if [ $flat = 1 ]; then
  echo "flat: every run allocated $first_allocs times"
else
  echo "NOT flat: the allocation count grows with the blocks played" >&2
  exit 1
fi
