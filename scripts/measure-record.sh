#!/usr/bin/env bash
# What orvctl-record costs a station left alone, fed by a paced generator through a pipe as ALSA's
# file plugin feeds it, into a folder on the disk under this tree (not a tmpfs, so that the
# kernel's count of bytes written to storage is meaningful):
#   1. an hour of digital silence fed at speed: the bytes it caused to be written to storage
#      (/proc/PID/io write_bytes), which must be none beyond the folder's own;
#   2. a day of bursts (a transmission of 5 s of noise, which FLAC cannot shrink, every 5 minutes)
#      fed at SPEED (default 500) times real time: bytes written to storage against the files'
#      size (at most 1 % more), the most resident memory (VmHWM), and whether it dropped anything;
#   3. a minute of the same bursts, one every 20 s, at real time: its CPU time, as a share of one
#      core.
#
#   scripts/measure-record.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build_for_measuring
cmake --build "$test_build" -j"$(nproc)" --target orvctl-record >/dev/null
recorder=$PWD/$test_build/orvctl-record

work=$(mktemp -d "$PWD/build-measure-record.XXXXXX")
trap 'rm -rf "$work"' EXIT

# feed SECONDS EVERY SPEED: SECONDS of audio, 5 s of noise in every EVERY s (none if 0), at SPEED
# times real time (0: as fast as the pipe takes it).
feed() {
  python3 - "$@" <<'EOF'
import os, sys, time
seconds, every, speed = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
block, start, fed = 4800, time.monotonic(), 0
silence = bytes(block * 2)
while fed < seconds * 48000:
    t = fed / 48000
    sound = every > 0 and (t % every) >= every - 5
    os.write(1, os.urandom(block * 2) if sound else silence)
    fed += block
    if speed > 0:
        ahead = start + fed / 48000 / speed - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
EOF
}

# run NAME SECONDS EVERY SPEED: the recorder fed so, into work/NAME; prints write_bytes, the files'
# bytes, VmHWM (kB), CPU seconds and wall seconds, read just before its input ends.
run() {
  mkdir "$work/$1"
  exec {input}> >(exec "$recorder" "$work/$1" 2>"$work/$1.err")
  local pid=$! begun=$SECONDS
  feed "$2" "$3" "$4" >&$input
  sleep 1 # (the last file written)
  local written hwm cpu
  written=$(awk '/^write_bytes/ { print $2 }' "/proc/$pid/io")
  hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
  cpu=$(awk -v t="$(getconf CLK_TCK)" '{ print ($14 + $15) / t }' "/proc/$pid/stat")
  exec {input}>&-
  wait "$pid" 2>/dev/null || true
  echo "$written $(find "$work/$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }') $hwm $cpu $((SECONDS - begun))"
}

read -r written files hwm cpu wall < <(run silence 3600 0 0)
echo "an hour of silence at speed: $written bytes written to storage, $files bytes of files" \
  "($(find "$work/silence" -type f | wc -l) files), in $wall s"
[ "$written" = 0 ] || echo "measure-record.sh: silence caused writes" >&2

speed=${SPEED:-500}
read -r written files hwm cpu wall < <(run day 86400 300 "$speed")
echo "a day of bursts at $speed times real time: $(find "$work/day" -type f | wc -l) files of" \
  "$files bytes, $written bytes written to storage ($(awk -v w="$written" -v f="$files" \
    'BEGIN { printf "%+.2f %%", f ? (w - f) * 100 / f : 0 }')), most resident memory $hwm kB," \
  "in $wall s"
! grep . "$work/day.err" || echo "measure-record.sh: it said something (above)" >&2

read -r written files hwm cpu wall < <(run minute 60 20 1)
echo "a minute of bursts at real time: $cpu s of CPU in $wall s," \
  "$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.2f", c * 100 / w }') % of one core"
