#!/usr/bin/env bash
# orvctl's metrics as a monitor has them: docs/monitoring.md's terminal run, as written, with
# orvctl-sim for orvctl; Debian's prometheus-node-exporter reads the file through a link in its
# textfile folder, as the page sets it up, and serves it while it plays; the values move as audio
# plays; the board reset shows as silent at once; the file gone (the service stopped: systemd removes its
# folder), the metrics vanish and the exporter says so.
#
# Beside it, the recorder through 25 s of no input at all (a stuck board writes nothing to it): its
# file written at its start and again 15 s later, not only at the input's end.
#
#   check_metrics.sh ORVCTL_SIM SOURCE_DIR ORVCTL_RECORD
set -euo pipefail
sim=$1 source=$2 recorder=$3
. "$source/scripts/lib.sh"
command -v prometheus-node-exporter >/dev/null && command -v curl >/dev/null || exit 77
work=$(mktemp -d)
exporter=
trap '[ -z "$exporter" ] || kill "$exporter"; rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/xdg" "$work/textfile"
ln -s "$sim" "$work/bin/orvctl"
printf 'pcm.!default { type null }\n' >"$work/asound.conf"
export ALSA_CONFIG_PATH=$work/asound.conf
terminal=$(copied_block "$source/docs/monitoring.md" monitoring-terminal)
[ -n "$terminal" ]
run=$work/xdg/orvctl
ln -s "$run/orvctl.prom" "$work/textfile/orvctl-145500.prom"

failed=0
fail() {
  echo "check_metrics.sh: $*" >&2
  failed=1
}
# The exporter on a port of its own (the system's may run on 9100).
port=$((20000 + RANDOM % 20000))
prometheus-node-exporter --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$work/textfile" --web.listen-address="127.0.0.1:$port" \
  2>"$work/exporter.log" &
exporter=$!
scrape() { curl -sf "http://127.0.0.1:$port/metrics"; }
for _ in $(seq 100); do
  scrape >/dev/null && break
  sleep 0.1
done
value() { sed -n "s/^$1{frequency_khz=\"145500\"} //p" <<<"$2"; }

mkdir "$work/recordings" "$work/record-metrics"
began=$(date +%s)
(sleep 25) | ORVCTL_METRICS=$work/record-metrics "$recorder" "$work/recordings" &
idle=$!
# Two writes, 15 s apart, as the exporter serves them.
XDG_RUNTIME_DIR=$work/xdg PATH=$work/bin:$PATH timeout -s INT 34 bash -c "$terminal" \
  >/dev/null 2>"$work/err" &
player=$!
sleep 17
first=$(scrape)
updated=$(sed -n 's/^orvctl_record_metrics_updated_timestamp_seconds{frequency_khz=""} //p' \
  "$work/record-metrics/orvctl-record.prom")
echo "the idle recorder's file written $((${updated%.*} - began)) s after its start"
[ "${updated%.*}" -ge $((began + 14)) ] ||
  fail "the recorder did not write its metrics while no input came"
sleep 15
second=$(scrape)
wait "$player" || true
wait "$idle" || fail "the idle recorder ended with status $?"
blocks=("$(value orvctl_blocks_total "$first")" "$(value orvctl_blocks_total "$second")")
played=$(value orvctl_played_seconds_total "$second")
echo "blocks served 15 s apart: ${blocks[*]}; seconds played: $played"
# (The board's chime: notes near full scale, each fading out.)
peak=$(value orvctl_audio_peak_dbfs "$second") rms=$(value orvctl_audio_rms_dbfs "$second")
echo "its level over 15 s: peak $peak dBFS, RMS $rms dBFS"
[ -n "${blocks[0]}" ] && [ -n "${blocks[1]}" ] && [ "${blocks[1]}" -ge $((blocks[0] + 40)) ] &&
  [ "$(value orvctl_board_silent "$second")" = 0 ] &&
  awk -v p="$peak" -v r="$rms" 'BEGIN { exit !(p > -10 && p < 0 && r < p - 3 && r > -30) }' ||
  fail "the exporter did not serve orvctl's metrics moving as it played: $second"
grep -q "^node_textfile_mtime_seconds{file=.*orvctl-145500.prom\"}" <<<"$second" ||
  fail "the exporter did not read the file through its link"

# The board reset 5 s in and never back (simulated time), the run stopped 8 s in: written at once,
# not 15 s in, the file says that it is silent.
rm -rf "$run"
mkdir "$run"
ORVCTL_METRICS=$run ORVSIM_CLOCK=simulated ORVSIM_RESET=5:100000 ORVSIM_STOP_AT=8 \
  "$sim" -s 145500 >/dev/null 2>&1 || true
reset=$(scrape)
echo "after the reset: silent $(value orvctl_board_silent "$reset"), $(value orvctl_blocks_total "$reset") blocks"
[ "$(value orvctl_board_silent "$reset")" = 1 ] ||
  fail "the board reset did not show as silent at once: $reset"

# A FIFO at the name the metrics were once written under first (someone else's, in a folder others
# may write to): never opened, the run plays on to its end and writes its file.
rm -f "$run/orvctl.prom"
mkfifo "$run/.orvctl.prom.tmp"
ORVCTL_METRICS=$run ORVSIM_CLOCK=simulated ORVSIM_STOP_AT=20 timeout 60 "$sim" -s 145500 \
  >/dev/null 2>"$work/fifo.err" || [ $? = 130 ] ||
  fail "a FIFO in the metrics' folder held the run up: $(cat "$work/fifo.err")"
[ -p "$run/.orvctl.prom.tmp" ] && [ -f "$run/orvctl.prom" ] && [ ! -s "$work/fifo.err" ] ||
  fail "a FIFO in the metrics' folder was opened, or kept the file from being written: $(cat "$work/fifo.err")"
# The folder removed: nothing of orvctl served, and the exporter says that a file failed.
rm -rf "$run"
gone=$(scrape)
! grep -q '^orvctl_' <<<"$gone" && grep -qx 'node_textfile_scrape_error 1' <<<"$gone" ||
  fail "orvctl's metrics did not vanish with the folder: $gone"
[ $failed -eq 0 ] || {
  cat "$work/err" "$work/exporter.log" >&2
  exit 1
}
echo "served by the exporter, moving, silent after a reset, gone with the folder"
