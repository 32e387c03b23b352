// Whole runs of the built programs, as a user would run them: standard output, standard error,
// exit status and the frames the board saw, byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

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
  Env env;
  std::string out;
  std::string frames;
  int status;
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
  };
  for (const SimCase& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((dir + "/frames").c_str());
    Env env = c.env;
    env.emplace_back("ORVSIM_LOG", dir + "/frames");
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, c.args, env);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(read_file(dir + "/frames"), c.frames);
    if (c.status == 2) {
      EXPECT_NE(run.err.find("orvctl-sim: ORVSIM_"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, "");
    }
  }
}

TEST_F(TranscriptTest, EmptyArgumentVectorPrintsUsage) {
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

struct LibraryCase {
  const char* name;
  Env env;
  std::string out;
  std::string calls;
  int status;
};

TEST_F(TranscriptTest, BoardLinkOnTheLibrary) {
  const LibraryCase cases[] = {
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
      {"SPI cannot be opened",
       {{"FAKE_BCM2835_SPI_BEGIN", "0"}},
       kBanner + "bcm2835_init() returned OK\nSPI0 could not be opened: orvctl needs root (or the "
                 "rights to /dev/mem); run it with sudo\ncalling bcm2835_close()\nDone\n",
       "init\nspi_begin\nclose\n",
       1},
  };
  for (const LibraryCase& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((dir + "/calls").c_str());
    Env env = c.env;
    env.emplace_back("FAKE_BCM2835_CALLS", dir + "/calls");
    const ProcessResult run = run_process(ORVCTL_FAKELIB_PATH, {"-d", "700"}, env);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(read_file(dir + "/calls"), c.calls);
  }
}

}  // namespace
