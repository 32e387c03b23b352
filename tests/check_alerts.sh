#!/usr/bin/env bash
# A fault reaches a person: docs/monitoring.md's watching machine as written (prometheus.yml,
# alertmanager.yml) with Debian's programs, over a station of orvctl-sim and orvctl-record whose
# metrics Debian's node-exporter serves; a webhook receiver stands for the user's endpoints. The
# test shortens what only makes it slow: readings every second, Alertmanager's waits to seconds,
# and OrvctlStationDown's three minutes to 20 s. The board halted 25 s in for 90 s, then
# node-exporter stopped:
# - the dead man's switch arrives while all is well;
# - OrvctlBoardSilent, naming the station and the frequency, within 2 minutes of the halt, once,
#   and its resolved message after the board plays again;
# - OrvctlStationDown, naming the station, once node-exporter is gone.
# The two files as written pass promtool's and amtool's checks, the mail route with them.
#
#   check_alerts.sh ORVCTL_SIM ORVCTL_RECORD SOURCE_DIR
set -euo pipefail
sim=$1 recorder=$2 source=$3
. "$source/scripts/lib.sh"
for tool in prometheus promtool prometheus-alertmanager amtool prometheus-node-exporter node curl; do
  command -v "$tool" >/dev/null || { echo "check_alerts.sh: no $tool (scripts/deps.sh test)"; exit 77; }
done
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
mkdir bin textfile metrics recordings
ln -s "$sim" bin/orvctl
ln -s "$recorder" bin/orvctl-record
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}
ok() { echo "ok: $*"; }
port() { echo $((20000 + RANDOM % 30000)); }
wait_http() {
  for _ in $(seq 100); do
    curl -sf -o /dev/null "$1" && return
    sleep 0.1
  done
  return 1
}

# The two files as written, checked by the tools of Debian's packages (the rules' path is the
# watching machine's).
copied_block "$source/docs/monitoring.md" monitoring-prometheus >prometheus-as-written.yml
copied_block "$source/docs/monitoring.md" monitoring-alertmanager >alertmanager-as-written.yml
cp "$source/monitoring/orvctl-rules.yml" rules.yml
sed "s|/etc/prometheus/orvctl-rules.yml|$work/rules.yml|" prometheus-as-written.yml >checked.yml
promtool check config checked.yml >check.out 2>&1 && ok "promtool check config: prometheus.yml" ||
  fail "promtool check config: $(cat check.out)"
amtool check-config alertmanager-as-written.yml >check.out 2>&1 &&
  ok "amtool check-config: alertmanager.yml, its mail route too" || fail "amtool: $(cat check.out)"

# The webhook receiver.
node "$source/tests/webhook_receiver.mjs" "$work/hooks.log" >hook.port &
pids+=($!)
for _ in $(seq 100); do [ -s hook.port ] && break; sleep 0.1; done
hook=$(cat hook.port)

# The station: docs/recording.md's run into the recordings folder, its metrics and the recorder's
# linked into node-exporter's textfile folder, as docs/monitoring.md's blocks link them.
copied_block "$source/docs/recording.md" recording >recording.conf
run=$(copied_block "$source/docs/recording.md" recording-run)
ln -s "$work/metrics/orvctl.prom" textfile/orvctl-145500.prom
ln -s "$work/metrics/orvctl-record.prom" textfile/orvctl-record-145500.prom
HOME=$work PATH=$work/bin:$PATH STATE_DIRECTORY=$work/recordings ORVCTL_METRICS=$work/metrics \
  ORVSIM_BURSTS="5:2000" ORVSIM_HALT="25:90000" timeout -s INT 240 bash -c "$run" >station.out 2>&1 &
pids+=($!)
begun=$(date +%s)
exporter_port=$(port)
prometheus-node-exporter --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$work/textfile" --web.listen-address="127.0.0.1:$exporter_port" \
  2>exporter.log &
exporter=$!
pids+=($exporter)

# Alertmanager with the page's file, its waits in seconds and the endpoints here.
am_port=$(port)
echo 'not sent' >smtp-password
sed -e 's/group_wait: 30s/group_wait: 1s/; s/group_interval: 5m/group_interval: 2s/' \
  -e 's/group_interval: 1m/group_interval: 2s/; s/repeat_interval: 5m/repeat_interval: 5s/' \
  -e "s|https://ntfy.example.org/orvctl-stations|http://127.0.0.1:$hook/owner|" \
  -e "s|https://hc-ping.com/your-check-uuid|http://127.0.0.1:$hook/watchdog|" \
  -e "s|/etc/prometheus/smtp-password|$work/smtp-password|" alertmanager-as-written.yml >alertmanager.yml
prometheus-alertmanager --config.file=alertmanager.yml --storage.path="$work/am" \
  --web.listen-address="127.0.0.1:$am_port" --cluster.listen-address= >alertmanager.log 2>&1 &
pids+=($!)
# Prometheus with the page's file: readings every second, this station, this Alertmanager.
prometheus_port=$(port)
sed -i 's/^        for: 3m$/        for: 20s/' rules.yml
sed -e 's/_interval: 15s/_interval: 1s/' -e "s|\['pi-one:9100', 'pi-two:9100'\]|['127.0.0.1:$exporter_port']|" \
  -e "s|'localhost:9093'|'127.0.0.1:$am_port'|" checked.yml >prometheus.yml
prometheus --config.file=prometheus.yml --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prometheus_port" >prometheus.log 2>&1 &
pids+=($!)
wait_http "http://127.0.0.1:$am_port/-/ready" && wait_http "http://127.0.0.1:$prometheus_port/-/ready" ||
  fail "Prometheus or Alertmanager did not start: $(tail -5 prometheus.log alertmanager.log)"

# hooks ROUTE STATUS ALERT: how many messages to ROUTE said ALERT was STATUS (for the station
# 127.0.0.1 and, where it has one, the frequency 145500).
hooks() {
  node -e '
    const [route, status, alert] = process.argv.slice(1);
    let n = 0;
    for (const line of require("fs").readFileSync(process.argv[4] || "hooks.log", "utf8").split("\n")) {
      const [path, body] = line.split("\t");
      if (path !== route || !body) continue;
      const m = JSON.parse(body);
      n += m.alerts.some((a) => a.status === status && a.labels.alertname === alert &&
        (alert === "OrvctlWatchdog" || a.labels.instance === "127.0.0.1") &&
        (alert !== "OrvctlBoardSilent" || (a.labels.frequency_khz === "145500" &&
          a.annotations.summary === "127.0.0.1: the board tuned to 145500 kHz delivers no audio")) &&
        (route !== "/owner" || m.groupLabels.instance === "127.0.0.1")) ? 1 : 0;
    }
    console.log(n);' "$@" "$work/hooks.log" 2>/dev/null || echo 0
}
# until SECONDS ROUTE STATUS ALERT: waits for such a message; prints when it came (s after the start).
until_hook() {
  local end=$(($(date +%s) + $1))
  shift
  while [ "$(hooks "$@")" = 0 ]; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 1
  done
  echo $(($(date +%s) - begun))
}

at=$(until_hook 150 /watchdog firing OrvctlWatchdog) && ok "the dead man's switch arrives while all is well ($at s)" ||
  fail "no dead man's switch"
[ "$(hooks /owner firing OrvctlWatchdog)" = 0 ] || fail "the dead man's switch woke the owner"
at=$(until_hook 150 /owner firing OrvctlBoardSilent) && [ "$at" -le $((25 + 120)) ] &&
  ok "OrvctlBoardSilent reaches the webhook, naming the station and the frequency, $((at - 25)) s after the halt" ||
  fail "OrvctlBoardSilent did not reach the webhook within 2 minutes of the halt ($(tail -c 2000 hooks.log))"
at=$(until_hook 90 /owner resolved OrvctlBoardSilent) &&
  ok "... and its resolved message, $((at - 115)) s after the board plays again" ||
  fail "no resolved message for OrvctlBoardSilent"
[ "$(hooks /owner firing OrvctlBoardSilent)" = 1 ] && ok "... said once while it lasted" ||
  fail "OrvctlBoardSilent said $(hooks /owner firing OrvctlBoardSilent) times while it lasted"
kill "$exporter"
stopped=$(date +%s)
at=$(until_hook 300 /owner firing OrvctlStationDown) &&
  ok "node-exporter stopped: OrvctlStationDown, naming the station, $((at + begun - stopped)) s later" ||
  fail "no OrvctlStationDown after node-exporter stopped"
[ "$failed" = 0 ] || { echo "--- the webhook:"; cat hooks.log; tail -20 prometheus.log alertmanager.log station.out; }
exit "$failed"
