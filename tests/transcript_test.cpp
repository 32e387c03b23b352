// Whole runs of the built programs, as a user would run them: standard output, standard error,
// exit status and the frames the board saw, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "audio/output_clock.h"
#include "board/board_link.h"
#include "testing/alsa_config.h"
#include "testing/documents.h"
#include "testing/run_process.h"
#include "testing/transcript.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kUsage = R"(Usage: orvctl [OPTIONS] n
where: n = frequency in kHz

OPTIONS

    -a   AM demodulation
    -n   Narrow band FM demodulation (default)
    -w   Wide band FM demodulation
    -h   Use HF antenna and up-converter
    -v   Use VHF/UHF antenna (default)
    -s   Emit sound on playback channel (Ctrl-C to exit)

)";

const std::string kSpidevNotEnabled =
    "SPI0 is not enabled: /dev/spidev0.0 does not exist. Enable SPI (sudo raspi-config, Interface "
    "Options, SPI; or dtparam=spi=on in /boot/firmware/config.txt) and reboot\n";

const std::string kSpidevTooShort4096 =
    "SPI0 transfers are limited to 4096 bytes (spidev.bufsiz) and an audio block needs 24003: "
    "add spidev.bufsiz=32768 to the kernel command line (/boot/firmware/cmdline.txt) and "
    "reboot\n";

class TranscriptTest : public testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
};

size_t count_lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The line on standard error of `program` for a board whose every reply bit is `bit`.
std::string no_board(const std::string& program, int bit) {
  return program + ": no board seems to answer on SPI0 CE0 (every bit it sent was " +
         std::to_string(bit) +
         "): check the wiring (MISO, MOSI, SCLK, CE0 and ground), that the board has power, and "
         "that it is on chip select 0\n";
}

struct SimCase {
  const char* name;
  std::vector<std::string> args = {};
  Env env = {};
  std::string out;
  std::string frames;
  int status = 0;
  std::string err = "";  // but for a malformed knob (status 2)
  Console console = Console::captured;
};

TEST_F(TranscriptTest, SimulatedBoardRuns) {
  // A knob given a value it cannot take: the banner, no frame, status 2 and one line (below).
  const auto malformed = [](const char* name, std::vector<std::string> args, const char* knob,
                            const char* value) {
    return SimCase{.name = name,
                   .args = std::move(args),
                   .env = {{knob, value}},
                   .out = kBanner,
                   .frames = "",
                   .status = 2};
  };
  const SimCase cases[] = {
      {.name = "usage", .out = kBanner + kUsage, .frames = ""},
      {.name = "version only, with traces",
       .args = {"-d"},
       .out = kBanner + R"(bcm2835_init() returned OK
Firmware version is 1.04
calling bcm2835_close()
Done
)",
       .frames = "01 00 60 00 00\n"},
      {.name = "unlisted letters only",
       .args = {"-xyz"},
       .out = kBanner + "Firmware version is 1.04\n",
       .frames = "01 00 60 00 00\n"},
      // Wide band FM: the README's frame log (RelayTest.RecipesFromTheDocuments).
      {.name = "HF antenna",
       .args = {"-h", "145500"},
       .out = kBanner + tuned("145500", "HF, Narrow Band FM"),
       .frames = R"(01 00 60 00 00
00 00 40 04
00 00 f0 5c 38 02 00 a0
)"},
      {.name = "v clears h, AM, traces",
       .args = {"-hdv", "-a", "88000"},
       .env = {{"ORVSIM_VERSION", "255.7"}},
       .out = kBanner + traced(tuned("88000", "VHF/UHF, AM", false, "255.07")),
       .frames = R"(01 00 60 00 00
00 00 40 01
00 00 f0 c0 57 01 00 a0
)"},
      {.name = "negative number",
       .args = {" -5"},
       .out = kBanner + tuned("-5", "VHF/UHF, Narrow Band FM"),
       .frames = R"(01 00 60 00 00
00 00 40 00
00 00 f0 fb ff ff ff a0
)"},
      {.name = "saturated number",
       .args = {"99999999999"},
       .out = kBanner + tuned("2147483647", "VHF/UHF, Narrow Band FM"),
       .frames = R"(01 00 60 00 00
00 00 40 00
00 00 f0 ff ff ff 7f a0
)"},
      {.name = "later text cancels the frequency",
       .args = {"145500", "abc", "-r"},
       .out = kBanner + "Firmware version is 1.04\n",
       .frames = "01 00 60 00 00\n"},
      // No board answers: every reply bit 0, or 1. The frames sent are as ever; standard error
      // says what to check, and the run goes on.
      {.name = "no board, the data line low",
       .args = {"-d", "700"},
       .env = {{"ORVSIM_MISO", "low"}},
       .out = kBanner + traced(tuned("700", "VHF/UHF, Narrow Band FM", false, "0.00")),
       .frames = R"(01 00 60 00 00
00 00 40 00
00 00 f0 bc 02 00 00 a0
)",
       .err = no_board("orvctl-sim", 0)},
      {.name = "no board, the data line high",
       .args = {"-xyz"},
       .env = {{"ORVSIM_MISO", "high"}},
       .out = kBanner + "Firmware version is 255.255\n",
       .frames = "01 00 60 00 00\n",
       .err = no_board("orvctl-sim", 1)},
      {.name = "a board at 0.255 answers",
       .args = {"-xyz"},
       .env = {{"ORVSIM_VERSION", "0.255"}},
       .out = kBanner + "Firmware version is 0.255\n",
       .frames = "01 00 60 00 00\n"},
      malformed("malformed data line", {"700"}, "ORVSIM_MISO", "floating"),
      malformed("malformed reset", {"-s", "700"}, "ORVSIM_RESET", "30"),
      malformed("malformed rate", {"-d", "700"}, "ORVSIM_RATE", "fast"),
      malformed("malformed version", {"700"}, "ORVSIM_VERSION", "1.4.1"),
      malformed("malformed signal", {"-s", "700"}, "ORVSIM_SIGNAL", "sine"),
      malformed("malformed preemption", {"-s", "700"}, "ORVSIM_PREEMPT", "4:"),
      malformed("malformed seed", {"-s", "700"}, "ORVSIM_SEED", "-1"),
      // The frame log is opened after the console: it must not become standard output.
      {.name = "standard output and error closed",
       .args = {"-d", "700"},
       .out = "",
       .frames = R"(01 00 60 00 00
00 00 40 00
00 00 f0 bc 02 00 00 a0
)",
       .status = 1,
       .console = Console::closed},
      {.name = "standard output full",
       .args = {"-d", "700"},
       .out = "",
       .frames = R"(01 00 60 00 00
00 00 40 00
00 00 f0 bc 02 00 00 a0
)",
       .status = 1,
       .err = "orvctl-sim: cannot write to standard output: No space left on device\n",
       .console = Console::full},
      // `orvctl ... | head` once head has ended: SIGPIPE's own end, at the first message.
      {.name = "standard output's reader gone",
       .args = {"-d", "700"},
       .out = "",
       .frames = "",
       .status = 128 + SIGPIPE,
       .console = Console::gone},
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
      // One line that names the knob, says what it must be, and quotes what it was given.
      const auto& [knob, value] = c.env.at(0);
      const std::string starts = "orvctl-sim: " + knob + " must be ";
      const std::string ends = ", not \"" + value + "\"\n";
      EXPECT_EQ(run.err.rfind(starts, 0), 0u) << run.err;
      EXPECT_GE(run.err.size(), starts.size() + ends.size()) << run.err;
      EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), ends.size())), ends);
      EXPECT_EQ(count_lines(run.err), 1u) << run.err;
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
  // The README's command for this build, as written, on this build's orvctl and without sudo (it
  // would ask for a password): as root or not, the library says which file it could not open.
  const std::string block = copied_block(ORVCTL_BUILDING_DOC, "build-bcm2835");
  std::string command = block.substr(block.rfind('\n', block.size() - 2) + 1);
  ASSERT_EQ(command.rfind("sudo orvctl ", 0), 0u) << block;
  command.replace(0, std::strlen("sudo orvctl"), ORVCTL_PATH);
  const ProcessResult run = run_process("/bin/sh", {"-c", command});
  EXPECT_EQ(run.out, kBanner);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(root ? "Unable to open /dev/mem" : "Unable to open /dev/gpiomem"),
            std::string::npos)
      << run.err;
}

// A run of orvctl-fakelib or orvctl-fakespidev: the driver on a real hardware file over a stand-in
// that records each call it gets.
struct LinkCase {
  const char* name;
  Env env = {};
  std::vector<std::string> args = {"-d", "700"};
  std::string out;
  std::string calls;
  int status = 0;
  std::string err = "";
  Console console = Console::captured;
  bool needs_begin_result = false;  // only the bcm2835 library from 1.50 on reports a failed begin
  bool needs_root = false;          // runs only where the test runs as root
  bool as_nobody = false;           // ... started as the user nobody
  bool setuid_copy = false;         // ... through a copy of the program installed setuid root
  std::string runtime_folder = "";  // ... with this folder made for the run, owned by:
  uid_t runtime_owner = 0;
};

// Runs each case on `program`, whose stand-in appends its calls to the file `calls_variable`
// names, with `env` added to each case's environment. Returns why cases could not run here
// ("" when all did), for the test to report itself skipped once it has checked the others.
std::string run_link_cases(const std::string& dir, const std::string& program,
                           const std::string& calls_variable, const std::vector<LinkCase>& cases,
                           const Env& env = {}) {
  std::string skipped;
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(program + ": " + c.name);
    unlink((dir + "/calls").c_str());
    if (c.needs_root && geteuid() != 0) {
      skipped += std::string(" \"") + c.name + "\" needs root;";
      continue;
    }
    // The defaults of `env` where the case sets nothing else (an environment with a name twice is
    // read differently by an emulator).
    Env run_env = c.env;
    for (const auto& [name, value] : env) {
      if (std::none_of(c.env.begin(), c.env.end(),
                       [&](const auto& set) { return set.first == name; })) {
        run_env.emplace_back(name, value);
      }
    }
    run_env.emplace_back(calls_variable, dir + "/calls");
    bool made_run_user = false;
    if (!c.runtime_folder.empty()) {
      if (access(c.runtime_folder.c_str(), F_OK) == 0) {
        skipped += std::string(" \"") + c.name + "\": " + c.runtime_folder + " exists;";
        continue;
      }
      made_run_user = mkdir("/run/user", 0755) == 0;
      EXPECT_EQ(mkdir(c.runtime_folder.c_str(), 0700), 0) << c.runtime_folder;
      EXPECT_EQ(chown(c.runtime_folder.c_str(), c.runtime_owner, 0), 0);
    }
    std::string run_program = program;
    std::vector<std::string> args = c.args;
    if (c.as_nobody) {
#ifdef ORVTEST_EMULATOR
      skipped += std::string(" \"") + c.name + "\" would have the emulator run as nobody;";
      continue;
#endif
      // The stand-in opens its record as that user.
      close(open((dir + "/calls").c_str(), O_CREAT | O_WRONLY, 0666));
      chmod((dir + "/calls").c_str(), 0666);
      chmod(dir.c_str(), 0755);
      std::string started = program;
      if (c.setuid_copy) {
        struct statvfs where {};
        if (statvfs(dir.c_str(), &where) == 0 && (where.f_flag & ST_NOSUID) != 0) {
          skipped += std::string(" \"") + c.name + "\": " + dir + " is mounted nosuid;";
          continue;
        }
        started = dir + "/orvctl-setuid";
        std::filesystem::copy_file(program, started,
                                   std::filesystem::copy_options::overwrite_existing);
        EXPECT_EQ(chown(started.c_str(), 0, 0), 0);
        chmod(started.c_str(), 04755);
      }
      args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--init-groups", started});
      run_program = "/usr/bin/setpriv";
    }
    const ProcessResult run = run_process(run_program, args, run_env, 0, c.console);
    if (!c.runtime_folder.empty()) {
      rmdir(c.runtime_folder.c_str());
      if (made_run_user) {
        rmdir("/run/user");
      }
    }
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(read_file(dir + "/calls"), c.calls);
    EXPECT_EQ(run.err, c.err);
  }
  return skipped;
}

const std::string kLibraryTuningCalls = R"(init
spi_begin
spi_setClockDivider 32
spi_setDataMode 0
spi_chipSelect 0
spi_transfern 5
spi_transfern 4
spi_transfern 8
close
)";

// The stand-in's record of who the process is (testing/fake_bcm2835.cpp): `uid` and `gid` for the
// ids, `groups` as listed, and the four variables, "-" where not set.
std::string who(uid_t uid, gid_t gid, const std::string& groups, const std::string& home,
                const std::string& user, const std::string& runtime) {
  const std::string u = std::to_string(uid);
  const std::string g = std::to_string(gid);
  return "who uid " + u + " " + u + " " + u + " gid " + g + " " + g + " " + g + " groups" + groups +
         " HOME=" + home + " USER=" + user + " LOGNAME=" + user + " XDG_RUNTIME_DIR=" + runtime +
         "\n";
}

// This process's groups, as the stand-in lists them.
std::string own_groups() {
  gid_t groups[64];
  const int count = getgroups(64, groups);
  std::string listed;
  for (int i = 0; i < count; ++i) {
    listed += ' ';
    listed += std::to_string(groups[i]);
  }
  return listed;
}

TEST_F(TranscriptTest, BoardLinkOnTheLibrary) {
  const passwd* const nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string nobody_home = nobody->pw_dir;
  const uid_t nobody_uid = nobody->pw_uid;
  const gid_t nobody_gid = nobody->pw_gid;
  const std::string nobody_ids = std::to_string(nobody_uid);
  const std::string nobody_group = std::to_string(nobody_gid);
  // What sudo gives a run, and what the user's session had: the run goes on with these unless it
  // becomes the user.
  const Env kRootSession = {{"FAKE_BCM2835_WHO", "1"},
                            {"HOME", "/root"},
                            {"USER", "root"},
                            {"LOGNAME", "root"},
                            {"XDG_RUNTIME_DIR", "/run/user/0"}};
  const auto session = [&](Env sudo) {
    sudo.insert(sudo.end(), kRootSession.begin(), kRootSession.end());
    return sudo;
  };
  // sudo run by nobody, with the variables that name nobody.
  const Env kSudoByNobody =
      session({{"SUDO_USER", "nobody"}, {"SUDO_UID", nobody_ids}, {"SUDO_GID", nobody_group}});
  const std::string as_root = who(0, 0, own_groups(), "/root", "root", "/run/user/0");
  // A user started as setpriv starts one, with nothing changed of the session's environment.
  const std::string as_nobody =
      who(nobody_uid, nobody_gid, " " + nobody_group, "/root", "root", "/run/user/0");
  const passwd* const daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr);
  const std::string kSetUp =
      "init\nspi_begin\nspi_setClockDivider 32\nspi_setDataMode 0\nspi_chipSelect 0\n";
  const std::string kTuning = "spi_transfern 5\nspi_transfern 4\nspi_transfern 8\n";
  const std::string tuning_run =
      kBanner + traced(tuned("700", "VHF/UHF, Narrow Band FM", false, "1.01"));
  const auto refused = [&](const std::string& why) {
    return kBanner +
           "bcm2835_init() returned OK\norvctl could not become the user who ran sudo: " + why +
           ". It does not go on as root\ncalling bcm2835_close()\nDone\n";
  };
  // What may stand where root's lock of the bus goes: only a file of root's that no other user
  // may write is taken; nothing else hangs the run (a FIFO) or hands the bus to another user.
  const std::string stand_in = dir + "/lock-";
  std::ofstream{stand_in + "target"};
  std::ofstream{stand_in + "writable"};
  std::ofstream{stand_in + "nobody's"};
  ASSERT_EQ(mkfifo((stand_in + "fifo").c_str(), 0666), 0);
  ASSERT_EQ(symlink((stand_in + "target").c_str(), (stand_in + "link").c_str()), 0);
  ASSERT_EQ(mkdir((stand_in + "folder").c_str(), 0755), 0);
  ASSERT_EQ(chmod((stand_in + "writable").c_str(), 0620), 0);
  ASSERT_EQ(chmod((stand_in + "nobody's").c_str(), 0600), 0);
  const bool chowned = chown((stand_in + "nobody's").c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  const std::string not_root_s =
      kBanner +
      "SPI0 could not be reserved for this run: /run/orvctl-spi0.lock is not a file of root's "
      "that only root may write: remove it\n";
  std::vector<LinkCase> cases = {
      {.name = "tuning run", .out = tuning_run, .calls = kLibraryTuningCalls},
      {.name = "root's lock: a FIFO at its path",
       .env = {{"FAKE_BUS_LOCK", stand_in + "fifo"}},
       .out = not_root_s,
       .calls = "init\nclose\n",
       .status = 1},
      {.name = "root's lock: a link",
       .env = {{"FAKE_BUS_LOCK", stand_in + "link"}},
       .out = not_root_s,
       .calls = "init\nclose\n",
       .status = 1},
      {.name = "root's lock: a folder",
       .env = {{"FAKE_BUS_LOCK", stand_in + "folder"}},
       .out = not_root_s,
       .calls = "init\nclose\n",
       .status = 1},
      {.name = "root's lock: a file that its group may write",
       .env = {{"FAKE_BUS_LOCK", stand_in + "writable"}},
       .out = not_root_s,
       .calls = "init\nclose\n",
       .status = 1},
      {.name = "root's lock: a file of another user's",
       .env = {{"FAKE_BUS_LOCK", stand_in + "nobody's"}},
       .out = not_root_s,
       .calls = "init\nclose\n",
       .status = 1,
       .needs_root = !chowned},
      {.name = "root's lock: no folder for it (no /run)",
       .env = {{"FAKE_BUS_LOCK", stand_in + "none/lock"}},
       .out = tuning_run,
       .calls = kLibraryTuningCalls},
      // A board that does not answer: its data line held high (the replies are unsigned), or low.
      // Standard error says what to check; the run goes on.
      {.name = "replies are unsigned",
       .env = {{"FAKE_BCM2835_MISO", "255"}},
       .out = kBanner + traced(tuned("700", "VHF/UHF, Narrow Band FM", false, "255.255")),
       .calls = kLibraryTuningCalls,
       .err = no_board("orvctl-fakelib", 1)},
      {.name = "no board, the data line low",
       .env = {{"FAKE_BCM2835_MISO", "0"}},
       .out = kBanner + traced(tuned("700", "VHF/UHF, Narrow Band FM", false, "0.00")),
       .calls = kLibraryTuningCalls,
       .err = no_board("orvctl-fakelib", 0)},
      {.name = "no rights to the peripherals",
       .env = {{"FAKE_BCM2835_INIT", "0"}},
       .out = kBanner,
       .calls = "init\n",
       .status = 1,
       .err = "bcm2835_init: Unable to open /dev/mem: Permission denied\n"},
      {.name = "SPI cannot be opened",
       .env = {{"FAKE_BCM2835_SPI_BEGIN", "0"}},
       .out = kBanner + R"(bcm2835_init() returned OK
SPI0 could not be opened: orvctl needs root (or the rights to /dev/mem); run it with sudo
calling bcm2835_close()
Done
)",
       .calls = "init\nspi_begin\nclose\n",
       .status = 1,
       .needs_begin_result = true},
      // Started through sudo: the user who ran it, for good, once SPI0 is set up; the bus and the
      // library's close work on. Without a runtime folder of the user's, none is set.
      {.name = "through sudo",
       .env = kSudoByNobody,
       .out = tuning_run,
       .calls = kSetUp + kTuning +
                who(nobody_uid, nobody_gid, " " + nobody_group, nobody_home, "nobody", "-") +
                "close\n",
       .needs_root = true},
      // A runtime folder is the user's only where the user owns it.
      {.name = "through sudo, the user's runtime folder",
       .env = kSudoByNobody,
       .out = tuning_run,
       .calls = kSetUp + kTuning +
                who(nobody_uid, nobody_gid, " " + nobody_group, nobody_home, "nobody",
                    "/run/user/" + nobody_ids) +
                "close\n",
       .needs_root = true,
       .runtime_folder = "/run/user/" + nobody_ids,
       .runtime_owner = nobody_uid},
      {.name = "through sudo, a runtime folder not the user's",
       .env = kSudoByNobody,
       .out = tuning_run,
       .calls = kSetUp + kTuning +
                who(nobody_uid, nobody_gid, " " + nobody_group, nobody_home, "nobody", "-") +
                "close\n",
       .needs_root = true,
       .runtime_folder = "/run/user/" + nobody_ids,
       .runtime_owner = 0},
      {.name = "sudo's user does not exist",
       .env = session(
           {{"SUDO_USER", "orvtest-no-such-user"}, {"SUDO_UID", "4242"}, {"SUDO_GID", "4242"}}),
       .out = refused("there is no user \"orvtest-no-such-user\" (SUDO_USER)"),
       .calls = kSetUp + as_root + "close\n",
       .status = 1,
       .needs_root = true},
      {.name = "sudo's user id is not the user's",
       .env = session({{"SUDO_USER", "nobody"}, {"SUDO_UID", "4242"}, {"SUDO_GID", nobody_group}}),
       .out = refused("the user \"nobody\" has the id " + nobody_ids + ", not 4242 (SUDO_UID)"),
       .calls = kSetUp + as_root + "close\n",
       .status = 1,
       .needs_root = true},
      {.name = "sudo's group is not one of the user's",
       .env = session({{"SUDO_USER", "nobody"}, {"SUDO_UID", nobody_ids}, {"SUDO_GID", "0"}}),
       .out = refused("the group 0 (SUDO_GID) is not one of the groups of \"nobody\""),
       .calls = kSetUp + as_root + "close\n",
       .status = 1,
       .needs_root = true},
      {.name = "sudo's variables in part",
       .env = session({{"SUDO_USER", "nobody"}}),
       .out = refused("SUDO_USER, SUDO_UID and SUDO_GID do not name a user and a group"),
       .calls = kSetUp + as_root + "close\n",
       .status = 1,
       .needs_root = true},
      // Root without sudo (a root shell, a system unit), or root that ran sudo: root it stays.
      {.name = "root without sudo",
       .env = session({}),
       .out = tuning_run,
       .calls = kSetUp + kTuning + as_root + "close\n",
       .needs_root = true},
      {.name = "sudo run by root",
       .env = session({{"SUDO_USER", "root"}, {"SUDO_UID", "0"}, {"SUDO_GID", "0"}}),
       .out = tuning_run,
       .calls = kSetUp + kTuning + as_root + "close\n",
       .needs_root = true},
      // A user (with sudo's variables left over, say) has nothing to give up.
      {.name = "a user already",
       .env = session({{"SUDO_USER", "orvtest-no-such-user"}}),
       .out = tuning_run,
       .calls = kSetUp + kTuning +
                who(nobody_uid, nobody_gid, " " + nobody_group, "/root", "root", "/run/user/0") +
                "close\n",
       .needs_root = true,
       .as_nobody = true},
      // Installed setuid root and started by a user: that user again once SPI0 is set up, whatever
      // sudo's variables say (the user may set them), with the groups and the environment the user
      // had.
      {.name = "setuid, started by a user",
       .env = session({}),
       .out = tuning_run,
       .calls = kSetUp + kTuning + as_nobody + "close\n",
       .needs_root = true,
       .as_nobody = true,
       .setuid_copy = true},
      {.name = "setuid, sudo's variables claiming root",
       .env = session({{"SUDO_USER", "root"}, {"SUDO_UID", "0"}, {"SUDO_GID", "0"}}),
       .out = tuning_run,
       .calls = kSetUp + kTuning + as_nobody + "close\n",
       .needs_root = true,
       .as_nobody = true,
       .setuid_copy = true},
      {.name = "setuid, sudo's variables in part",
       .env = session({{"SUDO_USER", "root"}}),
       .out = tuning_run,
       .calls = kSetUp + kTuning + as_nobody + "close\n",
       .needs_root = true,
       .as_nobody = true,
       .setuid_copy = true},
      {.name = "setuid, sudo's variables naming another user",
       .env = session({{"SUDO_USER", daemon->pw_name},
                       {"SUDO_UID", std::to_string(daemon->pw_uid)},
                       {"SUDO_GID", std::to_string(daemon->pw_gid)}}),
       .out = tuning_run,
       .calls = kSetUp + kTuning + as_nobody + "close\n",
       .needs_root = true,
       .as_nobody = true,
       .setuid_copy = true},
  };
  // A board whose replies are all 1 (its version 1.01), unless a case says otherwise.
  const Env kBoard = {{"FAKE_BCM2835_MISO", "1"}};
  std::string skipped =
      run_link_cases(dir, ORVCTL_FAKELIB_PATH, "FAKE_BCM2835_CALLS", cases, kBoard);
  // 1.45's bcm2835_spi_begin has no result.
  std::erase_if(cases, [](const LinkCase& c) { return c.needs_begin_result; });
  for (LinkCase& c : cases) {
    if (c.err.rfind("orvctl-fakelib: ", 0) == 0) {
      c.err.replace(0, std::strlen("orvctl-fakelib"), "orvctl-fakelib-1.45");
    }
  }
  skipped += run_link_cases(dir, ORVCTL_FAKELIB_145_PATH, "FAKE_BCM2835_CALLS", cases, kBoard);
  if (!skipped.empty()) {
    GTEST_SKIP() << "cases that could not run here:" << skipped;
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
  EXPECT_EQ(run.out, kBanner + kSpidevNotEnabled);
  EXPECT_EQ(run.status, 1);
}

// What the spidev stand-in records of a link that opens and sets up the device.
const std::string kSpidevSetup = R"(open /dev/spidev0.0
ioctl WR_MODE 0
ioctl RD_MODE 0
ioctl WR_BITS_PER_WORD 8
ioctl RD_BITS_PER_WORD 8
ioctl WR_LSB_FIRST 0
ioctl RD_LSB_FIRST 0
ioctl WR_MAX_SPEED_HZ 7812500
ioctl RD_MAX_SPEED_HZ 7812500
)";

// The set-up's calls up to its `calls`-th, which the device answered with `answer` instead (where
// given), then the close that follows a failed set-up.
std::string spidev_setup_until(size_t calls, const std::string& answer = "") {
  size_t end = 0;
  for (size_t i = 0; i < calls; ++i) {
    end = kSpidevSetup.find('\n', end) + 1;
  }
  std::string sent = kSpidevSetup.substr(0, end);
  if (!answer.empty()) {
    const size_t value = sent.rfind(' ') + 1;
    sent.replace(value, sent.size() - 1 - value, answer);
  }
  return sent + "close\n";
}

std::string spidev_message(int length) {
  return "message len " + std::to_string(length) + " speed 0 bits 0 cs_change 0 tx==rx 1\n";
}

TEST_F(TranscriptTest, BoardLinkOnSpidev) {
  // The version, control and frequency frames, then the close.
  const std::string tuning = spidev_message(5) + spidev_message(4) + spidev_message(8) + "close\n";
  const std::string tuning_run =
      kBanner + traced(tuned("700", "VHF/UHF, Narrow Band FM", false, "1.01"));
  const std::string set_up = kBanner + "bcm2835_init() returned OK\n";
  const std::string closed = "calling bcm2835_close()\nDone\n";
  const std::vector<LinkCase> cases = {
      {.name = "tuning run", .out = tuning_run, .calls = kSpidevSetup + tuning},
      {.name = "transfer limit unreadable",
       .env = {{"FAKE_SPIDEV_BUFSIZ", "none"}},
       .out = tuning_run,
       .calls = kSpidevSetup + tuning},
      {.name = "SPI not enabled",
       .env = {{"FAKE_SPIDEV_OPEN", "ENOENT"}},
       .out = kBanner + kSpidevNotEnabled,
       .calls = "open /dev/spidev0.0\n",
       .status = 1},
      {.name = "not in the group spi",
       .env = {{"FAKE_SPIDEV_OPEN", "EACCES"}},
       .out = kBanner + "SPI0 could not be opened: no permission for /dev/spidev0.0. Join the "
                        "group spi (sudo usermod -aG spi $USER), then log in again\n",
       .calls = "open /dev/spidev0.0\n",
       .status = 1},
      {.name = "device busy",
       .env = {{"FAKE_SPIDEV_OPEN", "EBUSY"}},
       .out = kBanner + "SPI0 could not be opened: /dev/spidev0.0: Device or resource busy\n",
       .calls = "open /dev/spidev0.0\n",
       .status = 1},
      {.name = "default transfer limit, tuning only",
       .env = {{"FAKE_SPIDEV_BUFSIZ", "4096\n"}},
       .out = tuning_run,
       .calls = kSpidevSetup + tuning},
      {.name = "default transfer limit, with sound",
       .env = {{"FAKE_SPIDEV_BUFSIZ", "4096\n"}},
       .args = {"-ds", "700"},
       .out = set_up + kSpidevTooShort4096 + closed,
       .calls = "open /dev/spidev0.0\nclose\n",
       .status = 1},
      // The device is opened after the console: no console text may go to it.
      {.name = "standard output and error closed",
       .out = "",
       .calls = kSpidevSetup + tuning,
       .status = 1,
       .console = Console::closed},
      {.name = "mode refused",
       .env = {{"FAKE_SPIDEV_REFUSE", "WR_MODE"}},
       .out = set_up +
              "SPI0 could not be set up: /dev/spidev0.0 refused mode 0: Invalid argument\n" +
              closed,
       .calls = spidev_setup_until(2),
       .status = 1},
      {.name = "mode unreadable",
       .env = {{"FAKE_SPIDEV_REFUSE", "RD_MODE"}},
       .out = set_up +
              "SPI0 could not be set up: /dev/spidev0.0 cannot report its mode: Invalid "
              "argument\n" +
              closed,
       .calls = spidev_setup_until(3),
       .status = 1},
      {.name = "word size ignored",
       .env = {{"FAKE_SPIDEV_KEEP", "WR_BITS_PER_WORD"}},
       .out = set_up +
              "SPI0 could not be set up: /dev/spidev0.0 kept bits per word 16 instead of 8\n" +
              closed,
       .calls = spidev_setup_until(5, "16"),
       .status = 1},
      {.name = "bit order ignored",
       .env = {{"FAKE_SPIDEV_KEEP", "WR_LSB_FIRST"}},
       .out = set_up + "SPI0 could not be set up: /dev/spidev0.0 kept LSB first 1 instead of 0\n" +
              closed,
       .calls = spidev_setup_until(7, "1"),
       .status = 1},
      {.name = "clock ignored",
       .env = {{"FAKE_SPIDEV_KEEP", "WR_MAX_SPEED_HZ"}},
       .out = set_up +
              "SPI0 could not be set up: /dev/spidev0.0 kept clock in Hz 125000000 instead of "
              "7812500\n" +
              closed,
       .calls = spidev_setup_until(9, "125000000"),
       .status = 1},
      {.name = "transfer refused",
       .env = {{"FAKE_SPIDEV_REFUSE", "MESSAGE"}},
       .out = set_up + "SPI0 transfer of 5 bytes failed: /dev/spidev0.0: Invalid argument\n",
       .calls = kSpidevSetup + spidev_message(5),
       .status = 1},
      {.name = "transfer cut short",
       .env = {{"FAKE_SPIDEV_REFUSE", "MESSAGE_SHORT"}},
       .out = set_up + "SPI0 transfer of 5 bytes failed: /dev/spidev0.0 exchanged 4\n",
       .calls = kSpidevSetup + spidev_message(5),
       .status = 1},
      {.name = "transfer too long for an unreadable limit",
       .env = {{"FAKE_SPIDEV_REFUSE", "MESSAGE_SIZE"}, {"FAKE_SPIDEV_BUFSIZ", "none"}},
       .out = set_up + "SPI0 transfers are limited by spidev.bufsiz and an audio block needs "
                       "24003: add spidev.bufsiz=32768 to the kernel command line "
                       "(/boot/firmware/cmdline.txt) and reboot\n",
       .calls = kSpidevSetup + spidev_message(5),
       .status = 1},
      {.name = "transfer too long for the controller, not for the limit",
       .env = {{"FAKE_SPIDEV_REFUSE", "MESSAGE_SIZE"}, {"FAKE_SPIDEV_BUFSIZ", "32768\n"}},
       .out = set_up + "SPI0 transfer of 5 bytes failed: /dev/spidev0.0: Message too long "
                       "(spidev.bufsiz is 32768 already: the SPI controller's driver refused it)\n",
       .calls = kSpidevSetup + spidev_message(5),
       .status = 1},
  };
  run_link_cases(dir, ORVCTL_FAKESPIDEV_PATH, "FAKE_SPIDEV_CALLS", cases,
                 {{"FAKE_SPIDEV_MISO", "1"}});
}

// With sound, the audio block is the one frame larger than spidev's default limit: it must still
// go as a single transfer, where the limit allows it, down to exactly one block.
TEST_F(TranscriptTest, SpidevAudioBlockIsOneTransfer) {
  const std::string config = dir + "/asound.conf";
  write_alsa_config(config, "pcm.!default { type null }");
  // Playback start, then a count, the block and the next count.
  const std::string played = kSpidevSetup + spidev_message(5) + spidev_message(4) +
                             spidev_message(8) + spidev_message(5) + spidev_message(6) +
                             spidev_message(24003) + spidev_message(6);
  const struct {
    const char* limit;
    std::string calls;
    int status;
    std::string out;  // after the banner
  } cases[] = {
      {"32768\n", played, 128 + SIGINT, "Firmware version is 255.255\n"},
      {"24003\n", played, 128 + SIGINT, "Firmware version is 255.255\n"},
      {"24002\n", "open /dev/spidev0.0\nclose\n", 1,
       "SPI0 transfers are limited to 24002 bytes (spidev.bufsiz) and an audio block needs 24003: "
       "add spidev.bufsiz=32768 to the kernel command line (/boot/firmware/cmdline.txt) and "
       "reboot\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    unlink((dir + "/calls").c_str());
    // Every reply byte 0xff: the board reports a full buffer at once.
    const ProcessResult run = run_process(ORVCTL_FAKESPIDEV_PATH, {"-s", "700"},
                                          {{"FAKE_SPIDEV_CALLS", dir + "/calls"},
                                           {"FAKE_SPIDEV_MISO", "255"},
                                           {"FAKE_SPIDEV_BUFSIZ", c.limit},
                                           {"ALSA_CONFIG_PATH", config},
                                           {"HOME", dir}},
                                          300);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out.substr(0, kBanner.size() + c.out.size()), kBanner + c.out) << run.out;
    // A refused run's calls are all there are; a playing run's go on until Ctrl-C.
    const std::string calls = read_file(dir + "/calls");
    EXPECT_EQ(c.status == 1 ? calls : calls.substr(0, c.calls.size()), c.calls);
  }
  unlink(config.c_str());
}

// One run per bus. While `holder` plays (the board's replies all 0xff: a full buffer at once, into
// a null output), every run of `others` refuses before its first frame, naming the holder by its
// process id and command line, and ends with status 1; the holder plays on as it would alone. Once
// the holder is killed (kill -9, which leaves no chance to clean up), the bus is free again.
struct BusRun {
  const char* name;
  std::string program;
  std::vector<std::string> args;
  Env env = {};
  std::string calls_variable;
  std::string calls;  // what the stand-in records of a refused run
};

void expect_one_run_per_bus(const std::string& dir, const BusRun& holder,
                            const std::vector<BusRun>& others) {
  const std::string device = dir + "/spidev0.0";  // the bus: every run's device, and its lock
  const std::string config = dir + "/asound.conf";
  write_alsa_config(config, "pcm.!default { type null }");
  chmod(dir.c_str(), 0755);  // for a holder that becomes another user
  chmod(config.c_str(), 0644);
  std::ofstream{device};
  const Env bus = {{"FAKE_SPIDEV_DEVICE", device},
                   {"FAKE_BUS_LOCK", dir + "/lock"},
                   {"ALSA_CONFIG_PATH", config},
                   {"HOME", dir}};
  Env env = holder.env;
  env.insert(env.end(), bus.begin(), bus.end());
  env.emplace_back(holder.calls_variable, dir + "/holder-calls");
  ProcessResult held;
  // Ctrl-C after 20 s, should the test fail before it kills the holder.
  std::thread player([&] { held = run_process(holder.program, holder.args, env, 20000); });
  // Until the holder has the bus.
  bool taken = false;
  for (int wait = 0; wait < 1000 && !taken; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    taken = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) {
      close(fd);  // and with it a lock this test may have taken
    }
  }
  EXPECT_TRUE(taken);
  long holder_pid = 0;
  for (const BusRun& other : others) {
    SCOPED_TRACE(other.name);
    unlink((dir + "/calls").c_str());
    Env other_env = other.env;
    other_env.insert(other_env.end(), bus.begin(), bus.end());
    other_env.emplace_back(other.calls_variable, dir + "/calls");
    // Ctrl-C after 5 s for a run that plays instead of being refused.
    const ProcessResult run = run_process(other.program, other.args, other_env, 5000);
    const std::string said = "SPI0 is in use by another run of orvctl (process ";
    if (run.out.substr(0, kBanner.size() + said.size()) != kBanner + said) {
      ADD_FAILURE() << "not refused: " << run.out;
      continue;
    }
    holder_pid = std::atol(run.out.c_str() + kBanner.size() + said.size());
    std::string command = holder.program;
    for (const std::string& arg : holder.args) {
      command += " " + arg;
    }
    const std::string rest = "); one run at a time may use it: stop that one first\n";
#ifdef ORVTEST_EMULATOR
    // The holder's command line is the emulator's, which ends with the program's own.
    EXPECT_NE(run.out.find(command + rest), std::string::npos) << run.out;
#else
    EXPECT_EQ(run.out, kBanner + said + std::to_string(holder_pid) + ": " + command + rest);
#endif
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(dir + "/calls"), other.calls);
    EXPECT_EQ(run.err, "");
  }
  if (holder_pid > 0) {
    kill(static_cast<pid_t>(holder_pid), SIGKILL);
  }
  player.join();
  EXPECT_EQ(held.status, 128 + SIGKILL);
  EXPECT_EQ(held.out, kBanner + tuned("700", "VHF/UHF, Narrow Band FM", true, "255.255"));
  // Its frames: none but its own, block after block.
  const std::string calls = read_file(dir + "/holder-calls");
  EXPECT_EQ(calls.substr(0, holder.calls.size()), holder.calls);
  // The bus is free: a run goes ahead.
  Env after = others[0].env;
  after.insert(after.end(), bus.begin(), bus.end());
  const ProcessResult later = run_process(others[0].program, {"0"}, after);
  EXPECT_EQ(later.status, 0) << later.out;
}

// Who holds the bus, as a refused run names it: the process that the kernel's table of locks shows
// holding the device's lock, its command line made safe for a terminal; nobody where the one that
// took the lock has gone (its descendant holds it); never a process with a lock of another kind,
// which does not stand in the way. A user who may not open the device cannot hold it.
TEST_F(TranscriptTest, BusHolderNamedOnlyWhenKnown) {
  const std::string device = dir + "/spidev0.0";
  const std::string rest = "; one run at a time may use it: stop that one first\n";
  const std::string in_use = kBanner + "SPI0 is in use by another run of orvctl";
  const std::string flock_line = " (process PID: flock -n " + device + " -c sleep 30 #?[2J?)";
  const struct {
    const char* name;
    std::vector<std::string> holder;  // takes the lock, then keeps it
    bool posix_lock = false;          // a lock of the test's own of another kind, first
    bool as_nobody = false;           // the holder runs as nobody, who may not open the device
    std::string out;                  // PID: the holder's process id
    int status = 1;
  } cases[] = {
      {.name = "flock(1), its command line with a terminal's escapes",
       .holder = {"flock", "-n", device, "-c", "sleep 30 #\x1b[2J\a"},
       .out = in_use + flock_line + rest},
      {.name = "... beside a POSIX lock of another process",
       .holder = {"flock", "-n", device, "-c", "sleep 30 #\x1b[2J\a"},
       .posix_lock = true,
       .out = in_use + flock_line + rest},
      {.name = "the process that took it gone, its child holding it",
       .holder = {"sh", "-c", "exec 9<\"$0\"; flock -n 9; exec sleep 30", device},
       .out = in_use + rest},
      {.name = "a POSIX lock alone", .holder = {}, .posix_lock = true, .out = "", .status = 0},
      {.name = "a user who may not open the device",
       .holder = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "flock", "-n",
                  device, "sleep", "30"},
       .as_nobody = true,
       .out = "",
       .status = 0},
  };
  // The kernel keeps its table of locks a list for each processor, the newest first.
  cpu_set_t before;
  sched_getaffinity(0, sizeof before, &before);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &before)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  sched_setaffinity(0, sizeof one, &one);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.as_nobody && geteuid() != 0) {
      continue;  // only root can start a run as another user
    }
    std::ofstream{device};
    chmod(device.c_str(), 0600);
    pid_t holder = 0;
    if (!c.holder.empty()) {
      holder = fork();
      if (holder == 0) {
        setpgid(0, 0);  // its own group, so that whatever it starts ends with it
        std::vector<char*> argv;
        for (const std::string& arg : c.holder) {
          argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
      }
      // Until it holds the lock, or has given up.
      bool held = false;
      for (int wait = 0; wait < 500 && !held; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
        held = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        int status = 0;
        if (c.as_nobody && waitpid(holder, &status, WNOHANG) == holder) {
          EXPECT_NE(WEXITSTATUS(status), 0);  // flock(1) could not open it
          holder = 0;
          break;
        }
      }
      EXPECT_EQ(held, !c.as_nobody);
    }
    // Taken after the holder's, on the same processor: the kernel lists it first.
    const int posix = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock shared {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    ASSERT_EQ(!c.posix_lock || fcntl(posix, F_SETLK, &shared) == 0, true);
    const ProcessResult run = run_process(
        ORVCTL_FAKESPIDEV_PATH, {"0"}, {{"FAKE_SPIDEV_DEVICE", device}, {"FAKE_SPIDEV_MISO", "1"}});
    std::string out = c.out;
    if (const size_t at = out.find("PID"); at != std::string::npos) {
      out.replace(at, 3, std::to_string(holder));
    }
    if (c.status == 0) {
      EXPECT_EQ(run.out.find("SPI0"), std::string::npos) << run.out;
    } else {
      EXPECT_EQ(run.out, out);
    }
    EXPECT_EQ(run.status, c.status);
    if (holder > 0) {
      kill(-holder, SIGKILL);
      waitpid(holder, nullptr, 0);
    }
    close(posix);
    unlink(device.c_str());
  }
  sched_setaffinity(0, sizeof before, &before);
}

// The runs refused while another plays: either build, a tuning run or one with sound.
std::vector<BusRun> refused_runs() {
  return {{.name = "spidev, a tuning run",
           .program = ORVCTL_FAKESPIDEV_PATH,
           .args = {"-w", "700"},
           .env = {{"FAKE_SPIDEV_MISO", "1"}},
           .calls_variable = "FAKE_SPIDEV_CALLS",
           .calls = "open /dev/spidev0.0\nclose\n"},
          {.name = "bcm2835, with sound",
           .program = ORVCTL_FAKELIB_PATH,
           .args = {"-s", "145500"},
           .env = {{"FAKE_BCM2835_MISO", "1"}},
           .calls_variable = "FAKE_BCM2835_CALLS",
           .calls = "init\nclose\n"}};
}

TEST_F(TranscriptTest, OneRunPerBus) {
  expect_one_run_per_bus(
      dir,
      {.name = "spidev, playing",
       .program = ORVCTL_FAKESPIDEV_PATH,
       .args = {"-s", "700"},
       .env = {{"FAKE_SPIDEV_MISO", "255"}},
       .calls_variable = "FAKE_SPIDEV_CALLS",
       .calls = kSpidevSetup + spidev_message(5) + spidev_message(4) + spidev_message(8) +
                spidev_message(5) + spidev_message(6) + spidev_message(24003) + spidev_message(6)},
      refused_runs());
}

// The bcm2835 build through sudo takes the bus as root and keeps it once it has become the user.
TEST_F(TranscriptTest, OneRunPerBusThroughSudo) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "sudo's change of user needs root";
  }
#ifdef ORVTEST_EMULATOR
  GTEST_SKIP() << "the emulator's own start-up would run as root";
#endif
  const passwd* const nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  // The stand-in opens its record as root, before the change.
  expect_one_run_per_bus(
      dir,
      {.name = "bcm2835 through sudo, playing",
       .program = ORVCTL_FAKELIB_PATH,
       .args = {"-s", "700"},
       .env = {{"FAKE_BCM2835_MISO", "255"},
               {"SUDO_USER", "nobody"},
               {"SUDO_UID", std::to_string(nobody->pw_uid)},
               {"SUDO_GID", std::to_string(nobody->pw_gid)}},
       .calls_variable = "FAKE_BCM2835_CALLS",
       .calls = kLibraryTuningCalls.substr(0, kLibraryTuningCalls.size() - std::strlen("close\n")) +
                "spi_transfern 5\nspi_transfern 6\nspi_transfern 24003\n"},
      refused_runs());
}

// The text that a call at `at` of `source` writes: the string literals that follow the call's
// opening parenthesis (after `stderr,` for fprintf), joined, with their escapes of newline and
// quote undone.
std::string literal_after(const std::string& source, size_t at) {
  std::string text;
  size_t i = source.find('(', at) + 1;
  for (;;) {
    while (i < source.size() && std::isspace(static_cast<unsigned char>(source[i]))) {
      ++i;
    }
    if (source.compare(i, 7, "stderr,") == 0) {
      i += 7;
      continue;
    }
    if (i >= source.size() || source[i] != '"') {
      return text;
    }
    for (++i; i < source.size() && source[i] != '"'; ++i) {
      if (source[i] == '\\') {
        const char escaped = source[++i];
        text += escaped == 'n' ? '\n' : escaped;
      } else {
        text += source[i];
      }
    }
    ++i;
  }
}

// The man page is the reference for messages: every message the program writes (standard output
// and standard error, the libraries' own aside) is in it, up to its first placeholder.
TEST(ManPage, HasEveryMessage) {
  const ProcessResult page = run_process(
      "/bin/sh", {"-c", "groff -man -Tascii -rLL=4000n " ORVCTL_MANPAGE " 2>/dev/null | col -bx"});
  if (page.status != 0 || page.out.empty()) {
    GTEST_SKIP() << "groff cannot render the man page here";
  }
  std::string rendered;  // its words, one space apart
  for (const char c : page.out) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      rendered += c;
    } else if (!rendered.empty() && rendered.back() != ' ') {
      rendered += ' ';
    }
  }
  size_t checked = 0;
  for (const char* file : {"driver.cpp", "cli/command_line.cpp", "common/console.cpp",
                           "board/link_bcm2835.cpp", "board/link_spidev.cpp", "board/bus_lock.cpp",
                           "board/leave_root.cpp", "audio/playback_relay.cpp", "audio/metrics.cpp",
                           "record/orvctl_record.cpp", "record/writer.cpp", "record/folder.cpp",
                           "record/record_metrics.cpp", "record/retention.cpp"}) {
    const std::string source = read_file(std::string(ORVCTL_SOURCE_DIR) + "/" + file);
    ASSERT_FALSE(source.empty()) << file;
    // (refuse() gives the reason of "orvctl could not become ...", which the page sums up.)
    for (const char* call :
         {"say(", "say_line(", "say_of_board(", "fprintf(stderr", "record_say("}) {
      for (size_t at = source.find(call); at != std::string::npos; at = source.find(call, at + 1)) {
        const bool standard = at >= 5 && source.compare(at - 5, 5, "std::") == 0;
        if (!standard && at > 0 &&
            (std::isalnum(static_cast<unsigned char>(source[at - 1])) || source[at - 1] == '_' ||
             source[at - 1] == ':')) {
          continue;  // another function, or the name's own definition
        }
        std::string text = literal_after(source, at);
        if (text.rfind("%s: ", 0) == 0) {
          text.erase(0, 4);  // the program's name
        }
        text = text.substr(0, text.find_first_of("%\n"));
        if (const size_t dots = text.find(". "); dots != std::string::npos) {
          text.erase(dots + 1);  // the page may sum up the advice that follows
        }
        while (!text.empty() && text.back() == ' ') {
          text.pop_back();
        }
        if (text.size() < 8 || text.rfind("    -", 0) == 0) {
          continue;  // a placeholder alone, a word, or a letter of the usage text
        }
        ++checked;
        EXPECT_NE(rendered.find(text), std::string::npos) << file << ": \"" << text << "\"";
      }
    }
  }
  EXPECT_GE(checked, 30u);
}

}  // namespace

// Every knob that orvctl-sim reads is in the manual page and in the simulator's page.
TEST(ManPage, NamesEveryKnob) {
  const std::string source = read_file(std::string(ORVCTL_SOURCE_DIR) + "/sim/sim_knobs.cpp");
  size_t knobs = 0;
  for (size_t at = source.find("\"ORVSIM_"); at != std::string::npos;
       at = source.find("\"ORVSIM_", at + 1)) {
    const std::string knob = source.substr(
        at + 1, source.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_", at + 1) - at - 1);
    ++knobs;
    for (const std::string& page : {std::string(ORVCTL_MANPAGE),
                                    std::string(ORVCTL_SOURCE_DIR) + "/docs/simulated-board.md"}) {
      const std::string text = read_file(page);
      bool named = false;  // as a whole word: not the start of a longer name
      for (size_t at = text.find(knob); at != std::string::npos && !named;
           at = text.find(knob, at + 1)) {
        const char next = at + knob.size() < text.size() ? text[at + knob.size()] : ' ';
        named = !std::isupper(static_cast<unsigned char>(next)) && next != '_';
      }
      EXPECT_TRUE(named) << page << ": " << knob;
    }
  }
  EXPECT_GE(knobs, 15u);
}

// A copy block is found by its name alone, in whichever document: a name marks one block, or the
// same block where it must stand twice (the README's recipes in the man page, which a package
// installs alone).
TEST(Documents, EachCopyBlockNamedOnce) {
  std::vector<std::string> documents = {std::string(ORVCTL_SOURCE_DIR) + "/README.md",
                                        ORVCTL_MANPAGE};
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ORVCTL_SOURCE_DIR) + "/docs")) {
    if (entry.path().extension() == ".md") {
      documents.push_back(entry.path().string());
    }
  }
  std::vector<std::pair<std::string, std::string>> seen;  // name, document
  for (const std::string& document : documents) {
    std::ifstream in(document);
    for (std::string line; std::getline(in, line);) {
      for (const std::string mark : {"<!-- copy: ", ".\\\" copy: "}) {
        if (line.rfind(mark, 0) != 0) {
          continue;
        }
        std::string name = line.substr(mark.size());
        name = name.substr(0, name.find(' '));
        for (const auto& [other, where] : seen) {
          if (other == name) {
            EXPECT_EQ(copied_block(document, name), copied_block(where, name))
                << name << " marks two blocks: " << document << " and " << where;
          }
        }
        seen.emplace_back(name, document);
      }
    }
  }
  EXPECT_GE(seen.size(), 40u);
}

// A fact that must stand in more than one place (the man page and the unit are installed alone; the
// README's steps; the program's own message) says the same everywhere, and what the code does
// where the code has it. Each row: where, the words around the figure, and the figure expected
// ("" for: as the other rows of the same fact say).
TEST(Documents, FactsThatStandTwiceAgree) {
  struct Place {
    const char* fact;
    std::string file;   // under the sources, or the built man page
    const char* words;  // a regular expression whose group is the figure
    std::string expected;
  };
  const std::string man = ORVCTL_MANPAGE;
  const std::string ppm_max = std::to_string(kClockMaxRate * 1000000 / kBlockSamples);
  const std::string ppm_all = std::to_string(kClockMaxEdits * 1000000 / kBlockSamples);
  const std::string band_ms = std::to_string(int(kClockDeadBand) * 1000 / int(kSampleRate));
  const std::string half_ms = std::to_string(int(kClockDeadBand) * 500 / int(kSampleRate));
  const Place places[] = {
      {"audio block", "README.md", "an audio block is one (\\d+)-byte transfer",
       std::to_string(kAudioFrameLength)},
      {"audio block", man, "An audio block takes (\\d+) bytes", std::to_string(kAudioFrameLength)},
      {"bufsiz", "README.md", "Add ` spidev.bufsiz=(\\d+)`", ""},
      {"bufsiz", man, "\\.B spidev.bufsiz=(\\d+) to the kernel command line", ""},
      {"bufsiz", "docs/building.md", "`spidev.bufsiz=(\\d+)` on the kernel's command line", ""},
      {"bufsiz", "board/link_spidev.cpp", "add spidev.bufsiz=(\\d+) to the kernel", ""},
      {"spidev's clock", man, "a spidev build asks for ([0-9.]+) MHz", "7.8125"},
      {"spidev's clock", "board/link_spidev.cpp", "kClockHz = (\\d+);", "7812500"},
      {"simulated bus", man, "as it would on SPI0 at ([0-9.]+) MHz", "7.8125"},
      {"simulated bus", "docs/simulated-board.md", "on the Pi's SPI0 at ([0-9.]+) MHz", "7.8125"},
      {"simulated bus", "docs/simulated-board.md", "`ORVSIM_SPI_HZ` \\|[^|]*\\| `(\\d+)`",
       "7812500"},
      {"simulated bus", "sim/sim_board.h", "spi_hz = (\\d+);", "7812500"},
      {"restart", "README.md", "starts again (\\d+) s after a failure", ""},
      {"restart", man, "starts again (\\d+) seconds after it ends with status 1", ""},
      {"restart", "systemd/orvctl@.service.in", "RestartSec=(\\d+)", ""},
      {"restart", "systemd/user/orvctl@.service.in", "RestartSec=(\\d+)", ""},
      {"watchdog", man, "delivers nothing for (\\d+) seconds", ""},
      {"watchdog", "systemd/orvctl@.service.in", "WatchdogSec=(\\d+)s", ""},
      {"watchdog", "systemd/user/orvctl@.service.in", "WatchdogSec=(\\d+)s", ""},
      {"reach", man, "up to 12 a block \\((\\d+) ppm\\)", ppm_max},
      {"reach", "docs/relay.md", "up to 12 a block \\((\\d+) ppm\\)", ppm_max},
      {"reach in all", man, "(\\d+) ppm apart", ppm_all},
      {"reach in all", "docs/relay.md", "(\\d+) ppm in all", ppm_all},
      {"followed from", man, "follows a drift from about (\\d+) ppm on", ""},
      {"followed from", "docs/relay.md", "\\((\\d+) ppm\\) and lets go", ""},
      {"let go below", man, "one that falls below (\\d+) ppm", ""},
      {"let go below", "docs/relay.md", "lets go of one below 0.1 \\((\\d+) ppm\\)", ""},
      {"dead band", man, "A backlog of more than (\\d+) ms", band_ms},
      {"dead band", "docs/relay.md", "More than (\\d+) ms away from the set point", band_ms},
      {"back to", man, "back to (\\d+) ms from the set point", half_ms},
      {"back to", "docs/relay.md", "beyond the drift, back to (\\d+) ms", half_ms},
      {"dmix", man, "ALSA's usual dmix: (\\d+)", ""},
      {"dmix", "docs/sound.md", "A card's own dmix \\(a USB card's, say\\) holds (\\d+) samples",
       ""},
      {"dmix", "docs/relay.md", "ALSA's dmix of (\\d+) samples", ""},
      {"dmix", "docs/testing.md", "the card's own dmix of (\\d+)", ""},
  };
  std::vector<std::pair<std::string, std::string>> said;  // fact, figure
  for (const Place& place : places) {
    const std::string path =
        place.file.front() == '/' ? place.file : std::string(ORVCTL_SOURCE_DIR) + "/" + place.file;
    // Lines joined, so that words broken across lines are found.
    std::string text = std::regex_replace(read_file(path), std::regex("\\n(?!\\|)"), " ");
    text = std::regex_replace(text, std::regex(" +"), " ");
    std::smatch found;
    if (!std::regex_search(text, found, std::regex(place.words))) {
      ADD_FAILURE() << place.fact << ": " << path << " has no \"" << place.words << "\"";
      continue;
    }
    const std::string figure = found[1];
    if (!place.expected.empty()) {
      EXPECT_EQ(figure, place.expected) << place.fact << " in " << path;
    }
    for (const auto& [fact, other] : said) {
      if (fact == place.fact && place.expected.empty()) {
        EXPECT_EQ(figure, other) << place.fact << " in " << path;
      }
    }
    said.emplace_back(place.fact, figure);
  }
}

// The README's first check shows what `orvctl 0` prints, banner and all.
TEST(Documents, FirstCheckAsTheReadmeShowsIt) {
  const std::string readme = read_file(ORVCTL_README);
  const size_t from = readme.find("```\nOrvane RF tuning utility");
  ASSERT_NE(from, std::string::npos);
  const std::string shown = readme.substr(from + 4, readme.find("```", from + 4) - from - 4);
  ASSERT_EQ(copied_block(ORVCTL_README, "first-check"), "orvctl 0\n");
  const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"0"}, {{"ORVSIM_SPI_HZ", "0"}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, shown);
}
