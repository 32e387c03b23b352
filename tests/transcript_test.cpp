// Whole runs of the built programs, as a user would run them: standard output, standard error,
// exit status and the frames the board saw, byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <string>
#include <utility>
#include <vector>

#include "run_process.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kBanner = "Orvane RF tuning utility v1.04\n\n";

const std::string kUsage =
    "Usage: orvctl [OPTIONS] n\n"
    "where: n = frequency in kHz\n"
    "\n"
    "OPTIONS\n"
    "\n"
    "    -a   AM demodulation\n"
    "    -n   Narrow band FM demodulation (default)\n"
    "    -w   Wide band FM demodulation\n"
    "    -h   Use HF antenna and up-converter\n"
    "    -v   Use VHF/UHF antenna (default)\n"
    "    -s   Emit sound on playback channel (Ctrl-C to exit)\n"
    "\n";

class TranscriptTest : public testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir(); }
  void TearDown() override {
    unlink((dir + "/frames").c_str());
    unlink((dir + "/calls").c_str());
    rmdir(dir.c_str());
  }
  std::string dir;
};

struct SimCase {
  const char* name;
  std::vector<std::string> args;
  Env env = {};
  std::string out;
  std::string frames;
  int status;
  std::string err = "";  // but for a malformed knob (status 2)
  Console console = Console::captured;
};

TEST_F(TranscriptTest, SimulatedBoardRuns) {
  const SimCase cases[] = {
      {"usage", {}, {}, kBanner + kUsage, "", 0},
      {"version only, with traces",
       {"-d"},
       {},
       kBanner +
           "bcm2835_init() returned OK\nFirmware version is 1.04\ncalling bcm2835_close()\nDone\n",
       "01 00 60 00 00\n",
       0},
      {"unlisted letters only",
       {"-xyz"},
       {},
       kBanner + "Firmware version is 1.04\n",
       "01 00 60 00 00\n",
       0},
      {"wide band FM",
       {"-w", "700"},
       {{"ORVSIM_VERSION", "2.3"}},
       kBanner + "Firmware version is 2.03\nTuning to 700 kHz\nVHF/UHF, Wide Band FM\n\n",
       "01 00 60 00 00\n00 00 40 02\n00 00 f0 bc 02 00 00 a0\n",
       0},
      {"HF antenna",
       {"-h", "145500"},
       {},
       kBanner + "Firmware version is 1.04\nTuning to 145500 kHz\nHF, Narrow Band FM\n\n",
       "01 00 60 00 00\n00 00 40 04\n00 00 f0 5c 38 02 00 a0\n",
       0},
      {"v clears h, AM, traces",
       {"-hdv", "-a", "88000"},
       {{"ORVSIM_VERSION", "255.7"}},
       kBanner + "bcm2835_init() returned OK\nFirmware version is 255.07\nTuning to 88000 kHz\n"
                 "VHF/UHF, AM\n\ncalling bcm2835_close()\nDone\n",
       "01 00 60 00 00\n00 00 40 01\n00 00 f0 c0 57 01 00 a0\n",
       0},
      {"negative number",
       {" -5"},
       {},
       kBanner + "Firmware version is 1.04\nTuning to -5 kHz\nVHF/UHF, Narrow Band FM\n\n",
       "01 00 60 00 00\n00 00 40 00\n00 00 f0 fb ff ff ff a0\n",
       0},
      {"saturated number",
       {"99999999999"},
       {},
       kBanner + "Firmware version is 1.04\nTuning to 2147483647 kHz\nVHF/UHF, Narrow Band FM\n\n",
       "01 00 60 00 00\n00 00 40 00\n00 00 f0 ff ff ff 7f a0\n",
       0},
      {"later text cancels the frequency",
       {"145500", "abc", "-r"},
       {},
       kBanner + "Firmware version is 1.04\n",
       "01 00 60 00 00\n",
       0},
      {"malformed rate", {"-d", "700"}, {{"ORVSIM_RATE", "fast"}}, kBanner, "", 2},
      {"malformed version", {"700"}, {{"ORVSIM_VERSION", "1.4.1"}}, kBanner, "", 2},
      {"malformed signal", {"-s", "700"}, {{"ORVSIM_SIGNAL", "sine"}}, kBanner, "", 2},
      // The frame log is opened after the console: it must not become standard output.
      {.name = "standard output and error closed",
       .args = {"-d", "700"},
       .out = "",
       .frames = "01 00 60 00 00\n00 00 40 00\n00 00 f0 bc 02 00 00 a0\n",
       .status = 1,
       .console = Console::closed},
      {.name = "standard output full",
       .args = {"-d", "700"},
       .out = "",
       .frames = "01 00 60 00 00\n00 00 40 00\n00 00 f0 bc 02 00 00 a0\n",
       .status = 1,
       .err = "orvctl-sim: cannot write to standard output: No space left on device\n",
       .console = Console::full},
  };
  for (const SimCase& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((dir + "/frames").c_str());
    Env env = c.env;
    env.emplace_back("ORVSIM_LOG", dir + "/frames");
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, c.args, env, 0, c.console);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(read_file(dir + "/frames"), c.frames);
    if (c.status == 2) {
      EXPECT_NE(run.err.find("orvctl-sim: ORVSIM_"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, c.err);
    }
  }
}

TEST_F(TranscriptTest, EmptyArgumentVectorPrintsUsage) {
#ifdef ORVTEST_EMULATOR
  GTEST_SKIP() << "the emulator cannot start a program without arguments";
#endif
  const ProcessResult run = run_with_argv(ORVCTL_SIM_PATH, {});
  EXPECT_EQ(run.out, kBanner + kUsage);
  EXPECT_EQ(run.status, 0);
}

TEST_F(TranscriptTest, SimulatedBoardRejectsAnUnwritableLog) {
  const ProcessResult run =
      run_process(ORVCTL_SIM_PATH, {"700"}, {{"ORVSIM_LOG", dir + "/missing/frames"}});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, kBanner);
  EXPECT_NE(run.err.find("ORVSIM_LOG"), std::string::npos) << run.err;
}

TEST_F(TranscriptTest, RealLibraryWithoutDevMem) {
  if (std::string(ORVCTL_SPI) != "bcm2835") {
    GTEST_SKIP() << "orvctl is built on " ORVCTL_SPI;
  }
  if (access("/dev/mem", F_OK) == 0) {
    GTEST_SKIP() << "/dev/mem exists: this case would reach real hardware";
  }
  // As root the library tries /dev/mem, otherwise /dev/gpiomem.
  const bool root = geteuid() == 0;
  if (!root && access("/dev/gpiomem", F_OK) == 0) {
    GTEST_SKIP() << "/dev/gpiomem exists: this case would reach real hardware";
  }
  const ProcessResult run = run_process(ORVCTL_PATH, {"-d", "700"});
  EXPECT_EQ(run.out, kBanner);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(root ? "Unable to open /dev/mem" : "Unable to open /dev/gpiomem"),
            std::string::npos)
      << run.err;
}

struct LinkCase {
  const char* name;
  Env env = {};
  std::string out;
  std::string calls;
  int status;
  std::vector<std::string> args = {"-d", "700"};
  Console console = Console::captured;
  bool needs_begin_result = false;  // only the library from 1.50 on reports a failed SPI begin
};

TEST_F(TranscriptTest, BoardLinkOnTheLibrary) {
  const LinkCase cases[] = {
      {"tuning run",
       {},
       kBanner + "bcm2835_init() returned OK\nFirmware version is 0.00\nTuning to 700 kHz\n"
                 "VHF/UHF, Narrow Band FM\n\ncalling bcm2835_close()\nDone\n",
       "init\nspi_begin\nspi_setClockDivider 32\nspi_setDataMode 0\nspi_chipSelect 0\n"
       "spi_transfern 5\nspi_transfern 4\nspi_transfern 8\nclose\n",
       0},
      {"replies are unsigned",
       {{"FAKE_BCM2835_MISO", "255"}},
       kBanner + "bcm2835_init() returned OK\nFirmware version is 255.255\nTuning to 700 kHz\n"
                 "VHF/UHF, Narrow Band FM\n\ncalling bcm2835_close()\nDone\n",
       "init\nspi_begin\nspi_setClockDivider 32\nspi_setDataMode 0\nspi_chipSelect 0\n"
       "spi_transfern 5\nspi_transfern 4\nspi_transfern 8\nclose\n",
       0},
      {"no rights to the peripherals", {{"FAKE_BCM2835_INIT", "0"}}, kBanner, "init\n", 1},
      {.name = "SPI cannot be opened",
       .env = {{"FAKE_BCM2835_SPI_BEGIN", "0"}},
       .out = kBanner +
              "bcm2835_init() returned OK\nSPI0 could not be opened: orvctl needs root (or the "
              "rights to /dev/mem); run it with sudo\ncalling bcm2835_close()\nDone\n",
       .calls = "init\nspi_begin\nclose\n",
       .status = 1,
       .needs_begin_result = true},
  };
  // The library's own header (1.71), and 1.45's, whose bcm2835_spi_begin has no result.
  for (const char* program : {ORVCTL_FAKELIB_PATH, ORVCTL_FAKELIB_145_PATH}) {
    for (const LinkCase& c : cases) {
      SCOPED_TRACE(std::string(program) + ": " + c.name);
      if (c.needs_begin_result && program == std::string(ORVCTL_FAKELIB_145_PATH)) {
        continue;
      }
      unlink((dir + "/calls").c_str());
      Env env = c.env;
      env.emplace_back("FAKE_BCM2835_CALLS", dir + "/calls");
      const ProcessResult run = run_process(program, c.args, env);
      EXPECT_EQ(run.out, c.out);
      EXPECT_EQ(run.status, c.status);
      EXPECT_EQ(read_file(dir + "/calls"), c.calls);
    }
  }
}

TEST_F(TranscriptTest, RealSpidevWithoutDevice) {
  if (std::string(ORVCTL_SPI) != "spidev") {
    GTEST_SKIP() << "orvctl is built on " ORVCTL_SPI;
  }
  if (access("/dev/spidev0.0", F_OK) == 0) {
    GTEST_SKIP() << "/dev/spidev0.0 exists: this case would reach real hardware";
  }
  const ProcessResult run = run_process(ORVCTL_PATH, {"-d", "700"});
  EXPECT_EQ(run.out, kBanner +
                         "SPI0 is not enabled: /dev/spidev0.0 does not exist. Enable SPI (sudo "
                         "raspi-config, Interface Options, SPI; or dtparam=spi=on in "
                         "/boot/firmware/config.txt) and reboot\n");
  EXPECT_EQ(run.status, 1);
}

const std::string kSpidevSetup =
    "open /dev/spidev0.0\n"
    "ioctl WR_MODE 0\nioctl RD_MODE 0\n"
    "ioctl WR_BITS_PER_WORD 8\nioctl RD_BITS_PER_WORD 8\n"
    "ioctl WR_LSB_FIRST 0\nioctl RD_LSB_FIRST 0\n"
    "ioctl WR_MAX_SPEED_HZ 7812500\nioctl RD_MAX_SPEED_HZ 7812500\n";

std::string spidev_message(int length) {
  return "message len " + std::to_string(length) + " speed 0 bits 0 cs_change 0 tx==rx 1\n";
}

TEST_F(TranscriptTest, BoardLinkOnSpidev) {
  const std::string tuned = spidev_message(5) + spidev_message(4) + spidev_message(8) + "close\n";
  const std::string tuning_run =
      kBanner +
      "bcm2835_init() returned OK\nFirmware version is 1.01\nTuning to 700 kHz\n"
      "VHF/UHF, Narrow Band FM\n\ncalling bcm2835_close()\nDone\n";
  const std::string closed = "calling bcm2835_close()\nDone\n";
  const std::string set_up = kBanner + "bcm2835_init() returned OK\n";
  const LinkCase cases[] = {
      {"tuning run", {}, tuning_run, kSpidevSetup + tuned, 0},
      {"transfer limit exactly one audio block",
       {{"FAKE_SPIDEV_BUFSIZ", "24003\n"}},
       tuning_run,
       kSpidevSetup + tuned,
       0},
      {"transfer limit unreadable",
       {{"FAKE_SPIDEV_BUFSIZ", "none"}},
       tuning_run,
       kSpidevSetup + tuned,
       0},
      {"SPI not enabled",
       {{"FAKE_SPIDEV_OPEN", "ENOENT"}},
       kBanner +
           "SPI0 is not enabled: /dev/spidev0.0 does not exist. Enable SPI (sudo raspi-config, "
           "Interface Options, SPI; or dtparam=spi=on in /boot/firmware/config.txt) and "
           "reboot\n",
       "open /dev/spidev0.0\n",
       1},
      {"not in the group spi",
       {{"FAKE_SPIDEV_OPEN", "EACCES"}},
       kBanner + "SPI0 could not be opened: no permission for /dev/spidev0.0. Join the group spi "
                 "(sudo usermod -aG spi $USER), then log in again\n",
       "open /dev/spidev0.0\n",
       1},
      {"device busy",
       {{"FAKE_SPIDEV_OPEN", "EBUSY"}},
       kBanner + "SPI0 could not be opened: /dev/spidev0.0: Device or resource busy\n",
       "open /dev/spidev0.0\n",
       1},
      {"default transfer limit, tuning only",
       {{"FAKE_SPIDEV_BUFSIZ", "4096\n"}},
       tuning_run,
       kSpidevSetup + tuned,
       0},
      {.name = "default transfer limit, with sound",
       .env = {{"FAKE_SPIDEV_BUFSIZ", "4096\n"}},
       .out = set_up +
              "SPI0 transfers are limited to 4096 bytes (spidev.bufsiz) and an audio block needs "
              "24003: add spidev.bufsiz=32768 to the kernel command line "
              "(/boot/firmware/cmdline.txt) and reboot\n" +
              closed,
       .calls = "open /dev/spidev0.0\nclose\n",
       .status = 1,
       .args = {"-ds", "700"}},
      // The device is opened after the console: no console text may go to it.
      {.name = "standard output and error closed",
       .out = "",
       .calls = kSpidevSetup + tuned,
       .status = 1,
       .console = Console::closed},
      {"mode refused",
       {{"FAKE_SPIDEV_REFUSE", "WR_MODE"}},
       set_up + "SPI0 could not be set up: /dev/spidev0.0 refused mode 0: Invalid argument\n" +
           closed,
       "open /dev/spidev0.0\nioctl WR_MODE 0\nclose\n",
       1},
      {"mode unreadable",
       {{"FAKE_SPIDEV_REFUSE", "RD_MODE"}},
       set_up +
           "SPI0 could not be set up: /dev/spidev0.0 cannot report its mode: Invalid argument\n" +
           closed,
       "open /dev/spidev0.0\nioctl WR_MODE 0\nioctl RD_MODE 0\nclose\n",
       1},
      {"word size ignored",
       {{"FAKE_SPIDEV_KEEP", "WR_BITS_PER_WORD"}},
       set_up + "SPI0 could not be set up: /dev/spidev0.0 kept bits per word 16 instead of 8\n" +
           closed,
       "open /dev/spidev0.0\nioctl WR_MODE 0\nioctl RD_MODE 0\nioctl WR_BITS_PER_WORD 8\n"
       "ioctl RD_BITS_PER_WORD 16\nclose\n",
       1},
      {"bit order ignored",
       {{"FAKE_SPIDEV_KEEP", "WR_LSB_FIRST"}},
       set_up + "SPI0 could not be set up: /dev/spidev0.0 kept LSB first 1 instead of 0\n" + closed,
       "open /dev/spidev0.0\nioctl WR_MODE 0\nioctl RD_MODE 0\nioctl WR_BITS_PER_WORD 8\n"
       "ioctl RD_BITS_PER_WORD 8\nioctl WR_LSB_FIRST 0\nioctl RD_LSB_FIRST 1\nclose\n",
       1},
      {"clock ignored",
       {{"FAKE_SPIDEV_KEEP", "WR_MAX_SPEED_HZ"}},
       set_up +
           "SPI0 could not be set up: /dev/spidev0.0 kept clock in Hz 125000000 instead of "
           "7812500\n" +
           closed,
       kSpidevSetup.substr(0, kSpidevSetup.rfind("7812500")) + "125000000\nclose\n",
       1},
      {"transfer refused",
       {{"FAKE_SPIDEV_REFUSE", "MESSAGE"}},
       set_up + "SPI0 transfer of 5 bytes failed: /dev/spidev0.0: Invalid argument\n",
       kSpidevSetup + spidev_message(5),
       1},
      {"transfer cut short",
       {{"FAKE_SPIDEV_REFUSE", "MESSAGE_SHORT"}},
       set_up + "SPI0 transfer of 5 bytes failed: /dev/spidev0.0 exchanged 4\n",
       kSpidevSetup + spidev_message(5),
       1},
      {"transfer too long for an unreadable limit",
       {{"FAKE_SPIDEV_REFUSE", "MESSAGE_SIZE"}, {"FAKE_SPIDEV_BUFSIZ", "none"}},
       set_up + "SPI0 transfers are limited by spidev.bufsiz and an audio block needs 24003: add "
                "spidev.bufsiz=32768 to the kernel command line (/boot/firmware/cmdline.txt) and "
                "reboot\n",
       kSpidevSetup + spidev_message(5),
       1},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((dir + "/calls").c_str());
    Env env = c.env;
    env.emplace_back("FAKE_SPIDEV_CALLS", dir + "/calls");
    env.emplace_back("FAKE_SPIDEV_MISO", "1");
    const ProcessResult run = run_process(ORVCTL_FAKESPIDEV_PATH, c.args, env, 0, c.console);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(read_file(dir + "/calls"), c.calls);
    EXPECT_EQ(run.err, "");
  }
}

// With sound, the audio block is the one frame larger than spidev's default limit: it must still
// go as a single transfer.
TEST_F(TranscriptTest, SpidevAudioBlockIsOneTransfer) {
  const std::string config = dir + "/asound.conf";
  std::FILE* file = std::fopen(config.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("pcm.!default { type null }\n", file);
  std::fclose(file);
  // Every reply byte 0xff: the board reports a full buffer at once.
  const ProcessResult run = run_process(ORVCTL_FAKESPIDEV_PATH, {"-s", "700"},
                                        {{"FAKE_SPIDEV_CALLS", dir + "/calls"},
                                         {"FAKE_SPIDEV_MISO", "255"},
                                         {"ALSA_CONFIG_PATH", config},
                                         {"HOME", dir}},
                                        300);
  unlink(config.c_str());
  EXPECT_EQ(run.status, 128 + SIGINT);
  // Playback start, then a count, the block and the next count.
  const std::string expected = kSpidevSetup + spidev_message(5) + spidev_message(4) +
                               spidev_message(8) + spidev_message(5) + spidev_message(6) +
                               spidev_message(24003) + spidev_message(6);
  EXPECT_EQ(read_file(dir + "/calls").substr(0, expected.size()), expected);
}

}  // namespace
