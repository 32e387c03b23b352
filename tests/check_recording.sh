#!/usr/bin/env bash
# docs/recording.md's recordings-only configuration and run, as written, with orvctl-sim for orvctl
# (its ramp, in transmissions) and this build's orvctl-record:
#
#   check_recording.sh ORVCTL_SIM STREAM_CHECK SOURCE_DIR ORVCTL_RECORD
#
# Five transmissions of 1 to 10 s, three of them with pauses of 0.5 s inside, 5 to 10 s apart, and
# a burst of 0.2 s between two of them: exactly five files, each named by the frequency and the
# time its sound came (within a second), each the board's samples exactly from 0.2 s before its
# transmission's first sample to 2 s after its last, pauses and all; nothing of the short burst,
# nothing left behind. Then a run whose folder is missing at first: said once, orvctl plays on,
# recording starts once the folder is there.
set -euo pipefail
sim=$1 checker=$2 source=$3 recorder=$4
. "$source/scripts/lib.sh"

# START:END,... of each transmission (seconds of the board's stream), and the bursts that make them.
transmissions="2:5 10:16 26:36 41:42 47:53.5"
bursts="2:1000 3.5:1500 10:2000 12.5:2000 15:1000 21:200 26:10000 41:1000 47:3000 50.5:3000"
stop_after=58

work=$(mktemp -d)
trap 'pkill -INT -f "orvctl-record .*$work" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/recordings"
ln -s "$sim" "$work/bin/orvctl"
ln -s "$recorder" "$work/bin/orvctl-record"
copied_block "$source/docs/recording.md" recording >"$work/recording.conf"
run=$(copied_block "$source/docs/recording.md" recording-run)
[ -n "$run" ] && grep -q orvctl-record "$work/recording.conf"

cd "$work"
# (A recording gets the mode the umask gives: here 640, neither mktemp's 600 nor the usual 644.)
umask 027
mkdir metrics
HOME=$work PATH=$work/bin:$PATH ORVSIM_SIGNAL=ramp ORVSIM_BURSTS=$bursts ORVCTL_METRICS=$work/metrics \
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
# (Besides the recordings: their lists and the lists' lock, nothing.)
leftovers=$(find recordings -mindepth 1 ! -name '*.flac' ! -name '????-??-??.tsv' ! -name days.tsv \
  ! -name .orvctl-record.lock)
[ "$(cut -f1 recordings/days.tsv)" = "$(ls recordings | sed -n 's/_.*\.flac$//p' | sort -u)" ] ||
  fail "days.tsv lists $(cat recordings/days.tsv)"
[ -z "$leftovers" ] || fail "left in the folder: $leftovers"
mapfile -t files < <(cd recordings && ls -- *.flac 2>/dev/null)
[ ${#files[@]} -eq 5 ] || fail "${#files[@]} files, not 5: ${files[*]}"
read -ra spans <<<"$transmissions"
for i in "${!files[@]}"; do
  file=${files[$i]}
  span=${spans[$i]:-0:0}
  from=${span%:*} to=${span#*:}
  echo "$file, the transmission from $from s to $to s:"
  # The name: the local time of the transmission's first sample, within a second, the frequency
  # and, where the system's clock is not synchronised (as on many a test machine), that.
  expected=$(awk -v s="$started" -v f="$from" 'BEGIN { printf "%d", s + f }')
  named=
  for t in $((expected - 1)) "$expected" $((expected + 1)); do
    case $file in
      "$(date -d "@$t" +%Y-%m-%d_%H%M%S)_145500kHz.flac" | \
        "$(date -d "@$t" +%Y-%m-%d_%H%M%S)_145500kHz_unsynced.flac") named=yes ;;
    esac
  done
  mode=$(stat -c %a "recordings/$file")
  [ "$mode" = 640 ] || fail "$file has the mode $mode, not the umask's 640"
  [ -n "$named" ] || fail "$file is not named $(date -d "@$expected" +%Y-%m-%d_%H%M%S)_145500kHz.flac (within a second)"
  # Its tags, from orvctl's environment: a player or an archive reads them without the name.
  tags=$(metaflac --export-tags-to=- "recordings/$file")
  grep -qx 'FREQUENCY=145500 kHz' <<<"$tags" && grep -qx 'DEMODULATION=Narrow Band FM' <<<"$tags" &&
    grep -qx "DATE=${file:0:10}T${file:11:2}:${file:13:2}:${file:15:2}\.[0-9]\{3\}[-+][0-9:]\{5\}" <<<"$tags" ||
    fail "$file is not tagged with its frequency, demodulation and time: $tags"
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
    exit !(k == 9600 && v == ramp && hang == 96000) }' ||
    fail "$file does not hold 0.2 s before its transmission and 2 s after (first sound at $first, $samples samples)"
done
# The metrics of the run (ORVCTL_METRICS): orvctl's and the recorder's, clean to promtool, and
# the recorder's counting the files and their samples; nothing else left in the folder.
kept=0
for file in "${files[@]}"; do
  kept=$((kept + $(metaflac --show-total-samples "recordings/$file")))
done
metric() { sed -n "s/^$1{frequency_khz=\"145500\"} //p" "metrics/$2"; }
echo "the metrics: $(ls -A metrics | tr '\n' ' ')"
[ "$(ls -A metrics | tr '\n' ' ')" = "orvctl-record.prom orvctl.prom " ] ||
  fail "the metrics' folder holds $(ls -A metrics)"
if command -v promtool >/dev/null; then
  promtool check metrics <metrics/orvctl.prom && promtool check metrics <metrics/orvctl-record.prom ||
    fail "promtool finds fault with the metrics"
fi
[ "$(metric orvctl_record_recordings_total orvctl-record.prom)" = 5 ] &&
  awk -v a="$(metric orvctl_record_kept_seconds_total orvctl-record.prom)" -v b="$kept" \
    'BEGIN { exit !((a * 48000 - b) ^ 2 < 1) }' &&
  [ "$(metric orvctl_record_failures_total orvctl-record.prom)" = 0 ] &&
  [ "$(metric orvctl_blocks_total orvctl.prom)" -ge 120 ] ||
  fail "the metrics do not count what was played and kept ($kept samples): $(cat metrics/*)"
[ $failed -eq 0 ] || {
  echo "orvctl's output:" >&2
  cat out >&2
  exit 1
}
echo "five transmissions, five files, each whole"

# The folder missing when the run starts, made 6 s in (the recorder tries it every 10 s): said
# once, orvctl plays on, and the transmission after it is kept. Run as the page's block for a clone
# has it, with the programs in the clone's build folder and nowhere on the path.
rm -rf recordings
mkdir -p clone/build
ln -s "$sim" clone/build/orvctl-sim
ln -s "$recorder" clone/build/orvctl-record
cp recording.conf clone/
clone_run=$(copied_block "$source/docs/recording.md" recording-clone)
[ -n "$clone_run" ]
(cd clone && HOME=$work ORVSIM_SIGNAL=ramp ORVSIM_BURSTS="3:1000 14:1000" \
  timeout -s INT 20 bash -c "$clone_run") >"$work/out" 2>&1 &
player=$!
sleep 6
mkdir recordings
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
files=$(cd recordings && ls -- *.flac)
echo "then: $files"
[[ "$files" =~ ^[0-9-]{10}_[0-9]{6}_145500kHz(_unsynced)?\.flac$ ]] ||
  fail "not one file after the folder came: $files"
[ $failed -eq 0 ] || exit 1
