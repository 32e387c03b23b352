#include "sim/sim_board.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <numbers>

namespace {

constexpr double kSineAmplitude = 12000;  // the chime's peak, about -9 dBFS
constexpr uint64_t kSecondNs = 1000000000;

// Phase step per sample of a tone of `hertz` at the board's rate.
uint32_t phase_step(double hertz) {
  return static_cast<uint32_t>(std::lround(hertz / kSampleRate * 4294967296.0));
}

void tune_notes(SimBoard& board) {
  // C major pentatonic from C5; each frequency picks a note, the second chime is its fifth.
  static const int kSemitones[5] = {0, 2, 4, 7, 9};
  const double root = 523.25 * std::pow(2.0, kSemitones[board.frequency % 5] / 12.0);
  board.note_step[0] = phase_step(root);
  board.note_step[1] = phase_step(root * 1.5);
}

// How long the board has stood still (its halts) between the start of playback and `now_ns`.
int64_t halted(const SimBoard& board, int64_t now_ns) {
  int64_t total = 0;
  for (const SimUpset& halt : board.knobs.halts) {
    const int64_t from = std::max(halt.at_ns, board.playback_start_ns);
    const int64_t to = std::min(halt.at_ns + halt.length_ns, now_ns);
    total += std::max<int64_t>(0, to - from);
  }
  return total;
}

// Brings the buffer fill up to `now_ns`.
void advance(SimBoard& board, int64_t now_ns) {
  if (!board.playing) {
    return;
  }
  const uint64_t elapsed = static_cast<uint64_t>(std::max<int64_t>(
      0,
      now_ns - board.playback_start_ns - (board.knobs.halts.empty() ? 0 : halted(board, now_ns))));
  const uint64_t rate = board.knobs.rate;
  if (elapsed < board.produced_until || rate == 0) {
    return;  // no new sample yet (a poll comes every few microseconds, a sample every 21)
  }
  // The first moment of sample k: the least time t with t * rate >= k * 1e9, that is the quotient
  // of k * 1e9 + rate - 1 by the rate, whose remainder is kept. From one sample to the next, the
  // numerator grows by 1e9: most polls find one more sample, which costs no division.
  uint64_t quotient = board.produced_until + board.second_quotient;
  uint64_t remainder = board.until_remainder + board.second_remainder;
  if (remainder >= rate) {
    ++quotient;
    remainder -= rate;
  }
  if (board.until_remainder < rate && elapsed < quotient) {
    ++board.produced;
  } else {
    board.produced = elapsed / kSecondNs * rate + elapsed % kSecondNs * rate / kSecondNs;
    const uint64_t next = board.produced + 1;
    const uint64_t rest = next % rate * kSecondNs + rate - 1;
    quotient = next / rate * kSecondNs + rest / rate;
    remainder = rest % rate;
  }
  board.produced_until = quotient;
  board.until_remainder = remainder;
  if (board.produced > board.next_sample + kSimCapacity) {
    board.overwritten += board.produced - kSimCapacity - board.next_sample;
    board.next_sample = board.produced - kSimCapacity;  // the oldest samples were overwritten
  }
}

// Whether the board is in one of its gaps at `now_ns`.
bool in_gap(SimBoard& board, int64_t now_ns) {
  const std::vector<SimUpset>& gaps = board.knobs.gaps;
  while (board.next_gap < gaps.size() &&
         now_ns >= gaps[board.next_gap].at_ns + gaps[board.next_gap].length_ns) {
    ++board.next_gap;
  }
  return board.next_gap < gaps.size() && now_ns >= gaps[board.next_gap].at_ns;
}

unsigned held(const SimBoard& board) {
  return board.produced > board.next_sample
             ? static_cast<unsigned>(board.produced - board.next_sample)
             : 0;
}

// The first sample of the stream at or after `ns` of its own time.
uint64_t sample_at(int64_t ns) {
  const auto whole = static_cast<uint64_t>(ns / 1000000000);
  const auto part = static_cast<uint64_t>(ns % 1000000000);
  return whole * kSampleRate + (part * kSampleRate + 999999999) / 1000000000;
}

// Whether sample `n` of the stream falls in one of the bursts (in order, not overlapping).
bool sounding(const std::vector<SimUpset>& bursts, uint64_t n) {
  for (const SimUpset& burst : bursts) {
    if (n < sample_at(burst.at_ns)) {
      return false;
    }
    if (n < sample_at(burst.at_ns + burst.length_ns)) {
      return true;
    }
  }
  return false;
}

BoardStatus status_reply(const SimBoard& board) {
  if (board.knobs.fixed_status) {
    return board.knobs.status;
  }
  // A signal that depends on where the board is tuned; nothing at all when it is not.
  const uint8_t rssi = board.frequency == 0 ? 0 : static_cast<uint8_t>(40 + board.frequency % 60);
  return {rssi, static_cast<uint8_t>(255 - 2 * rssi), board.control,
          static_cast<uint8_t>(board.playing ? 1 : 0)};
}

void fill_audio(SimBoard& board, uint8_t* audio, uint32_t bytes) {
  const uint32_t samples = std::min(kBlockSamples, bytes / 2);
  if (!board.playing) {
    std::memset(audio, 0, size_t{2} * samples);  // no stream yet: silence
    return;
  }
  for (size_t i = 0; i < samples; ++i) {
    const auto pattern = static_cast<uint16_t>(sim_sample(board, board.next_sample + i));
    audio[2 * i] = static_cast<uint8_t>(pattern);
    audio[2 * i + 1] = static_cast<uint8_t>(pattern >> 8);
  }
  board.next_sample += kBlockSamples;
}

// Whether the board is without power at `now_ns`; once the power is back, it starts afresh.
bool powered_off(SimBoard& board, int64_t now_ns) {
  const std::vector<SimUpset>& resets = board.knobs.resets;
  while (board.next_reset < resets.size() && now_ns >= resets[board.next_reset].at_ns) {
    if (now_ns < resets[board.next_reset].at_ns + resets[board.next_reset].length_ns) {
      return true;
    }
    board.control = 0;
    board.frequency = 0;
    board.playing = false;
    board.produced = 0;
    board.produced_until = 0;
    board.until_remainder = UINT64_MAX;
    board.next_sample = 0;
    tune_notes(board);
    ++board.next_reset;
  }
  return false;
}

}  // namespace

void sim_shift_upsets(SimKnobs& knobs, int64_t origin_ns) {
  for (std::vector<SimUpset>* upsets : {&knobs.stalls, &knobs.gaps, &knobs.resets, &knobs.halts}) {
    for (SimUpset& upset : *upsets) {
      upset.at_ns += origin_ns;
    }
  }
  if (knobs.stop_at_ns >= 0) {
    knobs.stop_at_ns += origin_ns;
  }
}

int64_t sim_transfer_ns(const SimKnobs& knobs, uint32_t length) {
  return knobs.spi_hz == 0 ? 0 : int64_t{length} * 8 * 1000000000 / knobs.spi_hz;
}

void sim_reset(SimBoard& board, const SimKnobs& knobs) {
  board = SimBoard{};
  board.knobs = knobs;
  if (knobs.rate != 0) {
    board.second_quotient = kSecondNs / knobs.rate;
    board.second_remainder = kSecondNs % knobs.rate;
  }
  for (int i = 0; i < 1024; ++i) {
    board.sine[i] =
        static_cast<int16_t>(std::lround(kSineAmplitude * std::sin(i * std::numbers::pi / 512.0)));
  }
  tune_notes(board);
}

void sim_tune(SimBoard& board, uint32_t khz) {
  board.frequency = khz;
  tune_notes(board);
}

int64_t sim_next_sample_ns(const SimBoard& board, int64_t now_ns) {
  const bool in_a_gap =
      board.next_gap < board.knobs.gaps.size() && now_ns >= board.knobs.gaps[board.next_gap].at_ns;
  if (!board.playing || board.knobs.rate == 0 || in_a_gap) {
    return INT64_MAX;
  }
  return board.playback_start_ns + static_cast<int64_t>(board.produced_until);
}

unsigned sim_count_now(SimBoard& board, int64_t now_ns) {
  advance(board, now_ns);
  return held(board);
}

int64_t sim_count_events_until(const SimBoard& board, int64_t now_ns) {
  if (board.knobs.miso >= 0 || !board.knobs.halts.empty()) {
    return -1;
  }
  if (board.next_reset < board.knobs.resets.size() &&
      now_ns >= board.knobs.resets[board.next_reset].at_ns) {
    return -1;  // without power: the whole frame reads low
  }
  int64_t until = INT64_MAX;
  if (board.next_reset < board.knobs.resets.size()) {
    until = std::min(until, board.knobs.resets[board.next_reset].at_ns);
  }
  // The edges of the gap now, or of the next one.
  if (board.next_gap < board.knobs.gaps.size()) {
    const SimUpset& gap = board.knobs.gaps[board.next_gap];
    until = std::min(until, now_ns < gap.at_ns ? gap.at_ns : gap.at_ns + gap.length_ns);
  }
  return until;
}

int16_t sim_sample(const SimBoard& board, uint64_t n) {
  if (!board.knobs.bursts.empty() && !sounding(board.knobs.bursts, n)) {
    return 0;  // between two transmissions: digital silence, as a squelched receiver gives
  }
  if (board.knobs.signal == SimSignal::ramp) {
    return static_cast<int16_t>(static_cast<uint16_t>(n));
  }
  if (board.knobs.signal == SimSignal::recording) {
    return n < board.knobs.recording.size() ? board.knobs.recording[n] : 0;
  }
  const uint64_t beat = n / kSimBeatSamples;
  const auto position = static_cast<int32_t>(n % kSimBeatSamples);
  const auto phase = static_cast<uint32_t>(n * board.note_step[beat & 1]);
  // 10 ms rise, then a linear fade to silence at the end of the beat (Q15).
  constexpr int32_t kRise = 480;
  const int32_t envelope = position < kRise
                               ? position * 32767 / kRise
                               : (static_cast<int32_t>(kSimBeatSamples) - position) * 32767 /
                                     (static_cast<int32_t>(kSimBeatSamples) - kRise);
  return static_cast<int16_t>(board.sine[phase >> 22] * envelope / 32768);
}

void sim_exchange(SimBoard& board, uint8_t* frame, uint32_t length, int64_t now_ns) {
  if (board.knobs.miso >= 0 || (!board.knobs.resets.empty() && powered_off(board, now_ns))) {
    // Nothing drives the data line: the host reads what it is held at (low without power).
    std::memset(frame, board.knobs.miso >= 0 ? board.knobs.miso : 0, length);
    return;
  }
  if (length < 3) {
    return;
  }
  switch (frame[2]) {
    case CMD_VERSION:
      if (length >= 5) {
        frame[3] = board.knobs.version.major;
        frame[4] = board.knobs.version.minor;
      }
      break;
    case CMD_CONTROL:
      if (length >= 4) {
        board.control = frame[3];
      }
      break;
    case CMD_FREQUENCY:
      if (length >= 8) {
        sim_tune(board,
                 frame[3] | frame[4] << 8 | frame[5] << 16 | static_cast<uint32_t>(frame[6]) << 24);
      }
      break;
    case CMD_PLAYBACK:
      if (!board.playing) {
        board.playing = true;
        board.playback_start_ns = now_ns;
      }
      break;
    case CMD_STATUS:
      if (length >= 7) {
        const BoardStatus status = status_reply(board);
        frame[3] = status.RSSI;
        frame[4] = status.AGC;
        frame[5] = status.byte5;
        frame[6] = status.byte6;
      }
      break;
    case CMD_BUFCOUNT:
      if (length >= 6) {
        advance(board, now_ns);
        const unsigned count = in_gap(board, now_ns) ? 0 : held(board);
        frame[3] = static_cast<uint8_t>(count);
        frame[4] = static_cast<uint8_t>(count >> 8);
        frame[5] = 0;
      }
      break;
    case CMD_AUDIO:
      advance(board, now_ns);
      fill_audio(board, frame + 3, length - 3);
      break;
    default:  // unknown commands are ignored, as the board does
      break;
  }
}
