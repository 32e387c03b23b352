// The set-up and close of the board links that tests, fuzzers and the benchmark put in place of the
// hardware: a bus that is always there. Each defines its own board_exchange.
#include "board/board_link.h"

const char* const board_link_name = "test";

bool board_init(BoardLink&) {
  return true;
}

bool board_spi_setup(BoardLink&) {
  return true;
}

void board_close(BoardLink&) {}
