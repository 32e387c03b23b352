// The board link of the benchmarks: a board that answers at once and always holds a full block.
// It writes only the reply bytes a command decodes, so that its own work is next to nothing and
// can be told apart from the program's (it is the only code in board_exchange).
#include "board/board_link.h"

void board_exchange(BoardLink&, uint8_t* bytes, uint32_t) {
  switch (bytes[2]) {
    case CMD_VERSION:
      bytes[3] = 1;
      bytes[4] = 4;
      break;
    case CMD_STATUS:
      bytes[3] = 40;
      bytes[4] = 175;
      bytes[5] = 0;
      bytes[6] = 1;
      break;
    case CMD_BUFCOUNT:
      bytes[3] = static_cast<uint8_t>(kBlockSamples);
      bytes[4] = static_cast<uint8_t>(kBlockSamples >> 8);
      break;
    default:  // the audio block's samples are whatever the buffer holds
      break;
  }
}
