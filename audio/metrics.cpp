#include "audio/metrics.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "audio/playback_relay.h"
#include "board/board_link.h"
#include "version.h"

namespace {

double wall_now_s() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One metric of the run's, labelled with its frequency (and the labels in `extra`, if any).
void metric(PromText& text, const RelayMetrics& metrics, const char* name, const char* type,
            const char* help, double value, const char* extra = "") {
  char labels[160];
  std::snprintf(labels, sizeof labels, "frequency_khz=\"%u\"%s", metrics.khz, extra);
  prom_metric(text, name, type, help, labels, value);
}

double dbfs(double magnitude) {
  return magnitude > 0 ? 20 * std::log10(magnitude / 32768) : -INFINITY;
}

void say_once(RelayMetrics& metrics, int error) {
  if (!metrics.failed_said) {
    metrics.failed_said = true;
    std::fprintf(stderr, "%s: cannot write the metrics into %s: %s; the audio plays on\n",
                 program_invocation_short_name, metrics.file.folder, std::strerror(error));
  }
}

// The file's text, as it is written at `now_ns` (into `buffer`, `size` bytes at most): its length,
// or 0 when it does not fit.
size_t metrics_text(char* buffer, size_t size, const RelayMetrics& metrics,
                    const OutputClock& clock, const RelayCounts& counts, int64_t now_ns) {
  PromText text{buffer, size};
  const double now_s = wall_now_s();
  const double waited_s = static_cast<double>(now_ns - counts.last_block_ns) / 1e9;
  char build[80];
  std::snprintf(build, sizeof build, ",version=\"%s\",link=\"%s\"", ORVCTL_VERSION,
                board_link_name);
  metric(text, metrics, "orvctl_build_info", "gauge",
         "The running orvctl: its version and the board link it was built with.", 1, build);
  metric(text, metrics, "orvctl_start_time_seconds", "gauge",
         "When playback started, in seconds since the epoch.", metrics.start_s);
  metric(text, metrics, "orvctl_metrics_updated_timestamp_seconds", "gauge",
         "When this file was written (every 15 s), in seconds since the epoch.", now_s);
  metric(text, metrics, "orvctl_frequency_hertz", "gauge", "The frequency the board is tuned to.",
         metrics.khz * 1000.0);
  metric(text, metrics, "orvctl_blocks_total", "counter",
         "Blocks of the board's audio (0.25 s each) written whole to the sound output.",
         static_cast<double>(counts.blocks));
  metric(text, metrics, "orvctl_played_seconds_total", "counter",
         "Seconds of the board's audio written to the sound output.",
         (static_cast<double>(counts.blocks) * kBlockSamples - static_cast<double>(counts.drops) +
          static_cast<double>(counts.repeats)) /
             kSampleRate);
  metric(text, metrics, "orvctl_underruns_total", "counter",
         "Writes that found the sound output run dry: it played silence.",
         static_cast<double>(counts.underruns));
  metric(text, metrics, "orvctl_samples_dropped_total", "counter",
         "Single samples left out to follow the sound output's clock (or to work off a delay).",
         static_cast<double>(counts.drops));
  metric(text, metrics, "orvctl_samples_repeated_total", "counter",
         "Single samples played twice to follow the sound output's clock.",
         static_cast<double>(counts.repeats));
  metric(text, metrics, "orvctl_writes_refused_total", "counter",
         "Writes the sound output refused or cut short.", static_cast<double>(counts.troubled));
  if (clock.queue >= 0 && clock.block_ns > 0) {
    metric(text, metrics, "orvctl_delay_seconds", "gauge",
           "The delay from the board to the sound output, at the last block.",
           (clock.queue + kBlockSamples) * clock.block_ns / kBlockSamples / 1e9);
  }
  if (clock.rate_known) {
    metric(text, metrics, "orvctl_output_clock_offset_ratio", "gauge",
           "How much slower (+) or faster (-) the sound output's clock runs than the board's, as "
           "the relay follows it (0.000001 is 1 ppm; 0 while they agree).",
           clock.following ? clock.rate / kBlockSamples : 0);
  }
  metric(text, metrics, "orvctl_output_clock_beyond_reach", "gauge",
         "1 once the sound output's clock has run further from the board's than the relay "
         "follows, for a minute: gaps or losses follow.",
         clock.beyond_ppm != 0 ? 1 : 0);
  metric(text, metrics, "orvctl_board_silent", "gauge",
         "1 while the board delivers no audio (no block for a second or more).",
         metrics.silent ? 1 : 0);
  metric(text, metrics, "orvctl_board_last_block_timestamp_seconds", "gauge",
         "When the board last delivered a block (or playback started), in seconds since the "
         "epoch.",
         now_s - waited_s);
  metric(text, metrics, "orvctl_board_overwritten_samples_total", "counter",
         "Samples the board overwrote, its buffer full, as far as its counts tell: audio lost.",
         static_cast<double>(counts.overwritten));
  metric(text, metrics, "orvctl_audio_peak_dbfs", "gauge",
         "The audio's largest sample since the last write, in dB of full scale (-Inf: digital "
         "silence, or no audio).",
         dbfs(metrics.peak));
  metric(text, metrics, "orvctl_audio_rms_dbfs", "gauge",
         "The audio's RMS level since the last write, in dB of full scale.",
         metrics.samples > 0 ? dbfs(std::sqrt(static_cast<double>(metrics.squares) /
                                              static_cast<double>(metrics.samples)))
                             : -INFINITY);
  return text.full ? 0 : text.length;
}

}  // namespace

void metrics_start(RelayMetrics& metrics, uint32_t khz, int64_t now_ns) {
  metrics = RelayMetrics{};
  metrics.khz = khz;
  metrics.start_s = wall_now_s();
  metrics.due_ns = now_ns + kMetricsEveryNs;
  const int error = prom_open(metrics.file, "orvctl");
  if (error != 0) {
    say_once(metrics, error);
  }
}

void metrics_level(RelayMetrics& metrics, const uint8_t* samples) {
  if (metrics.file.dir < 0) {
    return;
  }
  // In whole numbers: a block's squares stay below 2^44.
  int peak = metrics.peak;
  uint64_t squares = 0;
  for (uint32_t i = 0; i < kBlockSamples; ++i) {
    const int sample = static_cast<int16_t>(samples[2 * i] | samples[2 * i + 1] << 8);
    peak = std::max(peak, std::abs(sample));
    squares += static_cast<uint64_t>(sample * sample);
  }
  metrics.peak = peak;
  metrics.squares += squares;
  metrics.samples += kBlockSamples;
}

void metrics_write_when_due(RelayMetrics& metrics, const OutputClock& clock,
                            const RelayCounts& counts, int64_t now_ns) {
  const bool silent = now_ns - counts.last_block_ns >= kStatusWhileWaitingNs;
  if (now_ns < metrics.due_ns && silent == metrics.silent) {
    return;
  }
  metrics.due_ns = now_ns + kMetricsEveryNs;
  metrics.silent = silent;
  if (metrics.file.dir >= 0) {
    char text[8192];
    const size_t length = metrics_text(text, sizeof text, metrics, clock, counts, now_ns);
    const int error = length == 0 ? ENOSPC : prom_write(metrics.file, text, length);
    if (error != 0) {
      say_once(metrics, error);
    } else {
      metrics.failed_said = false;
    }
  }
  metrics.peak = 0;
  metrics.squares = 0;
  metrics.samples = 0;
}
