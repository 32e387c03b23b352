// The board link on the kernel's spidev driver: /dev/spidev0.0, SPI0 with chip select 0. It works
// on every Raspberry Pi, the Pi 5 included, and needs no root: the group spi owns the device.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "board/board_link.h"
#include "board/bus_lock.h"
#include "common/console.h"

namespace {

constexpr const char* kDevice = "/dev/spidev0.0";
// spidev refuses any transfer longer than this module parameter (4096 bytes unless raised).
constexpr const char* kTransferLimitPath = "/sys/module/spidev/parameters/bufsiz";
// What the bcm2835 clock divider of 32 gives on a 250 MHz core clock.
constexpr uint32_t kClockHz = 7812500;

// The open device, like the bcm2835 library's own mapping: one per process.
int spidev_fd = -1;

// `limit` is the module parameter, or -1 where it could not be read.
void report_transfer_limit(long limit) {
  if (limit >= 0) {
    say("SPI0 transfers are limited to %ld bytes (spidev.bufsiz) ", limit);
  } else {
    say("SPI0 transfers are limited by spidev.bufsiz ");
  }
  say("and an audio block needs %u: add spidev.bufsiz=32768 to the kernel command line "
      "(/boot/firmware/cmdline.txt) and reboot\n",
      kAudioFrameLength);
}

// The module parameter, or -1 where it cannot be read (then the first long transfer will say).
long read_transfer_limit() {
  const int fd = open(kTransferLimitPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  char text[24] = {};
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) {
    return -1;
  }
  char* end = nullptr;
  const long limit = std::strtol(text, &end, 10);
  return end != text ? limit : -1;
}

// One setting: written, then read back, since a driver may round or refuse it silently.
template <typename T>
bool apply_setting(unsigned long write_request, unsigned long read_request, T wanted,
                   const char* name) {
  T value = wanted;
  if (ioctl(spidev_fd, write_request, &value) < 0) {
    say("SPI0 could not be set up: %s refused %s %lu: %s\n", kDevice, name,
        static_cast<unsigned long>(wanted), std::strerror(errno));
    return false;
  }
  value = 0;
  if (ioctl(spidev_fd, read_request, &value) < 0) {
    say("SPI0 could not be set up: %s cannot report its %s: %s\n", kDevice, name,
        std::strerror(errno));
    return false;
  }
  if (value != wanted) {
    say("SPI0 could not be set up: %s kept %s %lu instead of %lu\n", kDevice, name,
        static_cast<unsigned long>(value), static_cast<unsigned long>(wanted));
    return false;
  }
  return true;
}

// A frame that did not go through: says why and ends the run with status 1. The commands have no
// way to report a failed frame, and a frame half exchanged leaves the board in an unknown state.
[[noreturn]] void die_transfer_failed(uint32_t length, int exchanged, int error) {
  if (exchanged >= 0) {
    say("SPI0 transfer of %u bytes failed: %s exchanged %d\n", length, kDevice, exchanged);
  } else if (const long limit = error == EMSGSIZE ? read_transfer_limit() : -1;
             error == EMSGSIZE && limit >= 0 && static_cast<unsigned long>(limit) >= length) {
    // spidev's own limit allows the frame: the controller's driver refused it, which raising the
    // limit cannot mend.
    say("SPI0 transfer of %u bytes failed: %s: %s (spidev.bufsiz is %ld already: the SPI "
        "controller's driver refused it)\n",
        length, kDevice, std::strerror(error), limit);
  } else if (error == EMSGSIZE) {
    report_transfer_limit(limit);
  } else {
    say("SPI0 transfer of %u bytes failed: %s: %s\n", length, kDevice, std::strerror(error));
  }
  console_exit(1);
}

}  // namespace

const char* const board_link_name = "spidev";

bool board_init(BoardLink&) {
  spidev_fd = open(kDevice, O_RDWR | O_CLOEXEC);
  if (spidev_fd >= 0) {
    if (board_lock_bus(spidev_fd)) {
      return true;
    }
    close(spidev_fd);  // another run has the bus: nothing of this one reaches it
    spidev_fd = -1;
    return false;
  }
  const int error = errno;
  if (error == ENOENT || error == ENODEV || error == ENXIO) {
    say("SPI0 is not enabled: %s does not exist. Enable SPI (sudo raspi-config, Interface "
        "Options, SPI; or dtparam=spi=on in /boot/firmware/config.txt) and reboot\n",
        kDevice);
  } else if (error == EACCES || error == EPERM) {
    say("SPI0 could not be opened: no permission for %s. Join the group spi (sudo usermod -aG "
        "spi $USER), then log in again\n",
        kDevice);
  } else {
    say("SPI0 could not be opened: %s: %s\n", kDevice, std::strerror(error));
  }
  return false;
}

bool board_spi_setup(BoardLink& link) {
  // Checked before anything is sent, so that a run with sound does not stop at its first block;
  // a run that only tunes sends no frame longer than 8 bytes.
  const long limit = read_transfer_limit();
  if (limit >= 0 && limit < static_cast<long>(link.LongestFrame)) {
    report_transfer_limit(limit);
    return false;
  }
  return apply_setting<uint8_t>(SPI_IOC_WR_MODE, SPI_IOC_RD_MODE, SPI_MODE_0, "mode") &&
         apply_setting<uint8_t>(SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD, 8,
                                "bits per word") &&
         apply_setting<uint8_t>(SPI_IOC_WR_LSB_FIRST, SPI_IOC_RD_LSB_FIRST, 0, "LSB first") &&
         apply_setting<uint32_t>(SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ, kClockHz,
                                 "clock in Hz");
}

void board_exchange(BoardLink&, uint8_t* bytes, uint32_t length) {
  // One transfer per frame: chip select stays asserted from the first byte to the last.
  spi_ioc_transfer transfer{};
  transfer.tx_buf = reinterpret_cast<uintptr_t>(bytes);
  transfer.rx_buf = reinterpret_cast<uintptr_t>(bytes);
  transfer.len = length;
  const int exchanged = ioctl(spidev_fd, SPI_IOC_MESSAGE(1), &transfer);
  if (exchanged != static_cast<int>(length)) {
    die_transfer_failed(length, exchanged, errno);
  }
}

void board_close(BoardLink&) {
  if (spidev_fd >= 0) {
    close(spidev_fd);
    spidev_fd = -1;
  }
}
