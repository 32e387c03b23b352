// A stand-in for the bcm2835 library, for running the real board link file on a machine
// without one. It appends each call to the file named by FAKE_BCM2835_CALLS; FAKE_BCM2835_INIT=0
// and FAKE_BCM2835_SPI_BEGIN=0 make those calls fail as the library does (the latter from 1.50
// on: before, bcm2835_spi_begin has no result); every byte the "board" returns is
// FAKE_BCM2835_MISO (a number, default 0: a board that does not answer). It builds against the
// library's own header or against tests/bcm2835-1.45.
#include <bcm2835.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void record(const char* format, unsigned long value) {
  const char* path = std::getenv("FAKE_BCM2835_CALLS");
  if (path == nullptr) {
    return;
  }
  if (FILE* calls = std::fopen(path, "a")) {
    std::fprintf(calls, format, value);
    std::fputc('\n', calls);
    std::fclose(calls);
  }
}

int result_of(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::strcmp(value, "0") == 0 ? 0 : 1;
}

}  // namespace

int bcm2835_init(void) {
  record("init", 0);
  if (result_of("FAKE_BCM2835_INIT") == 0) {
    std::fprintf(stderr, "bcm2835_init: Unable to open /dev/mem: Permission denied\n");
    return 0;
  }
  return 1;
}

int bcm2835_close(void) {
  record("close", 0);
  return 1;
}

#if BCM2835_VERSION >= 10050
int bcm2835_spi_begin(void) {
  record("spi_begin", 0);
  return result_of("FAKE_BCM2835_SPI_BEGIN");
}
#else
void bcm2835_spi_begin(void) {
  record("spi_begin", 0);
}
#endif

void bcm2835_spi_end(void) {
  record("spi_end", 0);
}
void bcm2835_spi_setClockDivider(uint16_t divider) {
  record("spi_setClockDivider %lu", divider);
}
void bcm2835_spi_setDataMode(uint8_t mode) {
  record("spi_setDataMode %lu", mode);
}
void bcm2835_spi_chipSelect(uint8_t cs) {
  record("spi_chipSelect %lu", cs);
}

void bcm2835_spi_transfern(char* buf, uint32_t len) {
  record("spi_transfern %lu", len);
  const char* miso = std::getenv("FAKE_BCM2835_MISO");
  std::memset(buf, miso != nullptr ? std::atoi(miso) : 0, len);
}
