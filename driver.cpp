// The driver: one straight run of orvctl. Banner, command line, board set-up, firmware report,
// tuning, playback, shutdown.
#include "driver.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/playback_relay.h"
#include "board/board_link.h"
#include "cli/command_line.h"
#include "common/console.h"

namespace {

void close_link(const RunSettings& settings, BoardLink& link) {
  if (settings.Debug) {
    say_line("calling bcm2835_close()");
  }
  board_close(link);
  if (settings.Debug) {
    say_line("Done");
  }
}

const char* demodulation_name(const RunSettings& settings) {
  return settings.WB ? "Wide Band FM" : settings.AM ? "AM" : "Narrow Band FM";
}

// A version whose bytes are all zeros or all ones is what the data line gives when nothing drives
// it: no board answers. Said on standard error, so that standard output stays what the run prints;
// the run goes on.
void warn_if_no_board(const FirmwareVersion& version) {
  const bool low = version.major == 0x00 && version.minor == 0x00;
  const bool high = version.major == 0xFF && version.minor == 0xFF;
  if (low || high) {
    std::fprintf(stderr,
                 "%s: no board seems to answer on SPI0 CE0 (every bit it sent was %d): check the "
                 "wiring (MISO, MOSI, SCLK, CE0 and ground), that the board has power, and that "
                 "it is on chip select 0\n",
                 program_invocation_short_name, high ? 1 : 0);
  }
}

// The run's stages; returns the exit status.
int run_stages(int argc, const char* const argv[]) {
  print_banner();
  if (argc < 2) {
    print_usage();
    return 0;
  }
  const RunSettings settings = parse_command_line(argc, argv);
  const uint8_t ControlByte = board_control_byte(settings.AM, settings.WB, settings.HF);

  BoardLink link;
  link.LongestFrame = settings.EmitSound ? kAudioFrameLength : kLongestCommandFrame;
  if (!board_init(link)) {
    return 1;
  }
  if (settings.Debug) {
    say_line("bcm2835_init() returned OK");
  }
  if (!board_spi_setup(link)) {
    close_link(settings, link);
    return 1;
  }

  const FirmwareVersion version = board_read_version(link);
  say("Firmware version is %d.%02d\n", version.major, version.minor);
  warn_if_no_board(version);

  if (settings.FreqInHz != 0) {
    say("Tuning to %d kHz\n", static_cast<int32_t>(settings.FreqInHz));
    say("%s", settings.HF ? "HF" : "VHF/UHF");
    say(", ");
    say("%s", demodulation_name(settings));
    say_line("\n");
    board_set_control(link, ControlByte);
    board_set_frequency(link, settings.FreqInHz);
  }

  if (settings.EmitSound) {
    // A recorder in the sound's path (ALSA's file plugin runs its command with this environment)
    // names its files after the frequency tuned and tags them with the demodulation; neither when
    // the run tuned nothing.
    if (settings.FreqInHz != 0) {
      setenv("ORVCTL_KHZ", std::to_string(settings.FreqInHz).c_str(), 1);
      setenv("ORVCTL_DEMOD", demodulation_name(settings), 1);
    } else {
      unsetenv("ORVCTL_KHZ");
      unsetenv("ORVCTL_DEMOD");
    }
    relay_run(settings, link);  // returns only when the sound output failed for good
    close_link(settings, link);
    return 1;
  }

  close_link(settings, link);
  return 0;
}

}  // namespace

int run_orvctl(int argc, const char* const argv[]) {
  // Ctrl-C ends a run by its default action, however the tool was started: a script starts its
  // background jobs with SIGINT ignored, and that would leave `kill -INT` nothing to do.
  std::signal(SIGINT, SIG_DFL);
  relay_listen_for_status();
  console_catch_broken_pipes();
  console_open_standard_streams();
  return console_status(run_stages(argc, argv));
}
