#!/usr/bin/env bash
# The scripts' retry of a fetch from Debian's mirror (from_the_mirror in scripts/lib.sh): a command
# that fails twice runs a third time and its success is the result; one that never succeeds runs
# five times and its own status is the result. The waits are made zero.
#
#   check_mirror_retry.sh SOURCE_DIR
set -euo pipefail
cd "$1"
. scripts/lib.sh
mirror_wait=0
runs=$(mktemp)
trap 'rm -f "$runs"' EXIT

# flaky FAILURES STATUS: fails with STATUS its first FAILURES runs (counted in $runs), then succeeds.
flaky() {
  echo run >>"$runs"
  [ "$(wc -l <"$runs")" -gt "$1" ] || return "$2"
}

failed=0
# failures before success, its status, the status expected, the runs expected
while read -r failures status expected_status expected_runs; do
  : >"$runs"
  got=0
  from_the_mirror flaky "$failures" "$status" 2>/dev/null || got=$?
  runs_made=$(wc -l <"$runs")
  if [ "$got" != "$expected_status" ] || [ "$runs_made" != "$expected_runs" ]; then
    echo "failing $failures times with $status: status $got after $runs_made runs," \
      "expected $expected_status after $expected_runs" >&2
    failed=1
  fi
done <<'ROWS'
0 100 0 1
2 100 0 3
4 100 0 5
5 100 100 5
9 7 7 5
ROWS
exit $failed
