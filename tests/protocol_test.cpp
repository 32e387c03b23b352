#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "board/board_link.h"
#include "testing/recording_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    recording() = {};
    std::memset(link.Buf, 0xEE, sizeof link.Buf);  // leftovers of earlier exchanges
  }
  BoardLink link;
};

struct FrameCase {
  const char* name;
  std::function<void(BoardLink&)> send;
  Bytes frame;
};

TEST_F(ProtocolTest, CommandsSendTheirFramesFromBuf) {
  const FrameCase cases[] = {
      {"version", [](BoardLink& l) { board_read_version(l); }, {0x01, 0x00, 0x60, 0, 0}},
      {"control", [](BoardLink& l) { board_set_control(l, 0x06); }, {0x00, 0x00, 0x40, 0x06}},
      {"700 kHz",
       [](BoardLink& l) { board_set_frequency(l, 700); },
       {0x00, 0x00, 0xF0, 0xBC, 0x02, 0x00, 0x00, 0xA0}},
      {"1 kHz",
       [](BoardLink& l) { board_set_frequency(l, 1); },
       {0x00, 0x00, 0xF0, 0x01, 0x00, 0x00, 0x00, 0xA0}},
      {"all bytes",
       [](BoardLink& l) { board_set_frequency(l, 0xFFFFFFFB); },
       {0x00, 0x00, 0xF0, 0xFB, 0xFF, 0xFF, 0xFF, 0xA0}},
      {"playback", [](BoardLink& l) { board_start_playback(l); }, {0x00, 0x00, 0x56, 0x01, 0x80}},
      {"status", [](BoardLink& l) { board_read_status(l); }, {0x01, 0x00, 0xF8, 0, 0, 0, 0}},
      {"count", [](BoardLink& l) { board_read_count(l); }, {0x01, 0x00, 0x54, 0, 0, 0}},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    recording() = {};
    c.send(link);
    ASSERT_EQ(recording().frames.size(), 1u);
    EXPECT_EQ(recording().frames[0].address, link.Buf);
    EXPECT_EQ(recording().frames[0].sent, c.frame);
  }
}

TEST_F(ProtocolTest, DecodesRepliesAsUnsignedBytes) {
  recording().replies = {{0xAA, 0xAA, 0xAA, 0xFF, 0x05}};
  const FirmwareVersion version = board_read_version(link);
  EXPECT_EQ(version.major, 255);
  EXPECT_EQ(version.minor, 5);

  recording().replies = {{0, 0, 0, 0x80, 0xC8, 0x5A, 0xFE}};
  const BoardStatus status = board_read_status(link);
  EXPECT_EQ(status.RSSI, 0x80);
  EXPECT_EQ(status.AGC, 0xC8);
  EXPECT_EQ(status.byte5, 0x5A);
  EXPECT_EQ(status.byte6, 0xFE);

  const struct {
    Bytes reply;
    unsigned count;
  } counts[] = {{{0, 0, 0, 0xE0, 0x2E, 0xFF}, 12000},
                {{0, 0, 0, 0xDF, 0x2E, 0x00}, 11999},
                {{0, 0, 0, 0x00, 0x01, 0x00}, 256},
                {{0, 0, 0, 0xFF, 0xFF, 0xFF}, 65535}};
  for (const auto& c : counts) {
    recording().replies = {c.reply};
    EXPECT_EQ(board_read_count(link), c.count);
  }
}

TEST_F(ProtocolTest, AudioFrameWritesOnlyItsHeaderAndReadsInPlace) {
  // The previous block is still in the buffer: it is clocked out again as filler.
  for (uint32_t i = 0; i < kAudioFrameLength; ++i) {
    buffer[i] = static_cast<uint8_t>(i * 7);
  }
  Bytes expected(buffer, buffer + kAudioFrameLength);
  expected[0] = 0x01;
  expected[1] = 0x00;
  expected[2] = 0x50;
  Bytes reply(kAudioFrameLength, 0x11);
  reply[kAudioFrameLength - 1] = 0x22;
  recording().replies = {reply};

  board_read_audio(link);

  ASSERT_EQ(recording().frames.size(), 1u);
  EXPECT_EQ(recording().frames[0].address, buffer);
  EXPECT_EQ(recording().frames[0].sent, expected);
  EXPECT_EQ(buffer[3], 0x11);
  EXPECT_EQ(buffer[kAudioFrameLength - 1], 0x22);
}

TEST(ControlByteTest, CombinesDemodulationAndAntenna) {
  const struct {
    uint8_t am, wb, hf, control;
  } cases[] = {{0, 0, 0, 0x00}, {1, 0, 0, 0x01}, {0, 1, 0, 0x02}, {0, 0, 1, 0x04},
               {1, 0, 1, 0x05}, {0, 1, 1, 0x06}, {1, 1, 0, 0x02}};
  for (const auto& c : cases) {
    EXPECT_EQ(board_control_byte(c.am, c.wb, c.hf), c.control)
        << "AM " << +c.am << " WB " << +c.wb << " HF " << +c.hf;
  }
}

}  // namespace
