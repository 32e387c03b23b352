#!/usr/bin/env bash
# docs/recording.md's recordings-only configuration and run, as written, with orvctl-sim for orvctl
# (its ramp, in transmissions) and this tree's orvctl-record:
#
#   check_recording.sh ORVCTL_SIM STREAM_CHECK SOURCE_DIR
#
# Five transmissions of 1 to 10 s, three of them with pauses of 0.5 s inside, 5 to 10 s apart, and
# a burst of 0.2 s between two of them: exactly five files, each named by the frequency and the
# time its sound came (within a second), each the board's samples exactly from 0.2 s before its
# transmission's first sample to 2 s after its last (a frame of 1024 samples more allowed at each
# end), pauses and all; nothing of the short burst, nothing left behind. Then a run whose folder
# is missing at first: said once, orvctl plays on, recording starts once the folder is there. And
# an ffmpeg slow to start holds up nothing the recorder is given.
set -euo pipefail
sim=$1 checker=$2 source=$3
. "$source/scripts/lib.sh"

# START:END,... of each transmission (seconds of the board's stream), and the bursts that make them.
transmissions="2:5 10:16 26:36 41:42 47:53.5"
bursts="2:1000 3.5:1500 10:2000 12.5:2000 15:1000 21:200 26:10000 41:1000 47:3000 50.5:3000"
stop_after=58

work=$(mktemp -d)
trap 'pkill -INT -f "orvctl-record .*$work" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/recordings"
ln -s "$sim" "$work/bin/orvctl"
ln -s "$source/record/orvctl-record" "$work/bin/orvctl-record"
copied_block "$source/docs/recording.md" recording >"$work/recording.conf"
run=$(copied_block "$source/docs/recording.md" recording-run)
[ -n "$run" ] && grep -q orvctl-record "$work/recording.conf"

cd "$work"
# (A recording gets the mode the umask gives: here 640, neither mktemp's 600 nor the usual 644.)
umask 027
HOME=$work PATH=$work/bin:$PATH ORVSIM_SIGNAL=ramp ORVSIM_BURSTS=$bursts \
  timeout -s INT $stop_after bash -c "$run" >"$work/out" 2>&1 &
player=$!
for _ in $(seq 1000); do
  grep -q 'Playback enabled' "$work/out" 2>/dev/null && break
  sleep 0.01
done
started=$(date +%s.%N)
wait "$player" || true
# The recorder cuts the transmission under way as its input ends; it is done when gone.
for _ in $(seq 200); do
  pgrep -f "orvctl-record .*$work" >/dev/null || break
  sleep 0.1
done

failed=0
fail() {
  echo "check_recording.sh: $*" >&2
  failed=1
}
grep -qx 'Playback enabled: Ctrl-C to exit' out || fail "orvctl did not play: $(cat out)"
leftovers=$(find recordings -mindepth 1 ! -name '*.flac')
[ -z "$leftovers" ] || fail "left in the folder: $leftovers"
mapfile -t files < <(cd recordings && ls -- *.flac 2>/dev/null)
[ ${#files[@]} -eq 5 ] || fail "${#files[@]} files, not 5: ${files[*]}"
read -ra spans <<<"$transmissions"
for i in "${!files[@]}"; do
  file=${files[$i]}
  span=${spans[$i]:-0:0}
  from=${span%:*} to=${span#*:}
  echo "$file, the transmission from $from s to $to s:"
  # The name: the local time of the transmission's first sample, within a second, and the frequency.
  expected=$(awk -v s="$started" -v f="$from" 'BEGIN { printf "%d", s + f }')
  named=
  for t in $((expected - 1)) "$expected" $((expected + 1)); do
    [ "$file" != "$(date -d "@$t" +%Y-%m-%d_%H%M%S)_145500kHz.flac" ] || named=yes
  done
  mode=$(stat -c %a "recordings/$file")
  [ "$mode" = 640 ] || fail "$file has the mode $mode, not the umask's 640"
  [ -n "$named" ] || fail "$file is not named $(date -d "@$expected" +%Y-%m-%d_%H%M%S)_145500kHz.flac (within a second)"
  flac --silent --decode --force-raw-format --endian=little --sign=signed -o "$file.raw" \
    "recordings/$file"
  # The board's samples exactly (the checker places the file by its first sound)...
  ORVSIM_BURSTS=$bursts "$checker" "$file.raw" 145500 ramp || fail "$file is not the board's samples"
  # ... from the pre-roll to the hang's end: the first sound where the pre-roll ends, and it is the
  # transmission's first sample (the ramp's value there); the file's end 2 s after the last.
  read -r first value samples < <(od -An -v -td2 -w2 "$file.raw" |
    awk '$1 != 0 && !k { k = NR - 1; v = $1 } END { print k, v, NR }')
  echo "its first sound at sample $first ($value), $samples samples"
  awk -v k="$first" -v v="$value" -v n="$samples" -v a="$from" -v b="$to" 'BEGIN {
    ramp = (a * 48000) % 65536; if (ramp >= 32768) ramp -= 65536
    hang = n - k - (b - a) * 48000
    exit !(k >= 9600 && k <= 9600 + 1024 && v == ramp && hang >= 96000 - 256 && hang <= 96000 + 1024) }' ||
    fail "$file does not hold 0.2 s before its transmission and 2 s after (first sound at $first, $samples samples)"
done
[ $failed -eq 0 ] || {
  echo "orvctl's output:" >&2
  cat out >&2
  exit 1
}
echo "five transmissions, five files, each whole"

# The folder missing when the run starts, made 6 s in (the recorder tries it every 10 s): said
# once, orvctl plays on, and the transmission after it is kept, whatever another user put there.
rm -rf recordings
HOME=$work PATH=$work/bin:$PATH ORVSIM_SIGNAL=ramp ORVSIM_BURSTS="3:1000 14:1000" \
  timeout -s INT 20 bash -c "$run" >"$work/out" 2>&1 &
player=$!
sleep 6
mkdir recordings
# Another user who may write there (a shared folder) has put a FIFO, and links to a file of ours,
# under the names the recorder's files would have if they could be foreseen: its probe, its spool
# (by its process id) and the parts of the recordings of the next seconds. None is opened.
echo ours >victim
recorder=$(pgrep -n -x orvctl-record)
mkfifo recordings/.orvctl-record.probe
ln -s "$work/victim" "recordings/.orvctl-record.$recorder.spool"
for second in $(seq 0 20); do
  ln -s "$work/victim" "recordings/.$(date -d "@$(($(date +%s) + second))" +%Y-%m-%d_%H%M%S)_145500kHz.flac.part"
done
wait "$player" || true
for _ in $(seq 200); do
  pgrep -f "orvctl-record .*$work" >/dev/null || break
  sleep 0.1
done
cat out
said=$(grep -c '^orvctl-record: ' out) || true
grep -qx "orvctl-record: cannot record into $work/recordings: No such file or directory; the audio plays on, and recording starts again once the folder can be written" out &&
  grep -qx "orvctl-record: recording into $work/recordings again" out && [ "$said" = 2 ] &&
  grep -qx 'Playback enabled: Ctrl-C to exit' out ||
  fail "the missing folder was not said once, and then that it records again"
[ "$(cat victim)" = ours ] && [ -p recordings/.orvctl-record.probe ] ||
  fail "the recorder opened what another user put in its folder"
files=$(cd recordings && ls)
echo "then: $files"
[[ "$files" =~ ^[0-9-]{10}_[0-9]{6}_145500kHz\.flac$ ]] || fail "not one file after the folder came: $files"

# An ffmpeg that takes 5 s to start (a small board's first run) holds nothing up: 3 s of audio
# written at once is taken at once, long before it starts.
mkdir slow recordings-slow
printf '#!/bin/sh\nsleep 5\nexec %s "$@"\n' "$(command -v ffmpeg)" >slow/ffmpeg
chmod +x slow/ffmpeg
begun=$(date +%s%N)
(head -c 288000 /dev/zero && date +%s%N >fed) |
  PATH=$work/slow:$PATH "$source/record/orvctl-record" recordings-slow 2>>out
took=$((($(cat fed) - begun) / 1000000))
echo "3 s of audio taken in $took ms, with ffmpeg 5 s to start"
[ "$took" -lt 4000 ] || fail "the recorder held its input up while ffmpeg started ($took ms)"

# The spool cannot be written any more (here: a file size limit of 2 MB, 22 s of audio) while
# ffmpeg is far behind (it starts 25 s late): said, and the input is read on without a stop while
# what was recorded is cut. 120 s of audio at 4 times real time; the feeder's longest write.
mkdir later recordings-full
printf '#!/bin/sh\nsleep 25\nexec %s "$@"\n' "$(command -v ffmpeg)" >later/ffmpeg
chmod +x later/ffmpeg
python3 -c '
import os, sys, time
block, longest, start = bytes(9600), 0.0, time.monotonic()
for n in range(1200):
    ahead = start + n * 0.025 - time.monotonic()
    if ahead > 0:
        time.sleep(ahead)
    t = time.monotonic()
    os.write(1, block)
    longest = max(longest, time.monotonic() - t)
print(int(longest * 1000), file=open("longest", "w"))
' | (ulimit -f 2048 && PATH=$work/later:$PATH "$source/record/orvctl-record" recordings-full 2>full-out)
cat full-out
longest=$(cat longest)
echo "120 s of audio at 4 times real time, the spool failed 22 s in: the longest write $longest ms"
grep -qx "orvctl-record: cannot record into recordings-full: the spool could not be written; the audio plays on, and recording starts again once the folder can be written" full-out ||
  fail "the spool's failure was not said"
[ "$(grep -c . full-out)" = 2 ] && [ "$longest" -lt 3000 ] || fail "the recorder stopped reading while it cut ($longest ms)"
[ $failed -eq 0 ] || exit 1
