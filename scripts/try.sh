#!/usr/bin/env bash
# Builds orvctl and orvctl-sim and runs the tool against the simulated board (default arguments:
# -rs 145500: tune, then play the board's audio with its status once per block), stopping it with
# Ctrl-C after a few seconds (ORVCTL_TRY_SECONDS, default 3). The audio goes to the machine's
# sound output when it has one; otherwise ALSA's file plugin writes it to build/orvctl-sim.wav.
# Afterwards it shows the frames the simulated board received.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

[ $# -gt 0 ] || set -- -rs 145500
seconds=${ORVCTL_TRY_SECONDS:-3}
frames=build/frames.log
wav=build/orvctl-sim.wav
rm -f "$frames" "$wav"

has_sound_output() {
  [ -n "${ALSA_CONFIG_PATH:-}" ] && return 0  # the user routes "default" already
  if [ -r /proc/asound/cards ] && ! grep -q 'no soundcards' /proc/asound/cards; then
    return 0
  fi
  local runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
  [ -S "$runtime/pulse/native" ] || [ -S "$runtime/pipewire-0" ]
}

# Writes a RIFF or data chunk size: the file plugin fills them in when the output is closed, which
# Ctrl-C never lets it do.
put_le32() {
  local value=$1 offset=$2
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((value & 255)) $((value >> 8 & 255)) \
    $((value >> 16 & 255)) $((value >> 24 & 255)))" |
    dd of="$wav" bs=1 seek="$offset" conv=notrunc status=none
}

to_file=0
if ! has_sound_output; then
  to_file=1
  conf=build/try-asound.conf
  printf 'pcm.!default { type file; slave.pcm { type null }; file "%s"; format "wav" }\n' \
    "$PWD/$wav" >"$conf"
  export ALSA_CONFIG_PATH=$PWD/$conf
fi

echo "\$ orvctl-sim $*    (Ctrl-C after $seconds s)"
status=0
ORVSIM_LOG="$frames" timeout -s INT "$seconds" build/orvctl-sim "$@" || status=$?
case $status in
  124) echo "(stopped with Ctrl-C after $seconds s)" ;;
  *) echo "(exit status $status)" ;;
esac

if [ "$to_file" = 1 ] && [ -s "$wav" ]; then
  size=$(stat -c %s "$wav")
  put_le32 $((size - 8)) 4
  put_le32 $((size - 44)) 40
  echo "No sound output on this machine: the audio went to $wav" \
    "($(((size - 44) / 96000)) s, 48000 Hz mono). Play it with any audio player, or: aplay $wav"
fi

if [ -f "$frames" ]; then
  lines=$(wc -l <"$frames")
  echo "The frames the simulated board received, as hex ($lines in all, in $frames):"
  if [ "$lines" -le 20 ]; then
    cat "$frames"
  else
    head -n 8 "$frames"
    echo "..."
    echo "$(grep -c '^01 00 54 ' "$frames") buffer-count polls," \
      "$(grep -c '^01 00 50 ' "$frames") audio blocks; the last lines:"
    tail -n 3 "$frames"
  fi
fi
exit "$([ "$status" = 124 ] && echo 0 || echo "$status")"
