#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_board.h"
#include "sim/sim_knobs.h"
#include "sim/sim_log.h"

namespace {

constexpr int64_t kSecond = 1000000000;

struct KnobCase {
  SimKnobTexts texts;
  bool accepted;
  const char* error_mentions;  // for a rejected case
};

const char* shown(const char* text) {
  return text != nullptr ? text : "-";
}

TEST(SimKnobsTest, AcceptsWellFormedValuesAndExplainsOthers) {
  const KnobCase cases[] = {
      {{}, true, ""},
      {{.version = "0.0", .status = "0 0 0 0", .rate = "0", .log = "/tmp/x"}, true, ""},
      {{.version = "255.255", .status = "255 255 255 255", .rate = "1000000000"}, true, ""},
      {{.version = "2.03", .status = "  1  2 3 4 ", .rate = "48000"}, true, ""},
      {{.version = "256.1"}, false, "ORVSIM_VERSION"},
      {{.version = "1"}, false, "ORVSIM_VERSION"},
      {{.version = "1."}, false, "ORVSIM_VERSION"},
      {{.version = "1.4.2"}, false, "ORVSIM_VERSION"},
      {{.version = "-1.4"}, false, "ORVSIM_VERSION"},
      {{.version = ""}, false, "ORVSIM_VERSION"},
      {{.status = "1 2 3"}, false, "ORVSIM_STATUS"},
      {{.status = "1 2 3 4 5"}, false, "ORVSIM_STATUS"},
      {{.status = "1 2 3 256"}, false, "ORVSIM_STATUS"},
      {{.status = "1,2,3,4"}, false, "ORVSIM_STATUS"},
      {{.rate = "fast"}, false, "ORVSIM_RATE"},
      {{.rate = "-1"}, false, "ORVSIM_RATE"},
      {{.rate = "1000000001"}, false, "ORVSIM_RATE"},
      {{.rate = "99999999999999999999999"}, false, "ORVSIM_RATE"},
      {{.rate = "48000 "}, false, "ORVSIM_RATE"},
      {{.log = ""}, false, "ORVSIM_LOG"},
      {{.clock = "simulated", .stall = "60:150 3600.5:1000", .gap = " 0:1 ", .stop_at = "0.25"},
       true,
       ""},
      {{.clock = "real", .stall = "", .stop_at = "86400"}, true, ""},
      {{.clock = "fast"}, false, "ORVSIM_CLOCK"},
      {{.spi_hz = "0", .clock = "simulated"}, false, "ORVSIM_SPI_HZ=0"},
      {{.stall = "60"}, false, "ORVSIM_STALL"},
      {{.stall = "60:150,90:150"}, false, "ORVSIM_STALL"},
      {{.stall = "90:150 60:150"}, false, "ORVSIM_STALL"},  // out of order
      {{.gap = "60:1000 60.5:10"}, false, "ORVSIM_GAP"},    // overlapping
      {{.gap = "-1:10"}, false, "ORVSIM_GAP"},
      {{.gap = "1.:10"}, false, "ORVSIM_GAP"},
      {{.gap = "1:3600001"}, false, "ORVSIM_GAP"},
      {{.bursts = "0:3000 120.5:500"}, true, ""},
      {{.bursts = "5:1000 5.5:1000"}, false, "ORVSIM_BURSTS"},  // overlapping
      {{.bursts = "5"}, false, "ORVSIM_BURSTS"},
      {{.stop_at = "1e3"}, false, "ORVSIM_STOP_AT"},
      {{.stop_at = "0.1234567891"}, false, "ORVSIM_STOP_AT"},
  };
  for (const KnobCase& c : cases) {
    SCOPED_TRACE(std::string(shown(c.texts.version)) + " | " + shown(c.texts.status) + " | " +
                 shown(c.texts.rate));
    SimKnobs knobs;
    std::string error;
    EXPECT_EQ(sim_parse_knobs(c.texts, knobs, error), c.accepted);
    EXPECT_NE(error.find(c.error_mentions), std::string::npos) << error;
  }
}

TEST(SimKnobsTest, KeepsTheValues) {
  SimKnobs knobs;
  std::string error;
  ASSERT_TRUE(sim_parse_knobs({.version = "2.3",
                               .status = "52 180 0 1",
                               .rate = "8000",
                               .log = "log",
                               .clock = "simulated",
                               .stall = "1.5:20 3600:1000",
                               .gap = "2:3",
                               .stop_at = "7200.125"},
                              knobs, error));
  EXPECT_EQ(knobs.version.major, 2);
  EXPECT_EQ(knobs.version.minor, 3);
  EXPECT_TRUE(knobs.fixed_status);
  EXPECT_EQ(knobs.status.RSSI, 52);
  EXPECT_EQ(knobs.status.AGC, 180);
  EXPECT_EQ(knobs.status.byte6, 1);
  EXPECT_EQ(knobs.rate, 8000u);
  EXPECT_STREQ(knobs.log_path, "log");
  EXPECT_TRUE(knobs.simulated_time);
  ASSERT_EQ(knobs.stalls.size(), 2u);
  EXPECT_EQ(knobs.stalls[0].at_ns, 1500000000);
  EXPECT_EQ(knobs.stalls[0].length_ns, 20000000);
  EXPECT_EQ(knobs.stalls[1].at_ns, 3600 * kSecond);
  EXPECT_EQ(knobs.stalls[1].length_ns, kSecond);
  ASSERT_EQ(knobs.gaps.size(), 1u);
  EXPECT_EQ(knobs.gaps[0].length_ns, 3000000);
  EXPECT_EQ(knobs.stop_at_ns, 7200 * kSecond + 125000000);
}

TEST(SimKnobsTest, BusClockSetsHowLongAnExchangeTakes) {
  const struct {
    const char* text;
    bool accepted;
    int64_t audio_frame_ns;  // 24003 bytes
  } cases[] = {
      {nullptr, true, 24579072},  // 7.8125 MHz, as the Pi's divider of 32 gives
      {"0", true, 0},
      {"1000000000", true, 192024},
      {"1000000001", false, 0},
      {"7.8e6", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "unset");
    SimKnobs knobs;
    std::string error;
    ASSERT_EQ(sim_parse_knobs({.spi_hz = c.text}, knobs, error), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(sim_transfer_ns(knobs, kAudioFrameLength), c.audio_frame_ns);
    } else {
      EXPECT_NE(error.find("ORVSIM_SPI_HZ"), std::string::npos) << error;
    }
  }
}

class SimBoardTest : public testing::Test {
 protected:
  void start(uint32_t rate) {
    SimKnobs knobs;
    knobs.rate = rate;
    knobs.signal = SimSignal::ramp;
    sim_reset(board, knobs);
    send({0x00, 0x00, 0x56, 0x01, 0x80}, 0);
  }
  std::vector<uint8_t> send(std::vector<uint8_t> frame, int64_t now) {
    sim_exchange(board, frame.data(), static_cast<uint32_t>(frame.size()), now);
    return frame;
  }
  unsigned count(int64_t now) {
    const auto reply = send({0x01, 0x00, 0x54, 0, 0, 0}, now);
    return reply[3] + 256u * reply[4];
  }
  std::vector<uint8_t> audio(int64_t now) {
    std::vector<uint8_t> frame(kAudioFrameLength, 0x5A);
    frame[0] = 0x01;
    frame[1] = 0x00;
    frame[2] = 0x50;
    sim_exchange(board, frame.data(), kAudioFrameLength, now);
    return frame;
  }
  // The ramp's block from `first_sample` on: sample n is the low 16 bits of n, little-endian.
  static std::vector<uint8_t> expected_block(uint64_t first_sample) {
    std::vector<uint8_t> bytes;
    for (uint64_t n = first_sample; n < first_sample + kBlockSamples; ++n) {
      bytes.push_back(static_cast<uint8_t>(n & 0xFF));
      bytes.push_back(static_cast<uint8_t>((n >> 8) & 0xFF));
    }
    return bytes;
  }
  SimBoard board;
};

TEST_F(SimBoardTest, FillsInRealTimeAfterPlaybackAndDrainsPerBlock) {
  SimKnobs knobs;
  sim_reset(board, knobs);
  EXPECT_EQ(count(5 * kSecond), 0u);  // nothing before playback

  start(48000);
  const struct {
    int64_t now;
    bool read_block;
    unsigned count_after;
  } steps[] = {
      {kSecond / 4 - 1, false, 11999},  // one sample short of a block
      {kSecond / 4, false, 12000},
      {kSecond / 2, true, 12000},  // 24000 made, one block taken
      {kSecond, false, 36000},
      {2 * kSecond, false, 65535},  // full: the oldest are overwritten
      {3 * kSecond, true, 65535 - 12000},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.now);
    if (step.read_block) {
      audio(step.now);
    }
    EXPECT_EQ(count(step.now), step.count_after);
  }
}

TEST_F(SimBoardTest, NeverFillsAtRateZero) {
  start(0);
  EXPECT_EQ(count(3600 * kSecond), 0u);
}

TEST_F(SimBoardTest, HandsOutTheStreamInOrderAndSkipsOverwrittenSamples) {
  start(48000);
  const auto first = audio(kSecond / 4);
  const auto second = audio(kSecond / 2);
  EXPECT_EQ(std::vector<uint8_t>(first.begin() + 3, first.end()), expected_block(0));
  EXPECT_EQ(std::vector<uint8_t>(second.begin() + 3, second.end()), expected_block(12000));
  // After 10 s only the newest 65535 samples are held.
  const auto late = audio(10 * kSecond);
  EXPECT_EQ(std::vector<uint8_t>(late.begin() + 3, late.end()), expected_block(480000 - 65535));
}

TEST_F(SimBoardTest, SignalIsAudibleAndFollowsTheTuning) {
  SimKnobs knobs;
  sim_reset(board, knobs);
  int peak = 0;
  for (uint64_t n = 0; n < kSimBeatSamples; ++n) {
    peak = std::max(peak, std::abs(int{sim_sample(board, n)}));
  }
  EXPECT_GT(peak, 6000);
  EXPECT_EQ(sim_sample(board, 0), 0);  // each chime starts from silence: no click
  const int16_t before = sim_sample(board, 1000);
  send({0x00, 0x00, 0xF0, 0xBD, 0x02, 0x00, 0x00, 0xA0}, 0);  // 701 kHz
  EXPECT_EQ(board.frequency, 701u);
  EXPECT_NE(sim_sample(board, 1000), before);

  // The ramp: sample n is the low 16 bits of n, whatever the tuning.
  std::string error;
  ASSERT_TRUE(sim_parse_knobs({.signal = "ramp"}, knobs, error));
  sim_reset(board, knobs);
  const std::pair<uint64_t, int16_t> ramp[] = {
      {0, 0}, {1, 1}, {32767, 32767}, {32768, -32768}, {65535, -1}, {65536, 0}, {1000001, 16961}};
  for (const auto& [n, value] : ramp) {
    EXPECT_EQ(sim_sample(board, n), value) << n;
  }
}

// Transmissions: the signal where a burst covers the stream's sample (its own time, whatever the
// clock), digital silence elsewhere; the edges on whole samples (a burst from 0.5 s for 1 ms
// holds samples 24000 to 24047).
TEST_F(SimBoardTest, BurstsSoundOnlyInTheirStretches) {
  SimKnobs knobs;
  std::string error;
  ASSERT_TRUE(
      sim_parse_knobs({.signal = "ramp", .bursts = "0.5:1 2:1000 4.00001:1"}, knobs, error));
  sim_reset(board, knobs);
  const std::pair<uint64_t, int16_t> samples[] = {
      {0, 0},          {23999, 0},      {24000, 24000},  {24047, 24047}, {24048, 0},
      {95999, 0},      {96000, 30464},  {143999, 12927}, {144000, 0},    {192000, 0},
      {192001, -4607}, {192048, -4560}, {192049, 0},     {10000000, 0},
  };
  for (const auto& [n, value] : samples) {
    EXPECT_EQ(sim_sample(board, n), value) << n;
  }
  // A block handed out across an edge: silence, then the ramp.
  ASSERT_TRUE(sim_parse_knobs({.signal = "ramp", .bursts = "0.1:1000"}, knobs, error));
  sim_reset(board, knobs);
  send({0x00, 0x00, 0x56, 0x01, 0x80}, 0);
  const auto block = audio(kSecond / 4);  // samples 0 to 11999
  const auto at = [&](size_t i) {
    return static_cast<int16_t>(block[3 + 2 * i] | block[4 + 2 * i] << 8);
  };
  EXPECT_EQ(at(4799), 0);
  EXPECT_EQ(at(4800), 4800);
  EXPECT_EQ(at(11999), 11999);
}

TEST_F(SimBoardTest, AnswersVersionStatusAndTakesControl) {
  SimKnobs knobs;
  knobs.version = {2, 3};
  sim_reset(board, knobs);
  auto version = send({0x01, 0x00, 0x60, 0, 0}, 0);
  EXPECT_EQ(version[3], 2);
  EXPECT_EQ(version[4], 3);

  EXPECT_EQ(send({0x01, 0x00, 0xF8, 0, 0, 0, 0}, 0)[3], 0) << "no signal before tuning";
  send({0x00, 0x00, 0x40, 0x05}, 0);
  send({0x00, 0x00, 0xF0, 0x44, 0x38, 0x02, 0x00, 0xA0}, 0);  // 145476 kHz
  const auto tuned = send({0x01, 0x00, 0xF8, 0, 0, 0, 0}, 0);
  EXPECT_EQ(tuned[3], 76);  // the simulated board's RSSI: 40 + kHz mod 60
  EXPECT_EQ(tuned[5], 0x05);

  knobs.fixed_status = true;
  knobs.status = {9, 8, 7, 6};
  sim_reset(board, knobs);
  EXPECT_EQ(send({0x01, 0x00, 0xF8, 0, 0, 0, 0}, 0),
            (std::vector<uint8_t>{0x01, 0x00, 0xF8, 9, 8, 7, 6}));
}

TEST(SimLogTest, FormatsFrames) {
  // 24000 bytes of 0x33, whose CRC-32 (as Python's binascii.crc32 computes it) is dfeb5423.
  std::vector<uint8_t> audio_reply(kAudioFrameLength, 0x33);
  std::vector<uint8_t> seventeen(17, 0xAB);
  const struct {
    std::vector<uint8_t> sent;
    std::string line;
  } cases[] = {
      {{0x01, 0x00, 0x60, 0x00, 0x00}, "01 00 60 00 00\n"},
      {{0x00, 0x00, 0xF0, 0xBC, 0x02, 0x00, 0x00, 0xA0}, "00 00 f0 bc 02 00 00 a0\n"},
      {std::vector<uint8_t>(16, 0x0F), "0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f\n"},
      {seventeen, "ab ab ab +14\n"},
      {{0x01, 0x00, 0x50}, "01 00 50 +24000 crc32=dfeb5423\n"},
  };
  for (const auto& c : cases) {
    const bool is_audio = c.sent.size() == 3;
    const uint32_t length = is_audio ? kAudioFrameLength : static_cast<uint32_t>(c.sent.size());
    const SimLogLine line =
        sim_log_line(c.sent.data(), length, is_audio ? audio_reply.data() : c.sent.data());
    EXPECT_EQ(std::string(line.text, line.size), c.line);
  }
}

}  // namespace
