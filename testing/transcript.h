// What orvctl prints, piece by piece: the tests build the transcripts they expect from these.
#pragma once

#include <string>

#include "version.h"

inline const std::string kBanner = "Orvane RF tuning utility v" ORVCTL_VERSION "\n\n";

// A tuning run's lines after the banner: the board's firmware version, the frequency, the antenna
// and the demodulation, and with sound, the relay's announcement.
inline std::string tuned(const std::string& khz, const std::string& mode, bool sound = false,
                         const std::string& version = "1.04") {
  return "Firmware version is " + version + "\nTuning to " + khz + " kHz\n" + mode + "\n\n" +
         (sound ? "Playback enabled: Ctrl-C to exit\n" : "");
}

// The same with the traces that -d puts around it.
inline std::string traced(const std::string& run) {
  return "bcm2835_init() returned OK\n" + run + "calling bcm2835_close()\nDone\n";
}
