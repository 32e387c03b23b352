#include "testing/recording_link.h"

#include <algorithm>

#include "board/board_link.h"

RecordingLink& recording() {
  static RecordingLink link;
  return link;
}

void board_exchange(BoardLink&, uint8_t* bytes, uint32_t length) {
  RecordingLink& link = recording();
  link.frames.push_back({bytes, std::vector<uint8_t>(bytes, bytes + length)});
  if (!link.replies.empty()) {
    const std::vector<uint8_t>& reply = link.replies.front();
    std::copy_n(reply.begin(), std::min<size_t>(reply.size(), length), bytes);
    link.replies.pop_front();
  }
}
