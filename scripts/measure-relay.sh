#!/usr/bin/env bash
# Measures underruns and lost audio over long runs at real time: orvctl-sim (board filling at
# 48000 samples per second, SPI frames taking as long as at 7.8125 MHz) plays into the test
# suite's real-time output device, whose clock runs at 0 and at -100 and +100 ppm. ALSA's file
# plugin keeps everything the device took, which is then compared with the board's stream.
#
#   scripts/measure-relay.sh [SECONDS]      (default 600 per clock offset; runs one after another)
#   PPMS="0 -100 100" LATENCY_NOTE=... scripts/measure-relay.sh 60
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
ppms=${PPMS:-0 -100 100}
khz=145500

scripts/deps.sh test >/dev/null
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$(nproc)" --target orvctl-sim asound_module_pcm_orvtest \
  orvctl-stream-check >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-6s %8s %10s %10s %6s %s\n' ppm seconds blocks underruns short "captured audio"
for ppm in $ppms; do
  conf=$work/asound-$ppm.conf
  cat >"$conf" <<CONF
pcm_type.orvtest { lib "$PWD/build/tests/libasound_module_pcm_orvtest.so" }
pcm.!default { type file; slave.pcm "card"; file "$work/played-$ppm.raw"; format "raw" }
pcm.card { type orvtest; ppm $ppm; report "$work/report-$ppm" }
CONF
  status=0
  ALSA_CONFIG_PATH=$conf timeout -s INT "$seconds" build/orvctl-sim -s "$khz" \
    >"$work/out-$ppm" 2>"$work/err-$ppm" || status=$?
  [ "$status" = 124 ] || { echo "ppm $ppm: run ended early (status $status)"; cat "$work/out-$ppm"; }
  underruns=$(grep -c '^underrun' "$work/report-$ppm" || true)
  shorts=$(grep -c '^Short write' "$work/out-$ppm" || true)
  check=$(build/tests/orvctl-stream-check "$work/played-$ppm.raw" "$khz" || true)
  blocks=$(($(stat -c %s "$work/played-$ppm.raw") / 24000))
  printf '%-6s %8s %10s %10s %6s %s\n' "$ppm" "$seconds" "$blocks" "$underruns" "$shorts" "$check"
done
