#!/usr/bin/env bash
# A soak at real time: orvctl-sim (its board filling at 48000 samples per second, every SPI frame
# taking as long as at 7.8125 MHz) plays into the test suite's real-time output device, with the
# device's clock matched to the board's and then 100 ppm slow and 100 ppm fast. ALSA's file plugin
# keeps everything the tool wrote, which is compared sample for sample with the board's stream.
#
#   scripts/soak.sh [SECONDS]      (default 600 per clock offset, one after another)
#   PPMS="0 -100 100" scripts/soak.sh 60
#
# Columns: blocks the output took; underruns the device saw; short writes the tool reported;
# samples lost, blocks repeated and blocks altered (not in the board's stream at all); CPU time
# (user + system) per second of playback. The goal is 0 in the four middle columns.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
ppms=${PPMS:-0 -100 100}
khz=145500

scripts/deps.sh measure >/dev/null
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$(nproc)" --target orvctl-sim asound_module_pcm_orvtest \
  orvctl-stream-check >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
printf '%-5s %7s %7s %9s %6s %6s %8s %7s %12s\n' ppm seconds blocks underruns short lost \
  repeated altered "CPU s per s"
for ppm in $ppms; do
  conf=$work/asound-$ppm.conf
  cat >"$conf" <<CONF
pcm_type.orvtest { lib "$PWD/build/tests/libasound_module_pcm_orvtest.so" }
pcm.!default { type file; slave.pcm "card"; file "$work/played-$ppm.raw"; format "raw" }
pcm.card { type orvtest; ppm $ppm; report "$work/report-$ppm" }
CONF
  status=0
  ALSA_CONFIG_PATH=$conf /usr/bin/time -f '%U %S' -o "$work/time-$ppm" \
    timeout -s INT "$seconds" build/orvctl-sim -s "$khz" >"$work/out-$ppm" 2>"$work/err-$ppm" ||
    status=$?
  [ "$status" = 124 ] || {
    echo "ppm $ppm: run ended early (status $status)"
    cat "$work/out-$ppm"
    failed=1
  }
  underruns=$(grep -c '^underrun' "$work/report-$ppm" || true)
  shorts=$(grep -c '^Short write' "$work/out-$ppm" || true)
  check=$(build/tests/orvctl-stream-check "$work/played-$ppm.raw" "$khz" || true)
  blocks=$(sed -nE 's/^blocks ([0-9]+),.*/\1/p' <<<"$check")
  lost=$(sed -nE 's/.*lost samples ([0-9]+),.*/\1/p' <<<"$check")
  repeated=$(sed -nE 's/.*repeated ([0-9]+),.*/\1/p' <<<"$check")
  altered=$(sed -nE 's/.*altered ([0-9]+).*/\1/p' <<<"$check")
  cpu=$(tail -n 1 "$work/time-$ppm" | awk -v s="$seconds" '{ printf "%.3f", ($1 + $2) / s }')
  printf '%-5s %7s %7s %9s %6s %6s %8s %7s %12s\n' "$ppm" "$seconds" "$blocks" "$underruns" \
    "$shorts" "$lost" "$repeated" "$altered" "$cpu"
  [ "$underruns$shorts$lost$repeated$altered" = 00000 ] || failed=1
done
exit $failed
