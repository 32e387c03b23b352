#!/usr/bin/env bash
# Mutants of the program and the test that must kill each: every line below breaks one line of the
# sources on purpose (a sed expression on one file), and the tests named must then fail. Runs in a
# copy of the committed sources (git archive HEAD), built once with the tests, each mutant applied,
# built and tested in turn, then undone. Prints one line a mutant; fails if any survives.
#
#   scripts/mutants.sh [NAME...]      (default: all; names as in the table)
set -euo pipefail
cd "$(dirname "$0")/.."

# name @ file @ sed expression @ ctest -R pattern of the tests that must fail
read -r -d '' mutants <<'TABLE' || true
no-bus-lock@board/bus_lock.cpp@s/if (flock(fd, LOCK_EX | LOCK_NB) == 0) {/if (fd >= 0) {/@OneRunPerBus
lock-after-the-drop@board/link_bcm2835.cpp@s/if (!board_lock_bus_as_root()) {/if (false) {/@OneRunPerBusThroughSudo
holder-any-kind-of-lock@board/bus_lock.cpp@s/std::strcmp(kind, "FLOCK") == 0 \&\& //@BusHolderNamedOnlyWhenKnown
holder-command-unchecked@board/bus_lock.cpp@s/} else if (static_cast<unsigned char>(text\[i\]) < 0x20 || text\[i\] == 0x7f) {/} else if (false) {/@BusHolderNamedOnlyWhenKnown
holder-gone-named@board/bus_lock.cpp@s/holder = access(path, F_OK) == 0 ? pid : 0;/holder = pid;/@BusHolderNamedOnlyWhenKnown
root-lock-fifo-taken@board/bus_lock.cpp@s/!S_ISREG(file.st_mode) || //@BoardLinkOnTheLibrary
root-lock-link-followed@board/bus_lock.cpp@s/O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK/O_CLOEXEC | O_NONBLOCK/@BoardLinkOnTheLibrary
root-lock-of-another-user@board/bus_lock.cpp@s/file.st_uid != geteuid() ||//@BoardLinkOnTheLibrary
root-lock-needs-run@board/bus_lock.cpp@s/errno == ENOENT || errno == EROFS/errno == EROFS/@BoardLinkOnTheLibrary
again-waits-a-minute@audio/playback_relay.cpp@s/^  if (counts.silent_said) {$/  if (counts.silent_said \&\& now - counts.board_said_ns >= kBoardLinesApartNs) {/@SilentBoardIsSaid
ready-before-the-output@audio/playback_relay.cpp@s/^  say_line("Playback enabled: Ctrl-C to exit");$/  say_line("Playback enabled: Ctrl-C to exit"); sd_notify(0, "READY=1");/@ServiceManagerIsToldHowItPlays
watchdog-unwritten-block@audio/playback_relay.cpp@s/^  if (!written) {$/  sd_notify(0, "WATCHDOG=1"); if (!written) {/@ServiceManagerIsToldHowItPlays
sim-bursts-rounded-down@sim/sim_board.cpp@s/part \* kSampleRate + 999999999/part * kSampleRate/@BurstsSoundOnlyInTheirStretches
early-window-one-short@audio/output_clock.cpp@s/++clock.early_blocks <= kClockEarlyBlocks/++clock.early_blocks < kClockEarlyBlocks/@EarlyWindowBoundsTheSetPoint
early-window-not-reopened@audio/output_clock.cpp@s/^  clock.early_blocks = 0;$//@EarlyWindowBoundsTheSetPoint
early-window-skips-the-first-blocks@audio/output_clock.cpp@s/if (!clock.settled \&\& ++clock.early_blocks <= kClockEarlyBlocks) {/if (!clock.settled \&\& ++clock.early_blocks > kClockSkipBlocks \&\& clock.early_blocks <= kClockEarlyBlocks) {/@StallAt1sMatched
set-point-without-margin@audio/output_clock.cpp@s/clock.least >= 0 ? clock.least + kClockDeadBand \/ 2 : \*middle;/clock.least >= 0 ? clock.least : *middle;/@EarlyWindowBoundsTheSetPoint
set-point-median@audio/output_clock.cpp@s/clock.set_point = clock.least >= 0 ? clock.least + kClockDeadBand \/ 2 : \*middle;/clock.set_point = *middle;/@EarlyWindowBoundsTheSetPoint
drift-gated-after-restart@audio/output_clock.cpp@s/const double drift = clock.following ? clock.rate : 0;/const double drift = clock.following \&\& clock.trend_blocks >= kClockTrendBlocks ? clock.rate : 0;/@RestartForgetsTheOutputsMeasures
early-pace-from-intervals@audio/output_clock.cpp@s/^  clock.block_ns = kNominalBlockNs;$/  clock.block_ns = clock.last_write_ns >= 0 ? static_cast<double>(now - clock.last_write_ns) : 0;/@BusyStartMovesNothing
test-without-time-limit@tests/CMakeLists.txt@s/gtest_discover_tests(checker_tests PROPERTIES TIMEOUT \${ORVTEST_QUICK_TIMEOUT})/gtest_discover_tests(checker_tests)/@EachHasATimeLimit
check-places-no-burst@testing/stream_check.cpp@s/  if (!knobs.bursts.empty()) {/  if (false) {/@StreamCheck
setuid-trusts-sudo@board/leave_root.cpp@s/if (getuid() != 0) {/if (getuid() == 4242) {/@BoardLinkOnTheLibrary
saved-gid-kept@board/leave_root.cpp@s/static_cast<gid_t>(gid), static_cast<gid_t>(gid)) != 0) {/static_cast<gid_t>(gid), 0) != 0) {/@BoardLinkOnTheLibrary
no-silent-board-line@driver.cpp@s/  warn_if_no_board(version);//@SimulatedBoardRuns
silent-lines-unlimited@audio/playback_relay.cpp@s/now - counts.board_said_ns >= kBoardLinesApartNs)) {/true)) {/@SilentBoardIsSaid
no-status-while-polling@audio/playback_relay.cpp@s/if (status_asked != 0 && waited >= kStatusWhileWaitingNs) {/if (false) {/@StatusLineAskedFromOutside
signal-short-write-counted@audio/playback_relay.cpp@s/written < asked && status_signals == signals_before/written < asked \&\& signals_before >= 0/@StatusLineAskedFromOutside
recorder-demodulation-untold@driver.cpp@s/setenv("ORVCTL_DEMOD", demodulation_name(settings), 1);//@Recording
recorder-message-missing-from-page@orvctl.1.in@s/orvctl\\-record: a transmission longer than/orvctl\\-record: a transmission beyond/@ManPage
relay-reach-misdocumented@docs/relay.md@s/up to 12 a block (1000 ppm)/up to 12 a block (900 ppm)/@FactsThatStandTwiceAgree
no-watchdog@audio/playback_relay.cpp@s/sd_notify(0, "WATCHDOG=1");//@ServiceManagerIsToldHowItPlays
silence-with-threshold@audio/playback_relay.cpp@s/2 \* kBlockSamples)) < 0 ||/2 * kBlockSamples)) < 0) { return; } if (false \&\&/@OutputIsGivenTwoBlocksOfBuffer
beyond-at-1050-ppm@audio/output_clock.cpp@s/1.025 \* kClockMaxEdits/1.05 * kClockMaxRate/@ClockTooFarOffIsSaidOnce
restart-keeps-queue@audio/output_clock.cpp@s/  clock.queue = -1;//@RestartForgetsTheOutputsMeasures
backlog-beyond-1000-ppm@audio/output_clock.cpp@s/static_cast<double>(kClockMaxRate))/static_cast<double>(kClockMaxRate + 1))/@OutputClockTest.HoldsTheQueue
status-minutes-wrong@audio/playback_relay.cpp@s/static_cast<long long>(seconds \/ 60 % 60)/static_cast<long long>(seconds \/ 60)/@StatusLineSaysWhatTheOutputSaw
status-played-halved@audio/playback_relay.cpp@s/counts.started_ns) \/ 1000000000;/counts.started_ns) \/ 2000000000;/@StatusLineSaysWhatTheOutputSaw
short-write-not-counted@audio/playback_relay.cpp@s/^        ++counts.troubled;$//@StatusLineSaysWhatTheOutputSaw
pause-figure-halved@audio/output_clock.cpp@s/samples_per_ns(clock) \/ 1e6);/samples_per_ns(clock) \/ 2e6);/@Buffer16384Slow300
runtime-folder-owner-unchecked@board/leave_root.cpp@s/S_ISDIR(folder.st_mode) \&\& folder.st_uid == uid/S_ISDIR(folder.st_mode)/@BoardLinkOnTheLibrary
spidev-limit-one-short@board/link_spidev.cpp@s/limit < static_cast<long>(link.LongestFrame)/limit <= static_cast<long>(link.LongestFrame)/@SpidevAudioBlockIsOneTransfer
restart-keeps-reading@audio/output_clock.cpp@s/^  clock.read_ns = 0;$//@RestartForgetsTheOutputsMeasures
silence-fill-removed@audio/playback_relay.cpp@s/snd_pcm_sw_params_set_silence_size(handle, params, boundary) == 0/true/@OutputIsGivenTwoBlocksOfBuffer
single-follow-threshold@audio/output_clock.cpp@s/constexpr double kLeastRate = 0.1;/constexpr double kLeastRate = 0.2;/@ClockStepsDownTo12
broken-output-pipe-kills@driver.cpp@s/^  console_catch_broken_pipes();//@OutputThatBreaksClosesAndEndsTheRunWithStatus1
broken-standard-output-goes-on@common/console.cpp@s/^    std::signal(SIGPIPE, SIG_DFL);//@SimulatedBoardRuns
stream-start-excused@testing/stream_check.cpp@s/    if (silence > 0 \&\& joined > 0) {/    if (false) {/@StreamCheck
sim-count-ignores-gaps@sim/sim_board.cpp@s/^  if (board.next_gap < board.knobs.gaps.size()) {$/  if (false) {/@GapAt30sMatched
sim-count-not-renewed@board/link_sim.cpp@s/      if (start >= count_steady_until) {/      if (false \&\& start >= count_steady_until) {/@ReplaysExactly
drift-halved@audio/output_clock.cpp@s/const double drift = clock.following ? clock.rate : 0;/const double drift = clock.following ? clock.rate \/ 2 : 0;/@Slow100Coarse
write-waits-for-a-period@audio/playback_relay.cpp@s/room > 0 ? std::min(rest,/room > 0 \&\& false ? std::min(rest,/@Buffer24000PeriodOfABlockFast30
message-missing-from-page@orvctl.1.in@s/SPI0 transfer of/SPI0 exchange of/@ManPage
silence-never-found@audio/output_clock.cpp@s/^  return samples != nullptr;$/  return false;/@BacklogWorkedOffInSilence
early-least-from-a-dry-output@audio/output_clock.cpp@s/kClockEarlyBlocks \&\& queue >= 0) {/kClockEarlyBlocks) {/@BacklogWorkedOffInSilence
full-board-halved@audio/playback_relay.cpp@s/static_cast<unsigned long long>(lost),/static_cast<unsigned long long>(lost \/ 2),/@FullBoardIsSaidAndCounted
stop-without-close@audio/playback_relay.cpp@s/^  sigaction(SIGINT, \&action, nullptr);$//@StopClosesTheOutputFirst|StuckBoardKeepsThePollGoing
metrics-silence-waits@audio/metrics.cpp@s/if (now_ns < metrics.due_ns \&\& silent == metrics.silent) {/if (now_ns < metrics.due_ns) {/@Metrics.ServedByTheExporter
metrics-not-while-waiting@audio/playback_relay.cpp@0,/^  metrics_write_when_due(counts.metrics, clock, counts, now);$/s///@Metrics.ServedByTheExporter
metrics-rms-of-one-block@audio/metrics.cpp@s/metrics.squares += squares;/metrics.squares = squares;/@Metrics.ServedByTheExporter
recorder-takes-one-name@record/recording_file.cpp@s/for (int n = 1; n < 1000; ++n) {/for (int n = 1; n < 2; ++n) {/@TwoRecordersOnOneFolder|AnotherUsersLinksAndFifos
recorder-named-when-written@record/recording_file.cpp@s/const time_t second = time_t(label.began_ns \/ 1000000000);/const time_t second = time(nullptr);/@NamedWithinAQuarterSecond
recorder-stop-ignored@record/orvctl_record.cpp@s/^  sigaction(SIGINT, \&action, nullptr);$/  signal(SIGINT, SIG_IGN);/@StopByInterrupt
recorder-hang-one-short@record/detector.cpp@s/if (n + 1 - d.last > s.hang) {/if (n + 1 - d.last >= s.hang) {/@RecordDetector
recorder-folder-of-another-user@record/folder.cpp@s/if (owner != user) {/if (false) {/@RecordFolder|FolderOfAnotherUserRefused
recorder-moved-folder-kept@record/folder.cpp@s/if (stat(folder.path.c_str(), \&st) == 0 \&\& st.st_dev == folder.dev \&\& st.st_ino == folder.ino) {/if (true) {/@FolderReplaced
recorder-clock-unsaid@record/recording_file.cpp@s/text += "_unsynced";//@UnsynchronisedClock
recorder-no-longest@record/detector.cpp@s/if (d.confirmed \&\& n + 1 - d.file_from >= s.longest) {/if (false) {/@RecordDetector
recorder-longest-not-in-the-process@record/detector.cpp@s/if (d.confirmed \&\& n + 1 - d.file_from >= s.longest) {/if (false) {/@StuckCarrier
recorder-reads-overwritten-audio@record/ring.cpp@s/^  if (at < oldest) {$/  if (false) {/@DiskStallBeyondMemory
recorder-metrics-only-with-input@record/orvctl_record.cpp@s/poll(fds, 2, int((due - now) \/ 1000000) + 1);/poll(fds, 2, -1);/@Metrics.ServedByTheExporter
recorder-counts-twice@record/writer.cpp@s/c.recordings += 1;/c.recordings += 2;/@EachTransmissionExactBlipLeftOut
recorder-named-when-block-read@record/detector.cpp@s/d.first_ns = detector_time_of(arrived_ns, count, i);/d.first_ns = arrived_ns;/@RecordDetector
recorder-named-at-pre-roll@record/ring.cpp@s/return job_time_at(job, from <= job.sound_at ? job.sound_at : from);/return job_time_at(job, from);/@RecordJobs
prom-temporary-followed@common/prom_file.cpp@s/O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC/O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC/@PromFile
prom-temporary-foreseeable@common/prom_file.cpp@s/".%s.%s.tmp", file.name, hex);/".%s.tmp", file.name);/@PromFile
prom-second-writer-shares@common/prom_file.cpp@s/return error == EADDRINUSE ? -1 : -2;/return -2;/@PromFile|TwoRecordersOnOneFolder
recorder-minimum-one-short@record/detector.cpp@s/d.last + 1 - d.first >= s.minimum/d.last - d.first >= s.minimum/@RecordDetector
recorder-failures-uncounted@record/writer.cpp@s/^    c.failures += 1;$//@FolderOfAnotherUserRefused
recorder-group-writable-accepted@record/folder.cpp@s/(mode \& S_IWOTH) != 0 || ((mode \& S_IWGRP) != 0 \&\& !group_private);/(mode \& S_IWOTH) != 0;/@RecordFolder
recorder-gap-named-as-the-first@record/writer.cpp@s/start_file(r, job, taken.lost_to, file);/start_file(r, job, job.from, file);/@DiskStallBeyondMemory
recorder-level-any-sample@record/detector.cpp@s/const bool loud = std::abs(static_cast<int32_t>(samples\[i\])) > s.threshold;/const bool loud = samples[i] != 0;/@RecordDetector
metrics-peak-never-reset@audio/metrics.cpp@s/^  metrics.peak = 0;$//@RelayLevel
relay-silence-at-minus-30@audio/output_clock.h@s/constexpr int kClockSilenceLevel = 32;/constexpr int kClockSilenceLevel = 1036;/@RelayLevel
recorder-retry-on-wall-clock@record/folder.cpp@s/clock_gettime(CLOCK_MONOTONIC, \&now);/clock_gettime(CLOCK_REALTIME, \&now);/@RetriedThroughABackwardStep
recorder-clock-by-timesyncd-under-filter@record/clock_state.cpp@s/_exit(ntp_adjtime(\&state) < 0 ? 1 : 0);/_exit(1);/@ClockStateAskedUnderAFilterThatAllowsIt
recorder-clock-asked-under-any-filter@record/clock_state.cpp@s/^  if (!filtered()) {$/  if (true) {/@ClockStateUnderAFilterThatForbidsIt
recorder-foreign-link-followed@record/folder.cpp@s/if (link \&\& at.st_uid != geteuid() \&\& at.st_uid != 0) {/if (false) {/@FolderThroughAnotherUsersLink
recorder-bad-command-line-unseen@record/orvctl_record.cpp@0,/^    r.ring.counts.recording = false;$/s///@RecordUsage
recorder-hang-zero-accepted@record/options.cpp@s/{"--hang", \&RecordOptions::hang, 0.1, 60,/{"--hang", \&RecordOptions::hang, 0, 60,/@RecordOptions
recorder-level-zero-accepted@record/options.cpp@s/return value < 0 \&\& value >= -96;/return value <= 0 \&\& value >= -96;/@RecordOptions
recorder-help-as-folder@record/options.cpp@s/if (name == "--help") {/if (false) {/@RecordOptions|RecordUsage
recorder-said-once-only@record/folder.cpp@s/if (cause != folder.said || now_ns - folder.said_ns >= kFolderSayAgainNs) {/if (cause != folder.said) {/@TriedEvery10s
recorder-not-recording-no-alert@monitoring/orvctl-rules.yml@s/expr: orvctl_record_recording == 0/expr: orvctl_record_recording == 2/@Metrics.AlertRules
retention-floor-ignored@record/retention.cpp@s/const bool space = free < floor;/const bool space = free < 0;/@RecordRetention|FloorKept
retention-deletes-the-newest@record/retention.cpp@s/for (size_t i = 0; i + 1 < oldest.size(); ++i) {/for (size_t i = 0; i < oldest.size(); ++i) {/@RecordRetention
retention-others-deleted@record/retention.cpp@s/        st.st_uid != geteuid()) {/        false) {/;s/st.st_uid == geteuid() \&\& st.st_ino == k.ino \&\&/st.st_ino == k.ino \&\&/@FloorKeptOldestFirstOnlyItsOwn
retention-any-name@record/retention.cpp@s/if (!retention_is_recording(e->d_name) ||/if (false ||/@FloorNotKeptSaidOnce
retention-look-shares-descriptor@record/retention.cpp@s/const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);/const int fd = dup(dir);/@RecordRetention
retention-floor-said-every-pass@record/retention.cpp@s/if (a.free < a.floor \&\& !a.floor_said) {/if (a.free < a.floor) {/@FloorNotKeptSaidOnce
retention-deletions-uncounted@record/retention.cpp@s/^        a.deleted_files\[reason\] += 1;$//@RecordMonth
retention-not-before-a-file@record/writer.cpp@s/^    keep_bounds(r);$//@FloorKeptOldestFirstOnlyItsOwn
recorder-freed-folder-tried-in-10s@record/writer.cpp@s/folder_ready(r.folder, now, true)/folder_ready(r.folder, now, false)/@FolderFilledByAnotherFileThenFreed
names-hour-twice-unmarked@record/recording_file.cpp@s/return std::string(text, 13) + (second < other ? 'A' : 'B') + (text + 13);/return text;/@RecordNames
floor-rule-inverted@monitoring/orvctl-rules.yml@s/expr: orvctl_record_free_bytes < orvctl_record_keep_free_bytes/expr: orvctl_record_free_bytes > orvctl_record_keep_free_bytes/@Metrics.AlertRules
lists-unlocked@record/listing.cpp@s/  if (fd >= 0 \&\& (fstat(fd, \&st) != 0/  if (fd >= 0 \&\& (true || fstat(fd, \&st) != 0/@RecordLists
lists-stale-kept-at-start@record/recorder.h@s/  bool lists_pruned = false;/  bool lists_pruned = true;/@FloorKeptOldestFirstOnlyItsOwn
lists-deleted-kept@record/retention.cpp@s/        a.deleted_names.push_back(k.name);//@FloorKeptOldestFirstOnlyItsOwn
lists-seconds-rounded@record/listing.cpp@s/%s\\t%.2f\\t/%s\\t%.1f\\t/@RecordLists
lists-days-out-of-order@record/listing.cpp@s/if (!placed \&\& other > day) {/if (!placed \&\& other < day) {/@RecordLists
lists-peak-unmeasured@record/recording_file.cpp@s/file.peak = std::max(file.peak, std::abs(wide\[i\]));//@TwoRecordersOnOneFolder
page-hours-exclusive@www/page.js@s/e.hour >= from \&\& e.hour <= to/e.hour >= from \&\& e.hour < to/@Page.ReadsTheFiles
page-oldest-first@www/page.js@s/return entries.sort((a, b) => b.time - a.time);/return entries.sort((a, b) => a.time - b.time);/@Page
page-silent-as-playing@www/page.js@s/if (figures.get('orvctl_board_silent') !== 1)/if (figures.get('orvctl_board_silent') === 1)/@Page.ReadsTheFiles
page-slow-to-see-new@www/page.js@s/every(2000, lookForNew);/every(8000, lookForNew);/@Page.InTheBrowser
page-next-is-older@www/page.js@s/if (at > 0) playEntry(list\[at - 1\].name);/if (at >= 0 \&\& at + 1 < list.length) playEntry(list[at + 1].name);/@Page.InTheBrowser
page-serves-anything@www/50-orvctl.conf.in@s/^    url.access-deny = ( "" )$/    url.access-deny = ( )/@Page.InTheBrowser
alerts-station-down-inverted@monitoring/orvctl-rules.yml@s/expr: up{job="orvctl"} == 0/expr: up{job="orvctl"} == 1/@Metrics.AlertRules
alerts-watchdog-silent@monitoring/orvctl-rules.yml@s/expr: vector(1)/expr: vector(0) > 0/@Metrics.AlertRules
alerts-gone-for-every-station@monitoring/orvctl-rules.yml@s/unless on(instance) orvctl_metrics/unless on() orvctl_metrics/@Metrics.AlertRules
alerts-one-group-for-all@docs/monitoring.md@s/^  group_by: \[instance\]$/  group_by: [alertname]/@Alerts.ReachAPerson
TABLE

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git archive HEAD | tar -x -C "$work"
scripts/deps.sh test >/dev/null
# (The page's browser tests need playwright-core in the copy, as scripts/test.sh installs it.)
(cd "$work/tests/page" && npm ci --no-audit --no-fund --loglevel=error) >/dev/null
cmake -S "$work" -B "$work/build" -DBUILD_TESTING=ON >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null

survived=0
while IFS='@' read -r name file expression tests; do
  [ -n "$name" ] || continue
  if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then
    continue
  fi
  cp "$work/$file" "$work/$file.orig"
  sed -i "$expression" "$work/$file"
  if cmp -s "$work/$file" "$work/$file.orig"; then
    echo "mutant $name: the expression changes nothing in $file (the table is out of date)"
    survived=$((survived + 1))
  elif ! cmake --build "$work/build" -j"$(nproc)" >/dev/null 2>&1; then
    echo "mutant $name: does not build (not a mutant: fix the table)"
    survived=$((survived + 1))
  elif (cd "$work/build" && ctest -R "$tests" --no-tests=error -j"$(nproc)" >/dev/null 2>&1); then
    echo "mutant $name: SURVIVED $tests"
    survived=$((survived + 1))
  else
    echo "mutant $name: killed by $tests"
  fi
  mv "$work/$file.orig" "$work/$file"
  touch "$work/$file"
done <<<"$mutants"
cmake --build "$work/build" -j"$(nproc)" >/dev/null
[ "$survived" = 0 ] || {
  echo "mutants.sh: $survived mutants not killed" >&2
  exit 1
}
