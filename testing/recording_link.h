// A board link for unit tests: records every frame as sent and answers with scripted replies.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

struct RecordedFrame {
  const uint8_t* address;     // the buffer the frame was exchanged in
  std::vector<uint8_t> sent;  // its bytes as sent
};

struct RecordingLink {
  std::vector<RecordedFrame> frames;
  // Each exchange takes the front reply, if any, and copies it over the start of the frame.
  std::deque<std::vector<uint8_t>> replies;
};

// The one recording behind the hardware functions; cleared by each test.
RecordingLink& recording();
