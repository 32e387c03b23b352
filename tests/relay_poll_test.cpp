// The relay's conversation with the board, frame by frame, through a recording link and the real
// ALSA library writing to the test device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/playback_relay.h"
#include "board/board_link.h"
#include "cli/command_line.h"
#include "testing/alsa_config.h"
#include "testing/recording_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ALSA's configuration for this process: "default" is a device that takes one block and then
// breaks, so that relay_run returns after the second.
std::string use_device_that_takes_one_block() {
  return use_alsa_config("pcm.!default { type orvtest; speed 1000; fail_at 12000 }");
}

Bytes count_reply(unsigned count) {
  return {0x01, 0x00, CMD_BUFCOUNT, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
          0x00};
}

struct PollCase {
  const char* name;
  std::vector<unsigned> first_counts;  // the board's answers while the first block is awaited
  bool status;
};

TEST(RelayPollTest, FetchesABlockAtTheFirstCountOf12000OrMore) {
  const std::string config = use_device_that_takes_one_block();
  const PollCase cases[] = {
      {"full at once", {12000}, false},
      {"one short of full", {11999, 12000}, false},
      {"filling up", {0, 1, 0x2EDF, 0xFFFF}, false},
      {"high byte counts", {0x00FF, 0x2F00}, true},
  };
  for (const PollCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingLink& link_record = recording();
    link_record = {};
    link_record.replies.push_back({});  // start of playback
    std::vector<Bytes> expected{{0x00, 0x00, CMD_PLAYBACK, 0x01, 0x80}};
    // Two blocks: the first is played, the second meets the broken device.
    for (int block = 0; block < 2; ++block) {
      if (c.status) {
        link_record.replies.push_back({});
        expected.push_back({0x01, 0x00, CMD_STATUS, 0, 0, 0, 0});
      }
      const std::vector<unsigned> counts =
          block == 0 ? c.first_counts : std::vector<unsigned>{12000};
      for (unsigned count : counts) {
        link_record.replies.push_back(count_reply(count));
        expected.push_back({0x01, 0x00, CMD_BUFCOUNT, 0, 0, 0});
      }
      link_record.replies.push_back({});
      expected.push_back({0x01, 0x00, CMD_AUDIO});
    }
    RunSettings settings;
    settings.EmitSound = 1;
    settings.DisplayRSSI = c.status ? 1 : 0;
    BoardLink link{};
    relay_run(settings, link);

    std::vector<Bytes> sent;
    for (const RecordedFrame& frame : link_record.frames) {
      // An audio frame is its header and the previous block; only the header is the host's.
      sent.emplace_back(
          frame.sent.begin(),
          frame.sent.begin() + (frame.sent.size() == kAudioFrameLength ? 3 : frame.sent.size()));
    }
    EXPECT_EQ(sent, expected);
    EXPECT_TRUE(link_record.replies.empty());
  }
  unlink(config.c_str());
}

}  // namespace
