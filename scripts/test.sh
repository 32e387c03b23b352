#!/usr/bin/env bash
# Builds everything (the benchmark too) with warnings as errors and runs the whole test suite,
# again with orvctl on the spidev link, and again under AddressSanitizer and
# UndefinedBehaviorSanitizer. The minutes-long relay runs (label "long") run whole in the first
# build; under the sanitizers, those at 1000 ppm slow (whose blocks carry the most edits a block
# may: a backlog worked off on top of the fastest drift), the seed numbered 1, the status line's
# hour and an early stall at 1000 ppm fast, four days of the recorder's busy channel and the station's
# page in the browser; the spidev
# build plays the same simulated board through the same relay.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

scripts/deps.sh test
# playwright-core for the page's tests in Debian's Chromium, at the version the lock file pins.
(cd tests/page && npm ci --no-audit --no-fund --loglevel=error)
jobs=$(nproc)

configure_test_build
cmake --build "$test_build" -j"$jobs"
ctest --test-dir "$test_build" --output-on-failure --no-tests=error -j"$jobs"

cmake -S . -B build-spidev -DBUILD_TESTING=ON -DORVCTL_WERROR=ON -DORVCTL_SPI=spidev
cmake --build build-spidev -j"$jobs"
ctest --test-dir build-spidev --output-on-failure --no-tests=error -j"$jobs" -LE long

cmake -S . -B build-sanitize -DBUILD_TESTING=ON -DORVCTL_WERROR=ON -DORVCTL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j"$jobs" -LE long
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ORVTEST_MONTH_DAYS=4 \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j"$jobs" -L long \
  -R 'Rows/.*Slow1000|Seeds/SeededTest.BackAtRestAfterEveryUpset/1$|StatusLineSaysWhatTheOutputSaw|StallAt10sFast1000|RecordMonth|Page'
