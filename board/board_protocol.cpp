// Frame building and decoding: the only place that knows the bytes of the board's commands.
#include <cstring>

#include "board/board_link.h"

uint8_t buffer[kAudioFrameLength];

namespace {

void write_header(uint8_t* frame, uint8_t direction, uint8_t command) {
  frame[0] = direction;
  frame[1] = 0x00;
  frame[2] = command;
}

// A read command in Buf: header, filler cleared, exchange. The reply starts at Buf[3].
const uint8_t* read_command(BoardLink& link, uint8_t command, uint32_t length) {
  write_header(link.Buf, kDirectionRead, command);
  std::memset(link.Buf + 3, 0, length - 3);
  board_exchange(link, link.Buf, length);
  return link.Buf + 3;
}

}  // namespace

uint8_t board_control_byte(uint8_t AM, uint8_t WB, uint8_t HF) {
  const uint8_t demodulation = WB ? 2 : AM ? 1 : 0;
  return static_cast<uint8_t>(demodulation | (HF ? 0x04 : 0x00));
}

FirmwareVersion board_read_version(BoardLink& link) {
  const uint8_t* reply = read_command(link, CMD_VERSION, 5);
  return {reply[0], reply[1]};
}

void board_set_control(BoardLink& link, uint8_t ControlByte) {
  write_header(link.Buf, kDirectionWrite, CMD_CONTROL);
  link.Buf[3] = ControlByte;
  board_exchange(link, link.Buf, 4);
}

void board_set_frequency(BoardLink& link, uint32_t FreqInHz) {
  write_header(link.Buf, kDirectionWrite, CMD_FREQUENCY);
  for (int i = 0; i < 4; ++i) {
    link.Buf[3 + i] = static_cast<uint8_t>(FreqInHz >> (8 * i));
  }
  // Fixed by the board's protocol: it ends every frequency frame; nothing more is known of it.
  link.Buf[7] = 0xA0;
  board_exchange(link, link.Buf, 8);
}

void board_start_playback(BoardLink& link) {
  write_header(link.Buf, kDirectionWrite, CMD_PLAYBACK);
  // Fixed by the board's protocol: what these two set up on the board is not known.
  link.Buf[3] = 0x01;
  link.Buf[4] = 0x80;
  board_exchange(link, link.Buf, 5);
}

BoardStatus board_read_status(BoardLink& link) {
  const uint8_t* reply = read_command(link, CMD_STATUS, 7);
  return {reply[0], reply[1], reply[2], reply[3]};
}

unsigned board_read_count(BoardLink& link) {
  const uint8_t* reply = read_command(link, CMD_BUFCOUNT, 6);
  return reply[0] + 256u * reply[1];
}

void board_read_audio(BoardLink& link) {
  write_header(buffer, kDirectionRead, CMD_AUDIO);
  board_exchange(link, buffer, kAudioFrameLength);
}
