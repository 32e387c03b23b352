// The host's work per audio block, without the bus: building and decoding each frame, and one
// whole block of the relay (status with r, the poll that finds a block, the fetch, and the write
// to ALSA's "default", here the null device that takes everything at once).
//
// BM_BlockFixed runs a fixed number of blocks for counting instructions under callgrind
// (scripts/measure-block.sh).
#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "audio/playback_relay.h"
#include "board/board_link.h"
#include "cli/command_line.h"
#include "testing/alsa_config.h"

namespace {

BoardLink link{};

void BM_ReadCount(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(board_read_count(link));
  }
}
BENCHMARK(BM_ReadCount);

void BM_ReadStatus(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(board_read_status(link));
  }
}
BENCHMARK(BM_ReadStatus);

void BM_ReadVersion(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(board_read_version(link));
  }
}
BENCHMARK(BM_ReadVersion);

void BM_Tune(benchmark::State& state) {
  uint32_t khz = 88000;
  for (auto _ : state) {
    board_set_control(link, board_control_byte(0, 1, 0));
    board_set_frequency(link, khz++);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Tune);

void BM_ReadAudioHeader(benchmark::State& state) {
  for (auto _ : state) {
    board_read_audio(link);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ReadAudioHeader);

// The relay's own output, on a configuration where "default" is the null device.
snd_pcm_t* open_output() {
  const std::string config = use_alsa_config("pcm.!default { type null }");
  snd_pcm_t* handle = relay_open_output_or_die();
  unlink(config.c_str());
  return handle;
}

// state.range(0): 1 with r (the status frame and its line, written to /dev/null); 2 without r,
// with the output's clock so far off that every block drops the most samples it may.
void block(benchmark::State& state) {
  RunSettings settings;
  settings.EmitSound = 1;
  settings.DisplayRSSI = state.range(0) == 1 ? 1 : 0;
  snd_pcm_t* handle = open_output();
  std::fflush(stdout);
  const int saved_stdout = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  OutputClock clock;
  relay_clock_start(clock);
  RelayCounts counts;
  if (state.range(0) == 2) {
    snd_pcm_start(handle);  // the null output never starts by itself, and a stopped one is not read
    clock.settled = true;
    clock.running_blocks = kClockSkipBlocks;
    clock.set_point = -1e9;
  }
  bool ok = true;
  for (auto _ : state) {
    if (state.range(0) == 2) {
      // A backlog far off, on top of the fastest drift followed: the most edits a block carries.
      clock.recent_blocks = kClockMedianBlocks;
      clock.trend_blocks = 0;
      clock.rate = kClockMaxRate;
    }
    ok = ok && relay_block(settings, link, handle, clock, counts);
  }
  std::fflush(stdout);
  dup2(saved_stdout, 1);
  close(saved_stdout);
  close(null);
  snd_pcm_close(handle);
  if (!ok) {
    state.SkipWithError("the null output failed");
  }
  state.SetItemsProcessed(state.iterations() * kBlockSamples);
}

void BM_Block(benchmark::State& state) {
  block(state);
}
BENCHMARK(BM_Block)->Arg(0)->Arg(1)->Arg(2);

void BM_BlockFixed(benchmark::State& state) {
  block(state);
}
BENCHMARK(BM_BlockFixed)->Arg(0)->Arg(1)->Arg(2)->Iterations(10000);

}  // namespace

BENCHMARK_MAIN();
