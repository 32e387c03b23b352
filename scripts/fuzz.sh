#!/usr/bin/env bash
# Runs each libFuzzer target for SECONDS (default 60), under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the seed corpus in fuzz/corpus:
#
#   fuzz_command_line  whole runs of orvctl-sim for arbitrary argument lists (NUL-separated)
#   fuzz_replies       the command set's frames against arbitrary replies, and the simulated
#                      board and its frame log against arbitrary frames
#
#   scripts/fuzz.sh [SECONDS [RUNS]]   e.g. scripts/fuzz.sh 3600 for an hour each; with RUNS,
#                                      each target stops after that many inputs instead (SECONDS
#                                      0: no time limit), e.g. scripts/fuzz.sh 0 10000000
#
# What the fuzzers learn stays in build-fuzz/corpus; a finding is written to build-fuzz/findings
# and ends the script with status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
limit=${2:-0}
scripts/deps.sh fuzz
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DORVCTL_FUZZ=ON -DORVCTL_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_command_line fuzz_replies

mkdir -p build-fuzz/findings
printf '%-20s %8s %12s %10s %s\n' target seconds executions "per second" result
for name in command_line replies; do
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  log=build-fuzz/fuzz_$name.log
  status=0
  started=$(date +%s)
  # Standard output (the tool's own messages) is closed; findings go to standard error.
  build-fuzz/fuzz/fuzz_$name "$corpus" fuzz/corpus/$name -max_total_time="$seconds" \
    -runs="$([ "$limit" -gt 0 ] && echo "$limit" || echo -1)" \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ \
    >"$log" 2>&1 || status=$?
  took=$(($(date +%s) - started))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  result="no finding"
  if [ "$status" != 0 ]; then
    result="FINDING (status $status): see $log and build-fuzz/findings"
    grep -E 'ERROR|runtime error|SUMMARY' "$log" | head -5 >&2 || true
  fi
  printf '%-20s %8s %12s %10s %s\n' "fuzz_$name" "$took" "${runs:-?}" \
    "$(( ${runs:-0} / (took > 0 ? took : 1) ))" "$result"
  [ "$status" = 0 ] || exit 1
done
