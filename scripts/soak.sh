#!/usr/bin/env bash
# A soak: orvctl-sim (its board filling at 48000 samples per second, every SPI frame taking as
# long as at 7.8125 MHz) plays into the test suite's output device, whose clock runs a few ppm off
# the board's. Both run SPEED times faster than real time (the board's rate, the bus clock and
# the device's speed scaled together), so that hours of audio take minutes. ALSA's file plugin
# keeps everything the tool wrote, which is compared sample for sample with the board's stream.
#
#   scripts/soak.sh [AUDIO_SECONDS]     (default 600 of audio per clock offset, one after another)
#   SPEED=10 PPMS="0 -100 100 -300 300" POSITION=period scripts/soak.sh 14400
#
# SPEED: default 1 (real time); keep it at 10 or below, so that a moment's stall of this machine
# cannot run the output dry. POSITION: "exact" (default) or "period" (the output reports its
# position in whole periods, as coarse cards do). SIGNAL: "ramp" (default; shows the queue and the
# delay) or "chime" (the board's usual sound; shows how large the edits' steps are next to its own).
#
# Columns: hours of audio captured; underruns the device saw; samples lost, repeated and altered
# (the goal is 0 in these four); edits per hour (samples dropped and repeated to follow the
# output's clock); after the first minute, the lowest and highest queue of the output when a block
# starts and the spread of the delay from board to output, in ms; the largest step an edit made
# and the largest step of the board's own block there; CPU time (user + system) per second.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

audio_seconds=${1:-600}
speed=${SPEED:-1}
ppms=${PPMS:-0 -100 100}
position=${POSITION:-exact}
signal=${SIGNAL:-ramp}
khz=145500

build_for_measuring

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$(((audio_seconds + speed - 1) / speed))
settle=$((48000 * 60))
ramp_fields=
[ "$signal" != ramp ] || ramp_fields="ramp_block 12000; settle $settle"
last() { sed -nE "s/^$1 (-?[0-9]+).*/\1/p" "$2" | tail -n 1; }

failed=0
echo "$audio_seconds s of audio per offset at $speed x real time, position $position, signal $signal"
printf '%-5s %6s %9s %6s %8s %7s %9s %9s %9s %9s %9s %11s %6s\n' ppm hours underruns lost \
  repeated altered "drops/h" "repeats/h" "queue min" "queue max" "delay ms" "edit step" "CPU/s"
for ppm in $ppms; do
  conf=$work/asound-$ppm.conf
  raw=$work/played-$ppm.raw
  report=$work/report-$ppm
  write_test_asound_conf "$conf" "pcm.!default { type file; slave.pcm \"card\"; file \"$raw\"; format \"raw\" }
pcm.card { type orvtest; ppm $ppm; speed $speed; position \"$position\"; report \"$report\"; $ramp_fields }"
  status=0
  ALSA_CONFIG_PATH=$conf ORVSIM_SIGNAL=$signal ORVSIM_RATE=$((48000 * speed)) \
    ORVSIM_SPI_HZ=$((7812500 * speed)) /usr/bin/time -f '%U %S' -o "$work/time-$ppm" \
    timeout -s INT "$seconds" "$test_build/orvctl-sim" -s "$khz" >"$work/out-$ppm" 2>"$work/err-$ppm" ||
    status=$?
  [ "$status" = 124 ] || {
    echo "ppm $ppm: run ended early (status $status)"
    cat "$work/out-$ppm"
    failed=1
  }
  underruns=$(grep -c '^underrun' "$report" || true)
  check=$("$test_build/testing/orvctl-stream-check" "$raw" "$khz" "$signal" || true)
  rm -f "$raw"
  field() { sed -nE "s/.*$1 (-?[0-9]+).*/\1/p" <<<"$check"; }
  samples=$(field samples)
  hours=$(awk -v s="$samples" 'BEGIN { printf "%.2f", s / 48000 / 3600 }')
  per_hour() { awk -v n="$1" -v s="$samples" 'BEGIN { printf "%.0f", (s > 0 ? n * 48000 * 3600 / s : 0) }'; }
  lost=$(field lost)
  repeated=$(field repeated)
  altered=$(field altered)
  queue_min=- queue_max=- delay=-
  if [ "$signal" = ramp ]; then
    queue_min=$(last 'queue low' "$report")
    queue_max=$(last 'queue high' "$report")
    delay=$(awk -v l="$(last 'delay low' "$report")" -v h="$(last 'delay high' "$report")" \
      'BEGIN { printf "%.1f", (h - l) / 1000 }')
  fi
  cpu=$(tail -n 1 "$work/time-$ppm" | awk -v s="$seconds" '{ printf "%.3f", ($1 + $2) / s }')
  printf '%-5s %6s %9s %6s %8s %7s %9s %9s %9s %9s %9s %11s %6s\n' "$ppm" "$hours" "$underruns" \
    "$lost" "$repeated" "$altered" "$(per_hour "$(field drops)")" \
    "$(per_hour "$(field repeats)")" "$queue_min" "$queue_max" "$delay" \
    "$(field 'largest edit step')/$(field 'own largest step')" "$cpu"
  [ "$underruns$lost$repeated$altered" = 0000 ] || failed=1
done
exit $failed
