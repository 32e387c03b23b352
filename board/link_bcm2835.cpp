// The board link on a Raspberry Pi's SPI0 controller, through the bcm2835 library 1.45 or later
// (Raspberry Pi 1 to 4; needs the rights to /dev/mem).
#include <bcm2835.h>

#include "board/board_link.h"
#include "board/bus_lock.h"
#include "board/leave_root.h"
#include "common/console.h"

const char* const board_link_name = "bcm2835";

bool board_init(BoardLink&) {
  // On failure the library has written its reason to standard error and released what it had.
  if (bcm2835_init() == 0) {
    return false;
  }
  // Taken while still root (through sudo), and kept once the run has become the user.
  if (!board_lock_bus_as_root()) {
    bcm2835_close();  // another run has the bus: nothing of this one reaches it
    return false;
  }
  return true;
}

bool board_spi_setup(BoardLink&) {
#if BCM2835_VERSION >= 10050
  // Without root the library maps only /dev/gpiomem, which has no SPI controller: every SPI
  // call after a failed begin would fault, so stop here.
  if (bcm2835_spi_begin() == 0) {
    say_line(
        "SPI0 could not be opened: orvctl needs root (or the rights to /dev/mem); "
        "run it with sudo");
    return false;
  }
#else
  bcm2835_spi_begin();  // before 1.50 the library has no result to give (and needs root anyway)
#endif
  bcm2835_spi_setClockDivider(BCM2835_SPI_CLOCK_DIVIDER_32);
  bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
  bcm2835_spi_chipSelect(BCM2835_SPI_CS0);
  // Root was needed for the mapping, which stays usable without it: a run through sudo goes on
  // as the user who ran it.
  return board_leave_root();
}

void board_exchange(BoardLink&, uint8_t* bytes, uint32_t length) {
  bcm2835_spi_transfern(reinterpret_cast<char*>(bytes), length);
}

void board_close(BoardLink&) {
  // SPI is deliberately not ended: the pins keep their SPI function after the run.
  bcm2835_close();
}
