// The part of the bcm2835 library's interface that orvctl uses, as version 1.45 declares it:
// there bcm2835_spi_begin returns nothing (1.50 made it report whether SPI could be opened).
// With this directory first on the include path, the bcm2835 link file and the tests' stand-in
// library build as they would on a system with 1.45.
#ifndef ORVCTL_TEST_BCM2835_145_H
#define ORVCTL_TEST_BCM2835_145_H

#include <stdint.h>

#define BCM2835_VERSION 10045

enum { BCM2835_SPI_CLOCK_DIVIDER_32 = 32 };
enum { BCM2835_SPI_MODE0 = 0 };
enum { BCM2835_SPI_CS0 = 0 };

#ifdef __cplusplus
extern "C" {
#endif

int bcm2835_init(void);
int bcm2835_close(void);
void bcm2835_spi_begin(void);
void bcm2835_spi_end(void);
void bcm2835_spi_setClockDivider(uint16_t divider);
void bcm2835_spi_setDataMode(uint8_t mode);
void bcm2835_spi_chipSelect(uint8_t cs);
void bcm2835_spi_transfern(char* buf, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif
