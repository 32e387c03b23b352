// orvctl: reads the receiver board's firmware version, tunes it and, on request, relays its
// audio to the sound output.
#include "driver.h"

int main(int argc, char* argv[]) {
  return run_orvctl(argc, argv);
}
