// What the relay tells a monitor of the audio's level, write after write, and what it takes for
// silence: figures a one-character change would move.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/metrics.h"
#include "audio/output_clock.h"
#include "audio/playback_relay.h"
#include "board/board_link.h"
#include "testing/run_process.h"

namespace {

// A block of silence but for one sample of `value` (little-endian, as the board sends it).
std::vector<uint8_t> block_with(int16_t value) {
  std::vector<uint8_t> block(2 * kBlockSamples, 0);
  block[2 * 6000] = uint8_t(value & 0xff);
  block[2 * 6000 + 1] = uint8_t((value >> 8) & 0xff);
  return block;
}

TEST(RelayLevel, SilenceIsNoSampleBeyondMinus60dBFS) {
  // -60 dBFS is 32.8 of 32768.
  const struct {
    int16_t value;
    bool silence;
  } rows[] = {{0, true}, {32, true}, {-32, true}, {33, false}, {-33, false}, {-32768, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(relay_block_is_silence(block_with(row.value).data()), row.silence) << row.value;
  }
  EXPECT_FALSE(relay_block_is_silence(nullptr));
}

// The peak is that of the audio since the last write: a quiet stretch after a loud one reads
// quiet.
TEST(RelayLevel, PeakOfEachIntervalAlone) {
  const std::string folder = make_temp_dir();
  setenv("ORVCTL_METRICS", folder.c_str(), 1);
  RelayCounts counts;
  OutputClock clock;
  metrics_start(counts.metrics, 145500, 0);
  unsetenv("ORVCTL_METRICS");
  const struct {
    int16_t value;
    double peak;
  } rows[] = {{32767, -0.000265076}, {100, -50.3089987}, {0, -INFINITY}};
  int64_t now = 0;
  for (const auto& row : rows) {
    metrics_level(counts.metrics, block_with(row.value).data());
    now += kMetricsEveryNs;
    counts.last_block_ns = now;
    metrics_write_when_due(counts.metrics, clock, counts, now);
    const std::string text = read_file(folder + "/orvctl.prom");
    const std::string line = "\norvctl_audio_peak_dbfs{frequency_khz=\"145500\"} ";
    const size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos) << text;
    const double peak = strtod(text.c_str() + at + line.size(), nullptr);
    if (std::isinf(row.peak)) {
      EXPECT_EQ(peak, row.peak) << row.value;
    } else {
      EXPECT_NEAR(peak, row.peak, 1e-6) << row.value;
    }
  }
  prom_close(counts.metrics.file);
  ASSERT_EQ(system(("rm -rf " + folder).c_str()), 0);
}

}  // namespace
