#!/usr/bin/env bash
# The station's page in Debian's Chromium (driven by playwright-core), served by Debian's lighttpd
# through the page's own configuration, over the real files of orvctl-sim and orvctl-record: a
# station with three transmissions, the second day seeded, the board halted 45 s in. Then a month
# of a busy channel's lists (45 000 recordings), timed.
#
#   check_page.sh ORVCTL_SIM ORVCTL_RECORD SOURCE_DIR OUTPUT_DIR
set -euo pipefail
sim=$1 recorder=$2 source=$3 output=$4
. "$source/scripts/lib.sh"
for tool in chromium lighttpd node flac sox; do
  command -v "$tool" >/dev/null || { echo "check_page.sh: no $tool (scripts/deps.sh test)"; exit 77; }
done
[ -d "$source/tests/page/node_modules/playwright-core" ] || {
  echo "check_page.sh: no playwright-core (npm ci in tests/page; scripts/test.sh does it)"
  exit 77
}

work=$(mktemp -d)
# (The web servers' process ids in a file: serve runs in a command substitution's subshell.)
trap 'kill $(cat "$work/servers" 2>/dev/null) 2>/dev/null || true; pkill -INT -f "orvctl-record .*$work" 2>/dev/null || true; rm -rf "$work"' EXIT
# The service's layout: the recordings in a folder whose parent its owner alone may enter
# (/var/lib/private), the metrics in another, and a file of someone's that is not the page's.
mkdir -m 700 "$work/private"
mkdir -m 755 "$work/private/recordings" "$work/now" "$work/month"
mkdir "$work/bin" "$work/root"
ln -s "$sim" "$work/bin/orvctl"
ln -s "$recorder" "$work/bin/orvctl-record"
echo "not the page's" >"$work/private/recordings/notes.txt"
echo "not the page's" >"$work/now/secret.txt"
# A recording of another day, listed as orvctl-record lists one.
seeded=2026-01-02_120000_145500kHz.flac
sox -n -r 48000 -c 1 -b 16 -e signed -t raw - synth 1.5 sine 700 vol 0.5 |
  flac --silent --force-raw-format --endian=little --sign=signed --channels=1 --bps=16 \
    --sample-rate=48000 -o "$work/private/recordings/$seeded" -
printf '%s\t1767351600.000\t145500\t1.50\t-6.0\n' "$seeded" >"$work/private/recordings/2026-01-02.tsv"
printf '2026-01-02\t1\n' >"$work/private/recordings/days.tsv"

# serve NAME FOLDER NOW: lighttpd on a free port with the page's configuration as shipped, its
# folders set; prints the port.
serve() {
  local port
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    sed -e "s|^var.orvctl_now = .*|var.orvctl_now = \"$3/\"|" \
      -e "s|^var.orvctl_recordings = .*|var.orvctl_recordings = \"$2/\"|" \
      -e "s|^var.orvctl_page = .*|var.orvctl_page = \"$source/www/\"|" \
      "$source/www/50-orvctl.conf.in" >"$work/$1-orvctl.conf"
    # Debian's lighttpd.conf in what matters here: its modules, its parsing of URLs.
    cat >"$work/$1.conf" <<CONF
server.modules = ( "mod_indexfile", "mod_access", "mod_alias", "mod_redirect", "mod_dirlisting", "mod_staticfile" )
server.document-root = "$work/root"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/$1-error.log"
server.http-parseopts = ( "url-normalize-unreserved" => "enable", "url-normalize-required" => "enable",
  "url-ctrls-reject" => "enable", "url-path-2f-decode" => "enable", "url-path-dotseg-remove" => "enable" )
index-file.names = ( "index.html" )
include "$work/$1-orvctl.conf"
CONF
    lighttpd -D -f "$work/$1.conf" 2>>"$work/$1-error.log" &
    echo $! >>"$work/servers"
    for _ in $(seq 50); do
      curl -s -o /dev/null "http://127.0.0.1:$port/orvctl/" && { echo "$port"; return; }
      sleep 0.1
    done
    kill $! 2>/dev/null || true
  done
  cat "$work/$1-error.log" >&2
  return 1
}
port=$(serve station "$work/private/recordings" "$work/now")

# The station, as docs/recording.md's run has it, into the folder above.
copied_block "$source/docs/recording.md" recording >"$work/recording.conf"
run=$(copied_block "$source/docs/recording.md" recording-run)
cd "$work"
begun=$(date +%s.%N)
HOME=$work PATH=$work/bin:$PATH STATE_DIRECTORY=$work/private/recordings ORVCTL_METRICS=$work/now \
  ORVSIM_BURSTS="2:1500 6:2500 30:2000" ORVSIM_HALT="45:60000" \
  timeout -s INT 90 bash -c "$run" >"$work/station.out" 2>&1 &
station=$!

# The month: 30 days of 1500 recordings, lists alone.
node "$source/tests/page/month.mjs" "$work/month"
month_port=$(serve month "$work/month" "$work/now")

status=0
NODE_PATH=$source/tests/page/node_modules node "$source/tests/page/page.test.mjs" \
  "http://127.0.0.1:$port/orvctl/" "$work/private/recordings" "$begun" "$output" \
  "http://127.0.0.1:$month_port/orvctl/" || status=$?
kill -INT "$station" 2>/dev/null || true
wait "$station" || true

# Another local user cannot read a recording through the file system.
if [ "$(id -u)" = 0 ]; then
  recording=$(find "$work/private/recordings" -name '*kHz*.flac' | head -1)
  if runuser -u nobody -- cat "$recording" >/dev/null 2>&1; then
    echo "FAILED: nobody reads $recording"
    status=1
  else
    echo "ok: nobody cannot read $recording"
  fi
else
  echo "(not root: the check that another user cannot read a recording needs root to be that user)"
fi
[ "$status" = 0 ] || { echo "--- the station:"; cat "$work/station.out"; cat "$work/station-error.log"; }
exit "$status"
