#!/usr/bin/env bash
# How much room a day of recordings takes, for docs/recording.md: orvctl-record (its defaults)
# fed 2 minutes each of
#   speech: espeak-ng's voice at 48000 Hz with the hiss of a receiver under it (-50 dBFS), in
#     transmissions of 10 s, 5 s apart;
#   a stuck carrier with the squelch open: a receiver's hiss alone, loud (-10 dBFS RMS);
#   a squelched quiet channel: digital silence;
# and the size of the files kept, per second of sound and per day (1500 transmissions of 10 s of
# speech: a busy channel; a day of the carrier; a day of the quiet channel).
#
#   scripts/measure-room.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
scripts/deps.sh measure >/dev/null
cmake -S . -B build >/dev/null && cmake --build build --target orvctl-record >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
raw=(-t raw -r 48000 -e signed -b 16 -c 1)
espeak-ng -w "$work/voice.wav" "Tower, this is Golf Alpha Bravo, two miles south at two thousand feet, request joining instructions for runway two seven."
# Ten seconds of speech over hiss, then five of silence, eight times.
sox "$work/voice.wav" "${raw[@]}" "$work/voice.raw" rate 48000
sox -n "${raw[@]}" "$work/hiss.raw" synth 10 whitenoise vol 0.0055
sox -m "${raw[@]}" "$work/voice.raw" "${raw[@]}" "$work/hiss.raw" "${raw[@]}" "$work/speech.raw"
sox -n "${raw[@]}" "$work/gap.raw" trim 0 5
for _ in $(seq 8); do cat "$work/speech.raw" "$work/gap.raw"; done >"$work/speech-day.raw"
sox -n "${raw[@]}" "$work/carrier.raw" synth 120 whitenoise vol 0.55
sox -n "${raw[@]}" "$work/quiet.raw" trim 0 120
for kind in speech-day carrier quiet; do
  mkdir "$work/$kind"
  # (At twenty times real time: the recorder holds a minute in memory, not two.)
  python3 -c 'import sys, time
data = open(sys.argv[1], "rb").read()
for at in range(0, len(data), 96000):
    sys.stdout.buffer.write(data[at:at + 96000]); sys.stdout.flush(); time.sleep(0.05)' \
    "$work/$kind.raw" | build/orvctl-record "$work/$kind"
  bytes=$(find "$work/$kind" -name '*.flac' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  seconds=$(find "$work/$kind" -name '*.flac' -exec metaflac --show-total-samples {} + |
    awk -F: '{ s += $NF } END { print s / 48000 }')
  echo "$kind: $(find "$work/$kind" -name '*.flac' | wc -l) files, $seconds s, $bytes bytes" \
    "($(awk -v b="$bytes" -v s="$seconds" 'BEGIN { if (s > 0) printf "%.1f kB/s", b / s / 1000; else print "nothing" }'))"
done
