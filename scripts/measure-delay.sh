#!/usr/bin/env bash
# How late a listener of docs/icecast.md's streams hears the board, on this machine: an Icecast
# server of its own (Debian's icecast2 with Debian's configuration, on port 18000), orvctl-sim
# playing its ramp with one transmission 16 s into its stream (ORVSIM_BURSTS), the page's blocks
# (its account, with the port changed, and its Ogg FLAC and MP3 configurations) as written, and a
# listener that connects 12 s after the start (so that the server's burst holds stream, not its
# start) and decodes with ffmpeg. The delay is the time at
# which a player started on connecting would play the transmission's first sample, less the time
# at which the board made it; for each format, with the server's burst off and at its default.
#
#   scripts/measure-delay.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

scripts/deps.sh stream >/dev/null
configure_test_build >/dev/null
cmake --build "$test_build" -j"$(nproc)" --target orvctl-sim >/dev/null
port=18000
mark=16
connect=12

work=$(mktemp -d)
chmod 755 "$work"
server=
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
HOME=$work bash -e -c "$(copied_block docs/icecast.md icecast-account)"
sed -i "s|<port>8000</port>|<port>$port</port>|" "$work/.config/orvctl/ezstream.xml" \
  "$work/.config/orvctl/mp3/ezstream.xml"
copied_block docs/icecast.md icecast-flac >"$work/flac.conf"
copied_block docs/icecast.md icecast-mp3 >"$work/mp3.conf"
mkdir -m 777 "$work/log"
# icecast2 refuses to run as root: there it runs as Debian's user of its own.
as_server=()
[ "$(id -u)" -ne 0 ] || as_server=(runuser -u icecast2 --)

echo "format  server's burst  delay (s)"
for burst in 0 65535; do
  sed -e "s|<port>8000</port>|<port>$port</port>|" \
    -e "s|<burst-size>[0-9]*</burst-size>|<burst-size>$burst</burst-size>|" \
    -e "s|<logdir>[^<]*</logdir>|<logdir>$work/log</logdir>|" \
    -e "s|<pidfile>[^<]*</pidfile>||" /etc/icecast2/icecast.xml >"$work/icecast.xml"
  chmod 644 "$work/icecast.xml"
  "${as_server[@]}" icecast2 -c "$work/icecast.xml" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 50); do
    curl -sf "http://localhost:$port/status-json.xsl" >/dev/null && break
    sleep 0.1
  done
  for format in flac mp3; do
    mount=$(hostname).ogg
    [ $format = flac ] || mount=$(hostname).mp3
    rm -f "$work/out" "$work/heard.raw"
    HOME=$work ALSA_CONFIG_PATH="$work/$format.conf" ORVSIM_SIGNAL=ramp ORVSIM_BURSTS="$mark:1000" \
      timeout -s INT $((connect + 10)) "$test_build/orvctl-sim" -s 145500 >"$work/out" 2>&1 &
    player=$!
    while ! grep -q 'Playback enabled' "$work/out" 2>/dev/null; do sleep 0.001; done
    started=$(date +%s.%N)
    sleep $connect
    connected=$(date +%s.%N)
    timeout -s INT 9 ffmpeg -nostdin -loglevel error -i "http://localhost:$port/$mount" \
      -f s16le -y "$work/heard.raw" 2>/dev/null || true
    wait "$player" || true
    # The transmission's first sample: the first louder than 2000 (the ramp there is 16 s in).
    first=$(od -An -v -td2 -w2 "$work/heard.raw" | awk '$1 > 2000 || $1 < -2000 { print NR - 1; exit }') || true
    if [ -z "$first" ]; then
      echo "measure-delay.sh: the $format listener heard no transmission" >&2
      exit 1
    fi
    awk -v f=$format -v b=$burst -v s="$started" -v c="$connected" -v k="$first" -v m=$mark \
      'BEGIN { printf "%-6s  %-14s  %.2f\n", f, b, c + k / 48000 - (s + m) }'
  done
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
done
