#!/usr/bin/env bash
# The host's work per audio block, next to the 24.6 ms that the block's 24003-byte transfer takes
# on SPI0 at 7.8125 MHz:
#   1. Google Benchmark of each frame's building and decoding, and of one whole block of the relay
#      (without r, with r, and without r dropping the most samples a block may to follow the
#      output's clock: 24, each searched for and written apart) into ALSA's null output, on a board
#      link that answers at once;
#   2. instructions per block under callgrind (10000 blocks), split into the program's own code,
#      the sound library call, the console line of r, and the stand-in board (not counted).
#
#   scripts/measure-block.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh measure >/dev/null
cmake -S . -B build-bench -DORVCTL_BENCH=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
  >/dev/null
cmake --build build-bench -j"$(nproc)" --target relay_bench >/dev/null
bench=build-bench/bench/relay_bench

"$bench" --benchmark_filter='^BM_(Read|Tune|Block/)' 2>/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
blocks=10000
transfer_ns=$((24003 * 8 * 1000000000 / 7812500))
# Instructions collected inside calls of one function, per block.
per_block() {
  valgrind --tool=callgrind --callgrind-out-file="$work/out" --toggle-collect="$2" \
    "$bench" --benchmark_filter="^BM_BlockFixed/$1/" >/dev/null 2>"$work/log"
  sed -nE 's/.*Collected : ([0-9]+).*/\1/p' "$work/log" | awk -v n=$blocks '{ print int($1 / n) }'
}
echo
echo "Instructions per block (callgrind, $blocks blocks); the transfer itself takes $((transfer_ns / 1000)) us"
printf '%-6s %8s %10s %12s %10s %12s %s\n' block total "own code" "snd_pcm_writei" "console" \
  "board (stub)" "own + library at 1 instruction/ns, share of the transfer"
names=(plain r edited)
for r in 0 1 2; do
  total=$(per_block $r 'relay_block*')
  board=$(per_block $r 'board_exchange*')
  sound=$(per_block $r 'snd_pcm_writei')
  console=$(per_block $r 'say*')
  own=$((total - board - sound - console))
  share=$(awk -v i=$((total - board)) -v t=$transfer_ns 'BEGIN { printf "%.4f%%", 100 * i / t }')
  printf '%-6s %8s %10s %12s %10s %12s %s\n' "${names[$r]}" "$total" "$own" "$sound" "$console" \
    "$board" "$share"
done
