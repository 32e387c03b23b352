#!/usr/bin/env bash
# A soak: orvctl-sim (its board filling at 48000 samples per second, every SPI frame taking as
# long as at 7.8125 MHz) plays into the test suite's output device, whose clock runs a few ppm off
# the board's.
#
#   scripts/soak.sh [AUDIO_SECONDS]     (default 600 of audio per clock offset, one after another)
#   CLOCK=simulated PPMS="0 -1000 1000" POSITION=period scripts/soak.sh 86400
#   CLOCK=simulated PPMS="300 -300" PLOT=docs/relay-day.svg scripts/soak.sh 86400
#   SPEED=10 PPMS="0 -100 100 -300 300" POSITION=period scripts/soak.sh 14400
#
# CLOCK: "real" (default) or "simulated". In simulated time the board, the output and the relay
# share one clock that moves only by bus time and waits for room, so a run is the same on a busy
# machine as on a quiet one and a day of audio takes minutes; an upset comes every hour, half past
# it, in turn: a stall of the relay for 600 ms, a gap of 800 ms in the board's deliveries, a
# restart of the output (UPSETS=0 for none). The output follows the board's ramp sample by sample.
# The noise of a real system is on (as in the tests: the output's position jittered by up to 48
# samples behind a FIFO of 96, wake-ups up to 2 ms late, ALSA's calls preempted 4 times a second for
# up to 3 ms, the tool twice a second for up to 20 ms; NOISE=0 for none, SEED for its numbers).
# PLOT=FILE.svg draws what each run measured, minute by minute, with gnuplot: the delay from board
# to output and the edits, the upsets marked.
# In real time the board and the output run SPEED times faster than real time (the board's rate,
# the bus clock and the device's speed scaled together; default 1; keep it at 10 or below, so that
# a moment's stall of this machine cannot run the output dry), ALSA's file plugin keeps everything
# the tool wrote, and it is compared sample for sample with the board's stream. SIGNAL: "ramp"
# (default; shows the queue and the delay) or "chime" (the board's usual sound; shows how large the
# edits' steps are next to its own; real time only).
#
# POSITION: "exact" (default) or "period" (the output reports its position in whole periods, as
# coarse cards do).
#
# Columns: hours of audio; underruns the device saw; samples lost, repeated (and, in real time,
# altered): the goal is 0 in these, and no underrun but those the upsets force; edits per hour
# (samples dropped and repeated to follow the output's clock). In real time: after the first
# minute, the lowest and highest queue of the output when a block starts and the spread of the
# delay from board to output, in ms; the largest step an edit made and the largest step of the
# board's own block there; CPU time (user + system) per second. In simulated time, as the tests'
# hour rows judge a run (testing/at_rest.h, through orvctl-rest-check, whose faults a failed run
# shows): the spread of the delay at rest (four minutes in until the first upset, and after each
# the backlog's time at 1000 ppm plus two minutes on), the longest time in minutes from an upset
# until the delay stayed within 20.5 ms of where it first rested, the edits at rest per hour
# against what the offset implies, and the run's CPU time in seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

audio_seconds=${1:-600}
speed=${SPEED:-1}
ppms=${PPMS:-0 -100 100}
position=${POSITION:-exact}
signal=${SIGNAL:-ramp}
clock=${CLOCK:-real}
upsets=${UPSETS:-1}
noise=${NOISE:-1}
seed=${SEED:-1}
plot=${PLOT:-}
khz=145500

build_for_measuring

work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
last() { sed -nE "s/^$1 (-?[0-9]+).*/\1/p" "$2" | tail -n 1; }

# simulated PPM: one run in simulated time; prints its row, fails on anything lost or repeated,
# an underrun no upset forced, or an hour that did not come back to rest.
simulated() {
  local ppm=$1 conf=$work/asound-$1.conf report=$work/report-$1 stalls= gaps= restarts= at
  local planned=()
  if [ "$upsets" != 0 ]; then
    for ((hour = 0; hour * 3600 + 1800 < audio_seconds; hour++)); do
      at=$((hour * 3600 + 1800))
      case $((hour % 3)) in
        0) stalls+="$at:600 " planned+=("stall:$at:600") ;;
        1) gaps+="$at:800 " planned+=("gap:$at:800") ;;
        2) restarts+="$at " planned+=("restart:$at") ;;
      esac
    done
  fi
  local fields= preempt=0:0
  if [ "$noise" != 0 ]; then
    fields="jitter 48; fifo 96; wake_late 2000; preempt \"4:3000\"; seed $seed"
    preempt=2:20
  fi
  write_test_asound_conf "$conf" "pcm.!default { type orvtest; clock \"simulated\"; ppm $ppm;
  position \"$position\"; ramp_block 12000; restarts \"$restarts\"; report \"$report\"; $fields }"
  local status=0
  ALSA_CONFIG_PATH=$conf ORVSIM_CLOCK=simulated ORVSIM_SIGNAL=ramp ORVSIM_STALL=$stalls \
    ORVSIM_GAP=$gaps ORVSIM_STOP_AT=$((audio_seconds + 1)) ORVSIM_PREEMPT=$preempt ORVSIM_SEED=$seed \
    /usr/bin/time -f '%U %S' -o "$work/time-$ppm" \
    "$test_build/orvctl-sim" -s "$khz" >"$work/out-$ppm" 2>"$work/err-$ppm" || status=$?
  [ "$status" = 130 ] || {
    echo "ppm $ppm: run ended early (status $status)"
    cat "$work/out-$ppm"
    return 1
  }
  # The judge of the tests' hour rows: back at rest after every upset, and the figures at rest.
  local verdict judged=0
  verdict=$("$test_build/testing/orvctl-rest-check" "$report" "$ppm" "${planned[@]}" 2>"$work/faults-$ppm") ||
    judged=$?
  head -n 5 "$work/faults-$ppm" >&2
  awk -v ppm="$ppm" -v verdict="$verdict" -v judged="$judged" -v cpu="$(tail -n 1 "$work/time-$ppm" | awk '{ print $1 + $2 }')" '
    /^minute/ { drops += $4; repeats += $6; lost += $8; repeated += $10; underruns += $12; n = $2 + 1 }
    END {
      # band LOW HIGH rest LOW HIGH back MINUTES edits WANTED UNWANTED implied FRAMES minutes M
      split(verdict, v, " ")
      hours = n / 60
      rested = v[15] > 0  # minutes at rest: none in a run too short to settle
      printf "%-6s %-7s %6.1f %9d %6d %8d %9.0f %9.0f %10s %8s %16s %7.0f%s\n", ppm, "'"$position"'",
        hours, underruns, lost, repeated, drops / hours, repeats / hours,
        (rested ? sprintf("%.1f", (v[6] - v[5]) / 1000) : "-"), v[8],
        (rested ? sprintf("%.0f/%.0f", (v[10] + v[11]) * 60 / v[15], v[13] * 60 / v[15]) : "-"),
        cpu, judged != 0 ? "  FAILED" : ""
      exit judged != 0
    }' "$report"
}

# real PPM: one run in real time, SPEED times faster; prints its row, fails on any underrun or
# anything lost, repeated or altered.
real() {
  local ppm=$1 conf=$work/asound-$1.conf raw=$work/played-$1.raw report=$work/report-$1
  local seconds=$(((audio_seconds + speed - 1) / speed)) ramp_fields=
  [ "$signal" != ramp ] || ramp_fields="ramp_block 12000; settle $((48000 * 60))"
  write_test_asound_conf "$conf" "pcm.!default { type file; slave.pcm \"card\"; file \"$raw\"; format \"raw\" }
pcm.card { type orvtest; ppm $ppm; speed $speed; position \"$position\"; report \"$report\"; $ramp_fields }"
  local status=0
  ALSA_CONFIG_PATH=$conf ORVSIM_SIGNAL=$signal ORVSIM_RATE=$((48000 * speed)) \
    ORVSIM_SPI_HZ=$((7812500 * speed)) /usr/bin/time -f '%U %S' -o "$work/time-$ppm" \
    timeout -s INT "$seconds" "$test_build/orvctl-sim" -s "$khz" >"$work/out-$ppm" 2>"$work/err-$ppm" ||
    status=$?
  [ "$status" = 124 ] || {
    echo "ppm $ppm: run ended early (status $status)"
    cat "$work/out-$ppm"
    return 1
  }
  local underruns check
  underruns=$(grep -c '^underrun' "$report" || true)
  check=$("$test_build/testing/orvctl-stream-check" "$raw" "$khz" "$signal" || true)
  rm -f "$raw"
  field() { sed -nE "s/.*$1 (-?[0-9]+).*/\1/p" <<<"$check"; }
  local samples hours lost repeated altered queue_min=- queue_max=- delay=- cpu
  samples=$(field samples)
  hours=$(awk -v s="$samples" 'BEGIN { printf "%.2f", s / 48000 / 3600 }')
  per_hour() { awk -v n="$1" -v s="$samples" 'BEGIN { printf "%.0f", (s > 0 ? n * 48000 * 3600 / s : 0) }'; }
  lost=$(field lost)
  repeated=$(field repeated)
  altered=$(field altered)
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
  [ "$underruns$lost$repeated$altered" = 0000 ]
}

# draw FILE: the runs' minutes, from their reports, as an SVG drawn by gnuplot.
draw() {
  local file=$1 delays= edits= ppm data marks=
  for ppm in $ppms; do
    data=$work/plot-$ppm
    # hours, the delay in the minute (the middle of its range, in ms), drops and repeats in it
    awk '/^minute/ && $17 != "-" { printf "%.4f %.2f %d %d\n", ($2 + 0.5) / 60, ($17 + $18) / 2000, $4, $6 }' \
      "$work/report-$ppm" >"$data"
    delays+="${delays:+, }'$data' using 1:2 with lines title '$ppm ppm'"
    edits+="${edits:+, }'$data' using 1:(\$3-\$4) with lines title '$ppm ppm'"
  done
  if [ "$upsets" != 0 ]; then
    for ((hour = 0; hour * 3600 + 1800 < audio_seconds; hour++)); do
      marks+="set arrow from $hour.5, graph 0 to $hour.5, graph 1 nohead dashtype 3 lc rgb 'gray';"
    done
  fi
  gnuplot <<EOF
set terminal svg size 1000,680 dynamic font 'sans,11'
set output '$file'
set multiplot layout 2,1 title "orvctl's relay over $((audio_seconds / 3600)) hours of audio in simulated time ($position position, with the noise of a real system)\nupsets at half past each hour (dotted), in turn: a stall of 600 ms, a gap of 800 ms in the board's deliveries, a restart of the output"
set xrange [0:$(awk -v s="$audio_seconds" 'BEGIN { print s / 3600 }')]
set grid
set key outside right
$marks
set ylabel 'delay from board to output (ms)'
plot $delays
set xlabel 'hours of audio'
set ylabel 'net edits a minute (drops - repeats)'
plot $edits
unset multiplot
EOF
  echo "Drawn: $file"
}

failed=0
if [ "$clock" = simulated ]; then
  echo "$audio_seconds s of audio per offset in simulated time, position $position, upsets $upsets"
  printf '%-6s %-7s %6s %9s %6s %8s %9s %9s %10s %8s %16s %7s\n' ppm position hours underruns \
    lost repeated "drops/h" "repeats/h" "rest ms" "back min" "rest edits/h" "CPU s"
  for ppm in $ppms; do
    simulated "$ppm" || failed=1
  done
  if [ -n "$plot" ]; then
    draw "$plot"
  fi
else
  echo "$audio_seconds s of audio per offset at $speed x real time, position $position, signal $signal"
  printf '%-5s %6s %9s %6s %8s %7s %9s %9s %9s %9s %9s %11s %6s\n' ppm hours underruns lost \
    repeated altered "drops/h" "repeats/h" "queue min" "queue max" "delay ms" "edit step" "CPU/s"
  for ppm in $ppms; do
    real "$ppm" || failed=1
  done
fi
exit $failed
