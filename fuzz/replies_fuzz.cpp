// Fuzz target: the frames of the board's command set. Every reply byte comes from the input,
// through a board link whose exchange plays the board; each command must send its own frame and
// decode the reply's bytes from their places. The same input then goes to the simulated board as
// frames of any length and content, at increasing times, and to its frame log.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "board/board_link.h"
#include "sim/sim_board.h"
#include "sim/sim_log.h"

namespace {

// What the fuzzer's board received and answered last.
struct Exchange {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint8_t sent[16] = {};
  uint8_t reply[16] = {};
  uint32_t length = 0;
};
Exchange exchange;

uint8_t next_byte() {
  if (exchange.size == 0) {
    return 0;
  }
  --exchange.size;
  return *exchange.data++;
}

uint32_t next_word() {
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) {
    word |= static_cast<uint32_t>(next_byte()) << (8 * i);
  }
  return word;
}

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// The frame the host must have sent: header, then `payload` (the filler of a short read is
// cleared; an audio read's filler is whatever the buffer held).
void check_sent(uint8_t direction, uint8_t command, uint32_t length,
                const std::vector<uint8_t>& payload) {
  check(exchange.length == length);
  check(exchange.sent[0] == direction && exchange.sent[1] == 0 && exchange.sent[2] == command);
  check(payload.size() <= sizeof exchange.sent - 3);
  check(std::equal(payload.begin(), payload.end(), exchange.sent + 3));
}

void commands(BoardLink& link) {
  while (exchange.size > 0) {
    switch (next_byte() % 7) {
      case 0: {
        const FirmwareVersion version = board_read_version(link);
        check_sent(kDirectionRead, CMD_VERSION, 5, {0, 0});
        check(version.major == exchange.reply[3] && version.minor == exchange.reply[4]);
        break;
      }
      case 1: {
        const BoardStatus status = board_read_status(link);
        check_sent(kDirectionRead, CMD_STATUS, 7, {0, 0, 0, 0});
        check(status.RSSI == exchange.reply[3] && status.AGC == exchange.reply[4] &&
              status.byte5 == exchange.reply[5] && status.byte6 == exchange.reply[6]);
        break;
      }
      case 2: {
        const unsigned count = board_read_count(link);
        check_sent(kDirectionRead, CMD_BUFCOUNT, 6, {0, 0, 0});
        check(count == exchange.reply[3] + 256u * exchange.reply[4] && count <= 0xFFFF);
        break;
      }
      case 3: {
        const uint32_t khz = next_word();
        board_set_frequency(link, khz);
        check_sent(kDirectionWrite, CMD_FREQUENCY, 8,
                   {static_cast<uint8_t>(khz), static_cast<uint8_t>(khz >> 8),
                    static_cast<uint8_t>(khz >> 16), static_cast<uint8_t>(khz >> 24), 0xA0});
        break;
      }
      case 4: {
        const uint8_t letters = next_byte();
        const uint8_t AM = letters & 1;
        const uint8_t WB = (letters >> 1) & 1;
        const uint8_t HF = (letters >> 2) & 1;
        const uint8_t control = board_control_byte(AM, WB, HF);
        // Known answers, by AM + 2 WB + 4 HF: wide band FM wins over AM; HF adds 4.
        static constexpr uint8_t kControl[8] = {0, 1, 2, 2, 4, 5, 6, 6};
        check(control == kControl[letters & 7]);
        board_set_control(link, control);
        check_sent(kDirectionWrite, CMD_CONTROL, 4, {control});
        break;
      }
      case 5:
        board_start_playback(link);
        check_sent(kDirectionWrite, CMD_PLAYBACK, 5, {0x01, 0x80});
        break;
      default:
        board_read_audio(link);
        check_sent(kDirectionRead, CMD_AUDIO, kAudioFrameLength, {});
        break;
    }
  }
}

// The simulated board and its log, for frames the host would never send.
void simulated_board(const uint8_t* data, size_t size) {
  // A fresh board, copied from one set up once (its sine table takes longer than most inputs),
  // and one buffer for the frames, so that an input's time goes to the board's answers.
  static const SimBoard fresh = [] {
    SimBoard board;
    sim_reset(board, SimKnobs{});
    return board;
  }();
  static std::vector<uint8_t> frame(2 * kAudioFrameLength);
  SimBoard board = fresh;
  int64_t now_ns = 0;
  size_t at = 0;
  while (at + 4 <= size) {
    // Two bytes of length (up to twice an audio frame), two of time step, then the frame.
    const uint32_t length = (data[at] | data[at + 1] << 8) % (2 * kAudioFrameLength);
    now_ns += int64_t{data[at + 2] | data[at + 3] << 8} * 1000000;
    at += 4;
    const size_t copied = std::min<size_t>(length, size - at);
    std::copy_n(data + at, copied, frame.begin());
    std::fill_n(frame.begin() + static_cast<std::ptrdiff_t>(copied), length - copied, 0);
    at += copied;
    uint8_t sent[16] = {};  // all that the log shows of what was sent
    std::copy_n(frame.begin(), std::min<size_t>(length, sizeof sent), sent);
    sim_exchange(board, frame.data(), length, now_ns);
    const SimLogLine line = sim_log_line(sent, length, frame.data());
    check(line.size > 0 && line.size < sizeof line.text && line.text[line.size - 1] == '\n');
  }
}

}  // namespace

void board_exchange(BoardLink&, uint8_t* bytes, uint32_t length) {
  exchange.length = length;
  std::memcpy(exchange.sent, bytes, length < 16 ? length : 16);
  // The first 16 bytes come from the input; an audio block's samples stay what the buffer held.
  for (uint32_t i = 0; i < std::min<uint32_t>(length, 16); ++i) {
    bytes[i] = next_byte();
  }
  std::memcpy(exchange.reply, bytes, length < 16 ? length : 16);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  exchange = Exchange{data, size};
  BoardLink link{};
  commands(link);
  simulated_board(data, size);
  return 0;
}
