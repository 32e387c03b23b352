// Whole runs of orvctl-sim with the letter s, through the real ALSA library. Each run gets an ALSA
// configuration of its own (ALSA_CONFIG_PATH), so no system file decides where "default" goes.
// What the program wrote is captured by ALSA's file plugin and compared block by block with what
// the simulated board sent (the CRC-32 of each audio block in its frame log).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/alsa_config.h"
#include "testing/at_rest.h"
#include "testing/documents.h"
#include "testing/run_process.h"
#include "testing/transcript.h"

namespace {

const std::string kTuned700 = tuned("700", "VHF/UHF, Wide Band FM", true);
const std::string kTunedFrames700 = "01 00 60 00 00\n00 00 40 02\n00 00 f0 bc 02 00 00 a0\n";
constexpr size_t kBlockBytes = 24000;
// The simulated board as on a Pi, in simulated time.
const EnvList kSimulatedBoard = {
    {"ORVSIM_CLOCK", "simulated"}, {"ORVSIM_RATE", "48000"}, {"ORVSIM_SPI_HZ", "7812500"}};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

size_t count_lines_starting(const std::string& text, const std::string& start) {
  size_t count = 0;
  for (const std::string& line : lines_of(text)) {
    count += line.rfind(start, 0) == 0 ? 1 : 0;
  }
  return count;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// The CRC-32 of each audio block the board sent, in order.
std::vector<std::string> sent_blocks(const std::string& frame_log) {
  std::vector<std::string> crcs;
  for (const std::string& line : lines_of(frame_log)) {
    const size_t at = line.find(" crc32=");
    if (at != std::string::npos) {
      crcs.push_back(line.substr(at + 7));
    }
  }
  return crcs;
}

// The CRC-32 of each whole block the sound output received; a partial block at the end is an
// error of its own.
std::vector<std::string> played_blocks(const std::string& pcm) {
  EXPECT_EQ(pcm.size() % kBlockBytes, 0u) << "the output received a partial block";
  std::vector<std::string> crcs;
  for (size_t at = 0; at + kBlockBytes <= pcm.size(); at += kBlockBytes) {
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(pcm.data() + at), static_cast<uInt>(kBlockBytes));
    char text[9];
    std::snprintf(text, sizeof text, "%08lx", crc);
    crcs.emplace_back(text);
  }
  return crcs;
}

// The program's own messages after the announcement, without the per-block traces.
std::vector<std::string> relay_messages(const std::string& out) {
  std::vector<std::string> messages;
  bool relaying = false;
  for (const std::string& line : lines_of(out)) {
    if (relaying && line.rfind("RSSI = ", 0) != 0 && line.rfind("Buffer count = ", 0) != 0) {
      messages.push_back(line);
    }
    relaying = relaying || line == "Playback enabled: Ctrl-C to exit";
  }
  return messages;
}

class RelayTest : public testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // The environment of a run whose ALSA configuration is `config`, on top of the test device's
  // type. The simulated board fills at once and its bus takes no time, so the output sets the
  // pace.
  EnvList setup(const std::string& config, EnvList extra = {}) {
    write_alsa_config(dir + "/asound.conf", config);
    EnvList env = {{"ALSA_CONFIG_PATH", dir + "/asound.conf"},
                   {"HOME", dir},
                   {"ORVSIM_LOG", dir + "/frames"},
                   {"ORVSIM_RATE", "1000000000"},
                   {"ORVSIM_SPI_HZ", "0"}};
    for (const auto& [name, value] : extra) {
      std::erase_if(env, [&](const auto& entry) { return entry.first == name; });
      env.emplace_back(name, value);
    }
    return env;
  }
  // "default" is the test device under a file plugin that keeps everything it took.
  std::string captured_device(const std::string& device_fields) {
    return "pcm.!default { type file; slave.pcm \"card\"; file \"" + dir +
           "/played.raw\"; format \"raw\" }\n"
           "pcm.card { type orvtest; speed 4; report \"" +
           dir + "/report\"; " + device_fields + " }";
  }
  // The environment of a run into that device in simulated time: its waits for room move a clock
  // that the board (filling at its rate, its bus at 7.8125 MHz) and the relay share, so that what
  // it sees does not depend on how busy the machine is.
  std::string simulated_device(const std::string& device_fields) {
    return "pcm.!default { type file; slave.pcm \"card\"; file \"" + dir +
           "/played.raw\"; format \"raw\" }\n"
           "pcm.card { type orvtest; clock \"simulated\"; report \"" +
           dir + "/report\"; " + device_fields + " }";
  }
  EnvList simulated_capture(const std::string& device_fields) {
    return setup(simulated_device(device_fields), kSimulatedBoard);
  }
  std::string frames() { return read_file(dir + "/frames"); }
  std::string played() { return read_file(dir + "/played.raw"); }
  std::string report() { return read_file(dir + "/report"); }

  std::string dir;
};

struct OutputFailureCase {
  const char* name;
  const char* config;
  std::string out;
  int status;
};

TEST_F(RelayTest, OutputThatCannotBeOpenedOrConfiguredEndsTheRun) {
  const OutputFailureCase cases[] = {
      {"no default device", "", "Playback open error: No such file or directory\n", 1},
      {"refuses the parameters",
       "pcm.null { type null }\n"
       "pcm.!default { type mulaw; slave { pcm \"null\"; format S16_LE } }",
       "Playback open error: Invalid argument\n", 1},
  };
  for (const OutputFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir + "/frames");
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"-dws", "700"}, setup(c.config));
    // Nothing is closed on the way out, so there are no closing traces either.
    EXPECT_EQ(run.out, kBanner + "bcm2835_init() returned OK\n" + kTuned700 + c.out);
    EXPECT_EQ(run.status, c.status);
    // The board was tuned but never told to play.
    EXPECT_EQ(frames(), kTunedFrames700);
  }
}

// An output that fails for good ends the run as a failure: a service manager must see it. The
// output may be a pipe (a stream encoder behind ALSA's file plugin): one that breaks fails the
// write, and does not end the run by SIGPIPE, which a service manager counts as a clean stop.
TEST_F(RelayTest, OutputThatBreaksClosesAndEndsTheRunWithStatus1) {
  const struct {
    const char* name;
    std::string config;
    size_t blocks;  // sent by the board before the output broke; 0: as many as the pipe took
  } cases[] = {
      {"the output's device fails", simulated_device("fail_at 0"), 1},
      {"a pipe whose reader ends after two blocks",
       "pcm.!default { type file; slave.pcm \"card\"; file \"| head -c 48000 >/dev/null\"; "
       "format \"raw\" }\n"
       "pcm.card { type orvtest; clock \"simulated\" }",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir + "/frames");
    const ProcessResult run =
        run_process(ORVCTL_SIM_PATH, {"-ws", "700"}, setup(c.config, kSimulatedBoard));
    EXPECT_EQ(run.out, kBanner + kTuned700 + "snd_pcm_writei failed: Input/output error\n");
    EXPECT_EQ(run.status, 1);
    const std::string log = frames();
    ASSERT_EQ(log.rfind(kTunedFrames700 + "00 00 56 01 80\n01 00 54 ", 0), 0u) << log;
    if (c.blocks != 0) {
      EXPECT_EQ(sent_blocks(log).size(), c.blocks);
      EXPECT_EQ(played(), "");
      EXPECT_NE(report().find("close after 0 frames"), std::string::npos) << report();
    } else {
      EXPECT_GT(sent_blocks(log).size(), 2u);
    }
  }
}

struct FaultCase {
  const char* name;
  std::string fault;
  std::vector<std::string> messages;  // the program's messages, in order
  size_t recovered;                   // conditions the library reports and recovers from
  int dropped;                        // index of the block given up, or -1
};

TEST_F(RelayTest, EveryBlockReachesTheOutputThroughFaults) {
  const std::string kFailed = "snd_pcm_writei failed: Input/output error";
  const std::string kGivenUp =
      "Sound output took nothing in 3 attempts: 12000 samples of this block dropped";
  // The third block meets the fault: the first two fill the output's buffer and start it.
  const FaultCase cases[] = {
      {"no fault", "", {kFailed}, 0, -1},
      {"short write",
       "fault \"short\" fault_at 27000",
       {"Short write (expected 12000, wrote 3000)", kFailed},
       0,
       -1},
      {"underrun", "fault \"underrun\" fault_at 30000", {kFailed}, 1, -1},
      {"refused twice", "fault \"refuse\" fault_at 30000 fault_count 2", {kFailed}, 2, -1},
      {"refused three times",
       "fault \"refuse\" fault_at 30000 fault_count 3",
       {kGivenUp, kFailed},
       3,
       2},
  };
  constexpr size_t kBlocksTaken = 8;
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir + "/frames");
    std::filesystem::remove(dir + "/played.raw");
    const std::string fields = c.fault + " fail_at " + std::to_string(kBlocksTaken * 12000);
    const ProcessResult run =
        run_process(ORVCTL_SIM_PATH, {"-rs", "145500"}, simulated_capture(fields));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(relay_messages(run.out), c.messages) << run.out;
    EXPECT_EQ(count_of(run.err, "underrun occurred"), c.recovered) << run.err;

    std::vector<std::string> expected = sent_blocks(frames());
    // One status line per block, before each block's polling.
    EXPECT_EQ(count_lines_starting(run.out, "RSSI = 40, AGC = 175, 00 01"), expected.size());
    EXPECT_EQ(count_of(frames(), "01 00 f8 00 00 00 00\n01 00 54"), expected.size());
    if (c.dropped >= 0) {
      expected.erase(expected.begin() + c.dropped);
    }
    ASSERT_GT(expected.size(), kBlocksTaken);  // the last one met the broken output
    expected.resize(kBlocksTaken);
    EXPECT_EQ(played_blocks(played()), expected);
  }
}

TEST_F(RelayTest, BufferCountTracedAtEveryPoll) {
  const ProcessResult run =
      run_process(ORVCTL_SIM_PATH, {"-ds", "145500"}, simulated_capture("fail_at 36000"));
  EXPECT_EQ(run.status, 1);
  const std::string log = frames();
  EXPECT_EQ(count_lines_starting(run.out, "Buffer count = "), count_of(log, "01 00 54"));
  // A block is fetched at the first count of 12000 or more, and only then.
  std::vector<std::string> traces;
  for (const std::string& line : lines_of(run.out)) {
    if (line.rfind("Buffer count = ", 0) == 0) {
      traces.push_back(line);
    }
  }
  size_t full = 0;
  for (const std::string& trace : traces) {
    full += std::stoul(trace.substr(15), nullptr, 16) >= 12000 ? 1 : 0;
  }
  EXPECT_EQ(full, sent_blocks(log).size());
  EXPECT_EQ(run.out.substr(run.out.size() - 71),
            "snd_pcm_writei failed: Input/output error\ncalling bcm2835_close()\nDone\n");
}

TEST_F(RelayTest, OutputIsGivenTwoBlocksOfBuffer) {
  const struct {
    const char* name;
    std::string config;
    const char* prepared;
  } cases[] = {
      {"the device itself", simulated_device("fail_at 48000"), "buffer 24000 period 6000 rw"},
      // ALSA's rate converter writes to its slave through mmap.
      {"through a rate converter",
       "pcm.!default { type rate; slave { pcm \"card\"; rate 48000 } }\n"
       "pcm.card { type orvtest; clock \"simulated\"; fail_at 48000; report \"" +
           dir + "/report\" }",
       "buffer 24000 period 6000 mmap"},
      // A card that offers only a larger buffer still starts at two blocks: the rest of its
      // buffer is room above where the queue settles.
      {"a card with a larger buffer", simulated_device("fail_at 48000; buffer 32768"),
       "buffer 32768 period 8192 rw"},
      // One that cannot overwrite what it played with silence still starts at two blocks.
      {"a card that refuses the silence",
       simulated_device("fail_at 48000; buffer 32768; refuse_silence 1"),
       "buffer 32768 period 8192 rw\nrefused a silence size"},
      // A buffer in whole periods of 1024, as ALSA's dmix has it, is first rounded down to less
      // than two blocks, and then asked for more.
      {"a card with periods of 1024", simulated_device("fail_at 48000; period 1024"),
       "buffer 23552 period 1024 rw\nprepare buffer 48128 period 1024 rw"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir + "/report");
    const ProcessResult run =
        run_process(ORVCTL_SIM_PATH, {"-s", "700"}, setup(c.config, kSimulatedBoard));
    EXPECT_EQ(run.status, 1);
    // 500 ms: a block can be written while the one before it is still queued whole, and the
    // output starts once both are there.
    EXPECT_EQ(report(), std::string("prepare ") + c.prepared +
                            "\nstart at 24000\nfailing at 48000\nclose after 48000 frames, 0 "
                            "underruns\n");
  }
}

// Runs in simulated time: the simulated board, the test output and the relay share one clock,
// which moves only by what takes time in the real system (each SPI frame at 7.8125 MHz, a wait for
// room in the output) and by the upsets a case asks for. A run is the same on a busy machine as on
// a quiet one, and an hour of audio takes seconds. The board plays its ramp and the output follows
// it sample by sample; it reports each minute of audio: the edits, anything lost or played again,
// its underruns and the delay from board to output.

// Upsets, as the rows give them.
Upset stall(double at, int ms) {
  return {Upset::stall, at, ms};
}
Upset gap(double at, int ms) {
  return {Upset::gap, at, ms};
}
Upset step(double at, int ppm) {
  return {Upset::step, at, ppm};
}
Upset restart(double at) {
  return {Upset::restart, at};
}

struct HoursCase {
  std::string name;
  int ppm;               // the output's clock: + fast (its queue drains), - slow
  const char* position;  // "exact" or "period"
  int minutes = 60;
  int buffer = 0;  // the output's buffer in frames; 0: what it grants for 500 ms (24000)
  int period = 0;  // its period in frames; 0: what it grants
  std::vector<Upset> upsets = {};
  bool quiet = false;       // without the noise of a real system (kNoise)
  uint64_t seed = 0;        // the noise's random numbers; 0: drawn from the name
  std::string device = "";  // further fields of the test output
};

// The noise of a real system, on the output and on the host, unless a case is quiet. A Pi's USB
// card moves its position in the bus's frames of 1 ms (48 samples) and holds a couple of them in
// flight; wake-ups come up to 2 ms late on a loaded Pi; ALSA's calls are preempted now and then
// for up to 3 ms, the tool between two frames for up to 20 ms (another process, a write to the SD
// card).
const char* const kNoiseFields = "jitter 48; fifo 96; wake_late 2000; preempt \"4:3000\"";
const char* const kHostPreemption = "2:20";

// The seed of a case's noise: its own, or one drawn from its name (FNV-1a).
uint64_t seed_of(const HoursCase& c) {
  if (c.seed != 0) {
    return c.seed;
  }
  uint64_t hash = 14695981039346656037ULL;
  for (const char letter : c.name) {
    hash = (hash ^ static_cast<uint8_t>(letter)) * 1099511628211ULL;
  }
  return hash % 1000000007;
}

std::string describe(const HoursCase& c) {
  std::string text = c.name + ": " + std::to_string(c.ppm) + " ppm, " + c.position + ", " +
                     std::to_string(c.minutes) + " min, " +
                     (c.quiet ? std::string("quiet") : "noise seed " + std::to_string(seed_of(c)));
  for (const Upset& u : c.upsets) {
    static const char* const kKinds[] = {"stall", "gap", "step", "restart"};
    text += std::string(", ") + kKinds[u.kind] + " at " + std::to_string(u.at) + " s (" +
            std::to_string(u.value) + ")";
  }
  return text;
}

// How gtest shows a case.
void PrintTo(const HoursCase& c, std::ostream* out) {
  *out << describe(c);
}

struct Band {
  int64_t low_us, high_us;
};

class SimulatedTimeTest : public RelayTest {
 protected:
  // The knobs and the output device of a case.
  EnvList simulation(const HoursCase& c) {
    std::string stalls, gaps, steps, restarts;
    for (const Upset& u : c.upsets) {
      const std::string at = std::to_string(u.at);
      switch (u.kind) {
        case Upset::stall:
          stalls += at + ":" + std::to_string(u.value) + " ";
          break;
        case Upset::gap:
          gaps += at + ":" + std::to_string(u.value) + " ";
          break;
        case Upset::step:
          steps += at + ":" + std::to_string(u.value) + " ";
          break;
        case Upset::restart:
          restarts += at + " ";
          break;
      }
    }
    std::string fields = "clock \"simulated\"; ppm " + std::to_string(c.ppm) + "; position \"" +
                         c.position + "\"; ramp_block 12000; steps \"" + steps + "\"; restarts \"" +
                         restarts + "\"; report \"" + dir + "/report\"";
    const std::string seed = std::to_string(seed_of(c));
    if (!c.quiet) {
      fields += std::string("; ") + kNoiseFields + "; seed " + seed;
    }
    if (c.buffer > 0) {
      fields += "; buffer " + std::to_string(c.buffer);
    }
    if (c.period > 0) {
      fields += "; period " + std::to_string(c.period);
    }
    if (!c.device.empty()) {
      fields += "; " + c.device;
    }
    EnvList env = setup("pcm.!default { type orvtest; " + fields + " }",
                        {{"ORVSIM_CLOCK", "simulated"},
                         {"ORVSIM_SIGNAL", "ramp"},
                         {"ORVSIM_RATE", "48000"},
                         {"ORVSIM_SPI_HZ", "7812500"},
                         {"ORVSIM_STALL", stalls},
                         {"ORVSIM_GAP", gaps},
                         {"ORVSIM_STOP_AT", std::to_string(c.minutes * 60 + 1)},
                         {"ORVSIM_PREEMPT", c.quiet ? "0:0" : kHostPreemption},
                         {"ORVSIM_SEED", seed}});
    std::erase_if(env, [](const auto& entry) { return entry.first == "ORVSIM_LOG"; });
    return env;
  }

  ProcessResult simulate(const HoursCase& c) {
    std::filesystem::remove(dir + "/report");
    return run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, simulation(c));
  }

  // What every run must show: the transcript, standard error, and for every upset, the relay
  // back at rest (testing/at_rest.h, the soak's judge too).
  void expect_at_rest(const HoursCase& c, const ProcessResult& run) {
    SCOPED_TRACE(describe(c));
    const std::vector<Minute> minutes = minutes_of(report());
    EXPECT_EQ(run.status, 128 + SIGINT);
    // A restart of the output in the middle of a write takes part of it: the relay says so and
    // writes the rest.
    const auto restarts = std::count_if(c.upsets.begin(), c.upsets.end(),
                                        [](const Upset& u) { return u.kind == Upset::restart; });
    std::string out;
    size_t short_writes = 0;
    for (const std::string& line : lines_of(run.out)) {
      if (line.rfind("Short write (expected ", 0) == 0) {
        ++short_writes;
      } else {
        out += line + "\n";
      }
    }
    EXPECT_LE(short_writes, static_cast<size_t>(restarts));
    EXPECT_EQ(out, kBanner + tuned("145500", "VHF/UHF, Narrow Band FM", true));
    ASSERT_GE(minutes.size(), static_cast<size_t>(c.minutes - 1)) << report();
    // A buffer of a block or less runs dry every few blocks, and the relay says so at the start;
    // one of less than two blocks rides through pauses of some length, which it says once it has
    // measured them.
    const bool small = c.buffer > 0 && c.buffer < 24000;
    const std::string warning =
        c.buffer <= 12000
            ? "orvctl-sim: the sound output's buffer holds only " + std::to_string(c.buffer) +
                  " samples, no more than a block of 12000: expect gaps in the sound\n"
            : "orvctl-sim: the sound output's buffer holds " + std::to_string(c.buffer) +
                  " samples, less than the 24000 asked for: the sound rides through "
                  "pauses of the system of up to about ";
    // Standard error: ALSA's word for each underrun it recovered from, and for a small buffer, the
    // relay's one line at the start.
    std::string err = run.err;
    if (small) {
      ASSERT_EQ(err.substr(0, warning.size()), warning);
      if (c.buffer > 12000) {
        // The pause it rides through: about the least the output held as a block began, in ms,
        // in the first whole minute (before any upset). The relay takes the least of the half
        // minute before: a preemption in one window and not the other sets them apart (without
        // the noise they agree within a millisecond).
        const double least_ms = static_cast<double>(minutes[1].queue_low) / 48;
        const double said_ms = std::atof(err.c_str() + warning.size());
        EXPECT_GE(said_ms, 0.8 * least_ms) << err;
        EXPECT_LE(said_ms, 1.4 * least_ms) << err;
      }
      err = err.substr(err.find('\n') + 1);
    }
    EXPECT_EQ(count_of(err, "\n"), count_of(err, "underrun occurred\n")) << err;
    const RestVerdict verdict =
        judge_rest(minutes, {.ppm = c.ppm, .upsets = c.upsets, .buffer = c.buffer});
    std::string faults;
    for (const std::string& f : verdict.faults) {
      faults += f + "\n";
    }
    EXPECT_EQ(faults, "");
  }
};

// An upset before the relay knows its set point (a minute in) is worked off like any other: by
// minute 16 (a second's backlog at 1000 ppm, plus two minutes, as for an upset an hour in), the
// delay is back within the band of the same run without the upset (the same noise), give or take
// the dead band's width, and stays there; nothing is lost or played twice.
struct EarlyCase {
  std::string name;
  int ppm;
  Upset upset;
};

void PrintTo(const EarlyCase& c, std::ostream* out) {
  *out << c.name;
}

class EarlyUpsetTest : public SimulatedTimeTest, public testing::WithParamInterface<EarlyCase> {};

TEST_P(EarlyUpsetTest, WorkedOffLikeAnyOther) {
  const EarlyCase& e = GetParam();
  // The same name, the same noise.
  HoursCase c{.name = "early, " + std::to_string(e.ppm) + " ppm",
              .ppm = e.ppm,
              .position = "exact",
              .minutes = 24};
  simulate(c);
  const std::vector<Minute> calm = minutes_of(report());
  c.upsets = {e.upset};
  const ProcessResult run = simulate(c);
  const std::vector<Minute> upset = minutes_of(report());
  EXPECT_EQ(run.status, 128 + SIGINT);
  ASSERT_GE(calm.size(), 23u);
  ASSERT_GE(upset.size(), 23u);
  Band band{INT64_MAX, INT64_MIN};
  for (size_t m = 20; m < 23; ++m) {
    band.low_us = std::min(band.low_us, calm[m].delay_low_us - 20500);
    band.high_us = std::max(band.high_us, calm[m].delay_high_us + 20500);
  }
  for (size_t m = 0; m < 23; ++m) {
    SCOPED_TRACE("minute " + std::to_string(m));
    EXPECT_EQ(upset[m].lost + upset[m].repeated, 0);
    if (m >= 16) {
      EXPECT_GE(upset[m].delay_low_us, band.low_us);
      EXPECT_LE(upset[m].delay_high_us, band.high_us);
    }
  }
}

std::vector<EarlyCase> early_cases() {
  std::vector<EarlyCase> cases;
  for (const int ppm : {0, -1000, 1000}) {
    const std::string at = ppm == 0 ? "Matched" : ppm < 0 ? "Slow1000" : "Fast1000";
    // In the first seconds, before the early window that bounds the set point has begun.
    cases.push_back({"StallAt1s" + at, ppm, stall(1, 1000)});
    cases.push_back({"GapAt1s" + at, ppm, gap(1, 1000)});
    cases.push_back({"RestartAt1s" + at, ppm, restart(1)});
    cases.push_back({"StallAt2s" + at, ppm, stall(2, 1000)});
    cases.push_back({"GapAt2s" + at, ppm, gap(2, 1000)});
    cases.push_back({"RestartAt2s" + at, ppm, restart(2)});
    cases.push_back({"StallAt10s" + at, ppm, stall(10, 1000)});
    cases.push_back({"StallAt45s" + at, ppm, stall(45, 1000)});
    cases.push_back({"GapAt30s" + at, ppm, gap(30, 1000)});
    cases.push_back({"RestartAt20s" + at, ppm, restart(20)});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Early, EarlyUpsetTest, testing::ValuesIn(early_cases()),
                         [](const auto& info) { return info.param.name; });

// A busy machine at the start: at matched clocks the set point is the queue as it began however
// busy the machine was meanwhile, so that nothing is edited after the start (a few single samples
// at most, over minutes). Preemptions land anywhere, the moment between the board's last count
// and the block's write among them: in ALSA's calls that the polls make (the output's), or the
// host's own between two frames.
TEST_F(SimulatedTimeTest, BusyStartMovesNothing) {
  const struct {
    const char* name;
    std::string device;              // the output's noise
    const char* host;                // ORVSIM_PREEMPT
    const char* spi_hz = "7812500";  // ORVSIM_SPI_HZ: the bus's clock, as the host drives it
  } cases[] = {
      {"quiet", "", "0:0"},
      {"ALSA's calls preempted often", "preempt \"50:20000\"", "0:0"},
      {"the host preempted often", "", "50:20"},
      // Two busy loops beside it on two cores: a third of its time taken, a few ms at a time.
      {"both, and the output's own noise",
       "jitter 48; fifo 96; wake_late 2000; preempt \"30:12000\"", "30:12"},
      // A machine half as fast (a Pi Zero beside a Pi 4): every cost of the host twice as long,
      // the bus's transfers, the output's calls and the preemptions of the two busy loops.
      {"half as fast, and busy", "jitter 96; fifo 96; wake_late 4000; preempt \"30:24000\"",
       "30:24", "3906250"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HoursCase hours{.name = std::string("busy start, ") + c.name,
                    .ppm = 0,
                    .position = "exact",
                    .minutes = 6,
                    .quiet = true,
                    .device = c.device};
    EnvList env = simulation(hours);
    std::erase_if(env, [](const auto& entry) { return entry.first == "ORVSIM_PREEMPT"; });
    env.emplace_back("ORVSIM_PREEMPT", c.host);
    std::erase_if(env, [](const auto& entry) { return entry.first == "ORVSIM_SPI_HZ"; });
    env.emplace_back("ORVSIM_SPI_HZ", c.spi_hz);
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, env);
    EXPECT_EQ(run.status, 128 + SIGINT);
    const std::vector<Minute> minutes = minutes_of(report());
    ASSERT_GE(minutes.size(), 5u) << report();
    long long edits = 0;
    for (const Minute& m : minutes) {
      edits += m.drops + m.repeats;
      EXPECT_EQ(m.lost + m.repeated, 0);
    }
    EXPECT_LE(edits, 4) << report();
  }
}

// The same knobs, the noise's seed among them, give the same run, to the sample, in simulated time
// however busy the machine is.
TEST_F(SimulatedTimeTest, ReplaysExactly) {
  const HoursCase c{.name = "six minutes, a stall",
                    .ppm = -300,
                    .position = "period",
                    .minutes = 6,
                    .upsets = {stall(150, 400)}};
  const ProcessResult first = simulate(c);
  const std::string first_report = report();
  const ProcessResult second = simulate(c);
  EXPECT_EQ(report(), first_report);
  EXPECT_EQ(second.err, first.err);
  EXPECT_NE(first_report.find("underrun 1 at"), std::string::npos) << first_report;
  const std::vector<Minute> minutes = minutes_of(first_report);
  ASSERT_GE(minutes.size(), 5u);
  for (const Minute& m : minutes) {
    EXPECT_EQ(m.lost + m.repeated, 0);
  }
}

// Clocks further apart than the relay follows: it says so once, and plays on as well as it can.
TEST_F(SimulatedTimeTest, ClockTooFarOffIsSaidOnce) {
  const std::string kStart = "orvctl-sim: the sound output's clock runs about ";
  const struct {
    int ppm;
    const char* rest;  // after the offset it found; nullptr: within reach, nothing said
  } cases[] = {
      // The edge: 12 edits a block for the drift and as many for what it leaves, 2000 ppm.
      {1900, nullptr},
      {-1900, nullptr},
      {2200,
       " ppm faster than the board's, beyond the 2000 ppm the relay follows: the output runs dry "
       "now and then, heard as gaps"},
      {-2200,
       " ppm slower than the board's, beyond the 2000 ppm the relay follows: the sound falls "
       "further and further behind, and once the board's buffer is full, parts of it are lost"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ppm);
    const ProcessResult run =
        simulate({.name = "too far off", .ppm = c.ppm, .position = "exact", .minutes = 20});
    std::vector<std::string> said;
    for (const std::string& line : lines_of(run.err)) {
      if (line.rfind(kStart, 0) == 0) {
        said.push_back(line.substr(kStart.size()));
      }
    }
    const std::vector<Minute> minutes = minutes_of(report());
    EXPECT_GE(minutes.size(), 19u);
    if (c.rest == nullptr) {
      // Followed: nothing said, nothing lost or played twice, the output never dry.
      EXPECT_EQ(said, std::vector<std::string>{}) << run.err;
      for (const Minute& m : minutes) {
        EXPECT_EQ(m.lost + m.repeated + m.underruns, 0);
      }
      continue;
    }
    ASSERT_EQ(said.size(), 1u) << run.err;
    size_t digits = 0;
    EXPECT_NEAR(std::stoi(said[0], &digits), std::abs(c.ppm), 50);
    EXPECT_EQ(said[0].substr(digits), c.rest);
    // What plays is the board's audio in order: nothing played twice, and samples lost only where
    // the slow output let the board's buffer overflow.
    for (const Minute& m : minutes) {
      EXPECT_EQ(m.repeated, 0);
      if (c.ppm > 0) {
        EXPECT_EQ(m.lost, 0);
      }
    }
  }
}

// SIGUSR1's status line, as the test output saw the run: it asks for the line as a board block
// begins an hour and a minute in, and tallies what it took as the next begins, when the relay has
// said it. The relay stalls half an hour in; a write is cut short three quarters in. The run is
// the example of docs/relay.md and the manual page.
TEST_F(SimulatedTimeTest, StatusLineSaysWhatTheOutputSaw) {
  const ProcessResult run = simulate({.name = "status",
                                      .ppm = -300,
                                      .position = "exact",
                                      .minutes = 62,
                                      .upsets = {stall(1800, 600)},
                                      .device = "status_at 175680000; fault \"short\"; fault_at "
                                                "129600000"});
  // The run goes on after it, and standard output is as ever, with the short write's line.
  EXPECT_EQ(run.status, 128 + SIGINT);
  EXPECT_GE(minutes_of(report()).size(), 61u);
  const std::string announced = kBanner + tuned("145500", "VHF/UHF, Narrow Band FM", true);
  EXPECT_EQ(run.out.substr(0, announced.size()), announced);
  EXPECT_EQ(relay_messages(run.out).size(), 1u) << run.out;
  EXPECT_EQ(count_lines_starting(run.out, "Short write (expected "), 1u) << run.out;
  std::string said;
  for (const std::string& line : lines_of(run.err)) {
    said += line.rfind("orvctl-sim: 1:", 0) == 0 ? line : "";
  }
  long long hours = 0, minutes = 0, seconds = 0, blocks = 0, underruns = 0, drops = 0, repeats = 0,
            delay_ms = 0, troubled = 0;
  int ppm = 0;
  ASSERT_EQ(std::sscanf(said.c_str(),
                        "orvctl-sim: %lld:%lld:%lld played, %lld blocks, %lld underruns, %lld "
                        "samples dropped and %lld repeated (the output's clock about %d ppm slower "
                        "than the board's), delay from board to output %lld ms, %lld writes "
                        "refused or cut short",
                        &hours, &minutes, &seconds, &blocks, &underruns, &drops, &repeats, &ppm,
                        &delay_ms, &troubled),
            10)
      << run.err;
  const std::string tally = report().substr(report().find("tally "));
  long long t_blocks = 0, t_drops = 0, t_repeats = 0, t_lost = 0, t_repeated = 0, t_underruns = 0,
            t_delay_us = 0, asked_ms = 0;
  ASSERT_EQ(std::sscanf(tally.c_str(),
                        "tally blocks %lld drops %lld repeats %lld lost %lld repeated %lld "
                        "underruns %lld delay %lld asked %lld",
                        &t_blocks, &t_drops, &t_repeats, &t_lost, &t_repeated, &t_underruns,
                        &t_delay_us, &asked_ms),
            8)
      << report();
  // The time played: from the relay's start, a moment after the clock's, to the line, said
  // within a block of being asked.
  EXPECT_LT(minutes, 60);
  EXPECT_LT(seconds, 60);
  EXPECT_NEAR(static_cast<double>(hours * 3600 + minutes * 60 + seconds),
              static_cast<double>(asked_ms) / 1000, 1.0);
  EXPECT_EQ(blocks, t_blocks);
  EXPECT_EQ(underruns, t_underruns);
  EXPECT_EQ(underruns, 1);  // the stall's
  EXPECT_EQ(drops, t_drops);
  EXPECT_EQ(repeats, t_repeats);
  EXPECT_EQ(t_lost + t_repeated, 0);
  EXPECT_EQ(troubled, 1);  // the short write
  // The pages show this very line (the manual page over three lines).
  const std::string page = read_file(ORVCTL_RELAY_DOC);
  const size_t example = page.find("\norvctl-sim: 1:");
  ASSERT_NE(example, std::string::npos);
  EXPECT_EQ(page.substr(example + 1, page.find('\n', example + 1) - example - 1), said);
  std::string manual = read_file(ORVCTL_MANPAGE);
  manual = manual.substr(manual.find("\norvctl-sim: 1:") + 1);
  manual = manual.substr(0, manual.find("\n.fi"));
  for (size_t at = manual.find("\n  "); at != std::string::npos; at = manual.find("\n  ")) {
    manual.replace(at, 3, " ");
  }
  EXPECT_EQ(manual, said);
  EXPECT_NEAR(ppm, 300, 15);
  // The relay's delay is its own measure, read before the write: within a fetch of the output's.
  EXPECT_NEAR(static_cast<double>(delay_ms), static_cast<double>(t_delay_us) / 1000, 25);
}

// Transmissions with digital silence between them (a squelched board), the host stalled: the
// backlog goes in the first silence after the stall, so that every burst whose silence before it
// began after the stall comes at the delay of rest (the first row's, without a stall: within
// 10 ms of it, as the noise moves it); in sound no more than 1000 ppm is edited; at matched clocks
// without a stall, nothing.
TEST_F(SimulatedTimeTest, BacklogWorkedOffInSilence) {
  const struct {
    const char* name;
    double stall_at;
    int stall_ms;
    double long_until;  // a transmission from 5 s to here, then the bursts (0: bursts throughout)
    int minutes;
  } rows[] = {
      {"no stall", 0, 0, 0, 4},
      {"1 s at 1 s", 1, 1000, 0, 4},
      {"3 s at 1 s", 1, 3000, 0, 4},
      {"1 s at 300 s", 300, 1000, 0, 8},
      {"3 s at 300 s", 300, 3000, 0, 8},
      {"1 s inside a long transmission", 60, 1000, 125, 5},
      // (Longer, the board overwrites more of the ramp than its 16 bits let the output follow.)
      {"1.2 s inside a long transmission", 60, 1200, 125, 5},
  };
  double rest = -1;  // the first row's delay, ms
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Bursts of 3 s, 7 s of silence before each.
    std::string bursts;
    if (row.long_until > 0) {
      bursts += "5:";
      bursts += std::to_string(static_cast<int>(row.long_until - 5) * 1000);
    }
    for (int t = row.long_until > 0 ? int(row.long_until) + 5 : 5; t < row.minutes * 60; t += 10) {
      bursts += ' ';
      bursts += std::to_string(t);
      bursts += ":3000";
    }
    HoursCase c{.name = std::string("silence, ") + row.name,
                .ppm = 0,
                .position = "exact",
                .minutes = row.minutes,
                .device = "bursts \"" + bursts + "\"; ramp_block 12000"};
    if (row.stall_ms > 0) {
      c.upsets = {stall(row.stall_at, row.stall_ms)};
    }
    std::filesystem::remove(dir + "/report");
    EnvList env = simulation(c);
    env.emplace_back("ORVSIM_BURSTS", bursts);
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, env);
    EXPECT_EQ(run.status, 128 + SIGINT);
    std::vector<std::pair<double, double>> delays;  // each burst's start (s) and delay (ms)
    for (const std::string& line : lines_of(report())) {
      long long burst = 0, at = 0, us = 0;
      if (std::sscanf(line.c_str(), "burst %lld at %lld delay %lld", &burst, &at, &us) == 3) {
        delays.emplace_back(at / 48000.0, us / 1000.0);
      }
    }
    ASSERT_GE(delays.size(), 8u) << report();
    // At rest: every burst from 20 s on (the set point known) but those between the stall and
    // the first silence after it, in one band.
    const double stalled = row.stall_ms > 0 ? row.stall_at : 1e9;
    const double settled = row.stall_at + row.stall_ms / 1000.0 + 7;
    double low = 1e9, high = -1e9;
    std::string seen;
    for (const auto& [at, ms] : delays) {
      if (at >= 20 && (at < stalled || at >= settled)) {
        low = std::min(low, ms);
        high = std::max(high, ms);
        seen += std::to_string(at) + " s: " + std::to_string(ms) + " ms\n";
      }
    }
    EXPECT_LE(high - low, 10) << seen;
    rest = rest < 0 ? low : rest;
    EXPECT_LE(high, rest + 10) << seen;
    EXPECT_GE(low, rest - 10) << seen;
    long long edits = 0;
    const std::vector<Minute> minutes = minutes_of(report());
    long long lost = 0, overwritten = 0;
    for (const Minute& m : minutes) {
      EXPECT_EQ(m.repeated, 0) << report();
      lost += m.lost;
      edits += m.drops + m.repeats;
    }
    // Sound is lost only where the board overwrote it (silence overwritten counts as dropped).
    const size_t said = run.err.find("the simulated board overwrote ");
    if (said != std::string::npos) {
      overwritten = std::atoll(run.err.c_str() + said + 30);
    }
    EXPECT_LE(lost, overwritten) << run.err;
    // The second minute lies in the long transmission: 1000 ppm at most (12 edits a block).
    if (row.long_until > 0) {
      ASSERT_GE(minutes.size(), 2u);
      EXPECT_LE(minutes[1].drops + minutes[1].repeats, 12 * 240) << report();
    }
    if (row.stall_ms == 0) {
      EXPECT_EQ(edits, 0) << report();
    }
  }
}

// The host held up longer than the board's buffer lasts: what the relay says the board overwrote
// agrees with what the simulated board counted, within a block; nothing is said where nothing was.
TEST_F(SimulatedTimeTest, FullBoardIsSaidAndCounted) {
  for (const int ms : {600, 1200, 2000, 5000}) {
    SCOPED_TRACE(std::to_string(ms) + " ms");
    const ProcessResult run = simulate({.name = "full board",
                                        .ppm = 0,
                                        .position = "exact",
                                        .minutes = 1,
                                        .upsets = {stall(20, ms)}});
    EXPECT_EQ(run.status, 128 + SIGINT);
    long long board = 0, said = 0, lines = 0;
    for (const std::string& line : lines_of(run.err)) {
      long long n = 0;
      if (std::sscanf(line.c_str(), "orvctl-sim: the simulated board overwrote %lld", &n) == 1) {
        board = n;
      } else if (std::sscanf(line.c_str(), "orvctl-sim: the board's buffer was full: %lld", &n) ==
                 1) {
        said += n;
        ++lines;
      }
    }
    EXPECT_NEAR(static_cast<double>(said), static_cast<double>(board), 12000) << run.err;
    EXPECT_EQ(lines, board > 0 ? 1 : 0) << run.err;
    // (Within 1.365 s the board holds it all; beyond that, with what it held as the stall began,
    // it overflows.)
    EXPECT_EQ(board > 0, ms > 1000) << run.err;
  }
}

// The lines said of a board that delivers nothing, as they begin (after the program's name).
const std::string kNothingPlays =
    "no audio block from the board for 5 s, its buffer count 0: it does not play; it may have been "
    "reset (its power dipped, a lead came loose) or not answer at all. Waiting for it";
const std::string kFillsNoFurther =
    "its buffer fills no further; it may have stopped. Waiting for it";
const std::string kAgain = "audio blocks come from the board again";

// The lines of standard error about the board, without the program's name.
std::vector<std::string> said_of_board(const std::string& err) {
  std::vector<std::string> said;
  for (const std::string& line : lines_of(err)) {
    if (line.find("from the board") != std::string::npos &&
        line.find(" played, ") == std::string::npos) {
      said.push_back(line.substr(line.find(": ") + 2));
    }
  }
  return said;
}

// A board that stops delivering, reset (it no longer plays) or halted (it stops filling, then goes
// on): once nothing has come for five seconds, one line says so with the count it reports, never
// two such lines within a minute; one line says at once that blocks come again. Standard output is
// as ever. The upsets come 10 s in, so the line is due 15 s in, give or take the last block's
// write.
TEST_F(SimulatedTimeTest, SilentBoardIsSaid) {
  const struct {
    const char* name;
    EnvList knobs;
    const char* stop_at;
    std::vector<std::string> said;  // each line as it begins
  } cases[] = {
      {"reset, 4.5 s after", {{"ORVSIM_RESET", "10:200"}}, "14.5", {}},
      {"reset, 6 s after", {{"ORVSIM_RESET", "10:200"}}, "16", {kNothingPlays}},
      {"reset, two minutes after", {{"ORVSIM_RESET", "10:200"}}, "130", {kNothingPlays}},
      {"halt of 4 s", {{"ORVSIM_HALT", "10:4000"}}, "90", {}},
      {"halt of 8 s, before it ends", {{"ORVSIM_HALT", "10:8000"}}, "17.5", {"no audio"}},
      {"halt of 8 s, just after it ends", {{"ORVSIM_HALT", "10:8000"}}, "19", {"no audio", kAgain}},
      {"halt of 8 s, a minute after its line",
       {{"ORVSIM_HALT", "10:8000"}},
       "77",
       {"no audio", kAgain}},
      {"halts a minute apart",
       {{"ORVSIM_HALT", "10:8000 140:8000"}},
       "170",
       {"no audio", kAgain, "no audio", kAgain}},
      // The second halt's silence comes within a minute of the first's line: neither is said.
      {"halts within a minute", {{"ORVSIM_HALT", "10:8000 40:8000"}}, "150", {"no audio", kAgain}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvList env = simulation({.name = c.name, .ppm = 0, .position = "exact", .minutes = 1});
    env.insert(env.end(), c.knobs.begin(), c.knobs.end());
    std::erase_if(env, [](const auto& entry) { return entry.first == "ORVSIM_STOP_AT"; });
    env.emplace_back("ORVSIM_STOP_AT", c.stop_at);
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, env);
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(run.out, kBanner + tuned("145500", "VHF/UHF, Narrow Band FM", true));
    const std::vector<std::string> said = said_of_board(run.err);
    ASSERT_EQ(said.size(), c.said.size()) << run.err;
    for (size_t i = 0; i < said.size(); ++i) {
      EXPECT_EQ(said[i].rfind(c.said[i], 0), 0u) << said[i];
      if (said[i].rfind("no audio", 0) == 0 && c.knobs[0].first == "ORVSIM_HALT") {
        // A halted board holds what it had, less than a block.
        EXPECT_NE(said[i].find(kFillsNoFurther), std::string::npos) << said[i];
        EXPECT_EQ(said[i].find("count 0:"), std::string::npos) << said[i];
      }
    }
  }
}

// A service is told through sd_notify (NOTIFY_SOCKET): READY once the board plays (never by a run
// that cannot play), WATCHDOG with every block written (none once the board has stopped
// delivering, so that the service's watchdog stops it, nor for a block the output did not take),
// and the status line about once a minute, or what is said of the board.
TEST_F(SimulatedTimeTest, ServiceManagerIsToldHowItPlays) {
  const struct {
    const char* name;
    EnvList knobs;
    size_t watchdogs_low, watchdogs_high;  // 4 blocks a second, in runs of 61 s
    std::vector<std::string> statuses;     // as each begins
    std::string device = "";               // the output's further fields
    int status = 128 + SIGINT;
  } cases[] = {
      {"a minute of play", {}, 234, 244, {"Playing: ", "0:01:0"}},
      {"reset 30 s in", {{"ORVSIM_RESET", "30:200"}}, 112, 122, {"Playing: ", kNothingPlays}},
      // Nine blocks and a half taken, then the output breaks for good: the tenth is not written.
      {"the output breaking in its tenth block", {}, 9, 9, {"Playing: "}, "fail_at 114000", 1},
      {"an output that cannot be opened", {}, 0, 0, {}, "buffer 32", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string socket_path = dir + "/notify";
    std::filesystem::remove(socket_path);
    const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // Read as it comes: the program's datagrams wait for room once the socket's queue is full.
    std::vector<std::string> messages;
    std::thread reader([&] {
      char datagram[1024];
      for (ssize_t got; (got = recv(listener, datagram, sizeof datagram, 0)) > 0;) {
        if (std::string(datagram, static_cast<size_t>(got)) == "END") {
          break;
        }
        messages.emplace_back(datagram, static_cast<size_t>(got));
      }
    });
    EnvList env = simulation(
        {.name = c.name, .ppm = 0, .position = "exact", .minutes = 1, .device = c.device});
    env.insert(env.end(), c.knobs.begin(), c.knobs.end());
    env.emplace_back("NOTIFY_SOCKET", socket_path);
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, env);
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sendto(sender, "END", 3, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    reader.join();
    close(sender);
    close(listener);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (c.statuses.empty()) {
      EXPECT_TRUE(messages.empty()) << testing::PrintToString(messages);
      continue;
    }
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].rfind("READY=1\nSTATUS=", 0), 0u) << messages[0];
    size_t watchdogs = 0;
    std::vector<std::string> statuses;
    for (const std::string& message : messages) {
      watchdogs += message == "WATCHDOG=1" ? 1 : 0;
      if (const size_t at = message.find("STATUS="); at != std::string::npos) {
        statuses.push_back(message.substr(at + 7));
      }
    }
    EXPECT_GE(watchdogs, c.watchdogs_low);
    EXPECT_LE(watchdogs, c.watchdogs_high);
    ASSERT_EQ(statuses.size(), c.statuses.size()) << testing::PrintToString(statuses);
    for (size_t i = 0; i < statuses.size(); ++i) {
      EXPECT_EQ(statuses[i].rfind(c.statuses[i], 0), 0u) << statuses[i];
    }
  }
}

class HoursTest : public SimulatedTimeTest, public testing::WithParamInterface<HoursCase> {};

// An hour or more of audio each (ctest -L long).
TEST_P(HoursTest, BackAtRestAfterEveryUpset) {
  const HoursCase& c = GetParam();
  expect_at_rest(c, simulate(c));
}

// clang-format off
const HoursCase kHoursCases[] = {
    // name, the output's ppm, its position, minutes, buffer, period, upsets.
    // The clocks' offsets, each for an hour, with both kinds of position.
    {"Matched", 0, "exact"},
    {"MatchedCoarse", 0, "period"},
    {"Fast100", 100, "exact"},
    {"Slow100Coarse", -100, "period"},
    {"Fast300Coarse", 300, "period"},
    {"Slow300", -300, "exact"},
    {"Fast1000", 1000, "exact"},
    {"Slow1000Coarse", -1000, "period"},
    // Buffers the output may grant instead of two blocks.
    {"Buffer8192", 0, "exact", 60, 8192},
    {"Buffer12000", 0, "exact", 60, 12000},
    {"Buffer16384Slow300", -300, "exact", 60, 16384},
    {"Buffer32768Fast1000", 1000, "period", 60, 32768},
    {"Buffer96000PeriodLongerThanABlock", 0, "period", 60, 96000, 24000},
    // Periods of one and two blocks, whose boundaries drift through the time a block's fetch
    // takes.
    {"Buffer48000PeriodOfTwoBlocksSlow300", -300, "period", 60, 48000, 24000},
    {"Buffer48000PeriodOfABlockFast300", 300, "period", 60, 48000, 12000},
    // Two periods of a block each, the room shown only as a period ends: a block a few samples
    // longer than a period (an edit) must not wait for the next one. (Seed 1: with some seeds the
    // relay, its writes held to the period's ends, sees a drift this slow only some 13 minutes
    // in, and the delay goes 1 ms beyond the band before it is worked off; docs/relay.md.)
    {"Buffer24000PeriodOfABlockFast30", 30, "period", 60, 24000, 12000, {}, false, 1},
    // ALSA's dmix and PipeWire: positions in periods of 1024.
    {"Periods1024Fast100", 100, "period", 60, 0, 1024},
    {"Buffer96000PeriodLongerThanABlockSlow1000", -1000, "period", 60, 96000, 24000},
    // Each upset, at matched clocks and far off.
    {"StallsMatched", 0, "exact", 75, 0, 0, {stall(600, 600), stall(2400, 1000), stall(3600, 150)}},
    {"StallsSlow1000", -1000, "exact", 75, 0, 0, {stall(600, 1000), stall(3000, 300)}},
    {"GapsFast1000Coarse", 1000, "period", 75, 0, 0, {gap(600, 800), gap(3000, 1000)}},
    {"GapsMatchedCoarse", 0, "period", 60, 0, 0, {gap(600, 500), gap(2400, 200)}},
    {"ClockSteps", 0, "exact", 60, 0, 0, {step(600, 1000), step(1500, -1000), step(2400, 0)}},
    // Down to a drift of 12 ppm, which the relay keeps following once it follows (it takes one
    // up from 17 ppm).
    {"ClockStepsDownTo12", -300, "exact", 45, 0, 0, {step(600, -12)}},
    {"ClockStepsCoarse", -300, "period", 60, 0, 0, {step(600, 300), step(1800, -1000)}},
    {"RestartsFast300", 300, "exact", 60, 0, 0, {restart(600), restart(1800)}},
    {"RestartsMatchedCoarse", 0, "period", 60, 0, 0, {restart(600), restart(1800)}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, HoursTest, testing::ValuesIn(kHoursCases),
                         [](const auto& info) { return info.param.name; });

// Runs drawn from a seed: an offset of up to 1000 ppm either way, a position, a buffer, and three
// upsets at random times over an hour and a half of audio. A failure names its seed;
// ORVTEST_SEED=N replays that run exactly (in the first instance).
class SeededTest : public SimulatedTimeTest, public testing::WithParamInterface<int> {};

HoursCase drawn(uint64_t seed) {
  std::mt19937_64 random(seed);
  const auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  HoursCase c{.name = "seed " + std::to_string(seed),
              .ppm = pick(-1000, 1000),
              .position = pick(0, 1) == 0 ? "exact" : "period",
              .minutes = 90,
              .seed = seed};
  static const int kBuffers[][2] = {{0, 0}, {16384, 0}, {32768, 0}, {96000, 24000}};
  const auto& buffer = kBuffers[pick(0, 3)];
  c.buffer = buffer[0];
  c.period = buffer[1];
  for (int slot = 0; slot < 3; ++slot) {
    const auto kind = static_cast<Upset::Kind>(pick(0, 3));
    const double at = (8 + 27 * slot + pick(0, 4)) * 60 + pick(0, 59);
    const int value = kind == Upset::step ? pick(-1000, 1000) : pick(50, 1000);
    c.upsets.push_back({kind, at, value});
  }
  return c;
}

TEST_P(SeededTest, BackAtRestAfterEveryUpset) {
  uint64_t seed = static_cast<uint64_t>(GetParam());
  if (const char* replay = std::getenv("ORVTEST_SEED")) {
    if (GetParam() != 1) {
      GTEST_SKIP() << "replaying ORVTEST_SEED in the first instance";
    }
    seed = std::strtoull(replay, nullptr, 10);
  }
  const HoursCase c = drawn(seed);
  SCOPED_TRACE("replay: ORVTEST_SEED=" + std::to_string(seed) +
               " relay_tests --gtest_filter='Seeds/SeededTest.*/0'");
  expect_at_rest(c, simulate(c));
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededTest, testing::Range(1, 13));

// The little-endian 32-bit number at `at` of `bytes`.
uint32_t le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(at + i))) << (8 * i);
  }
  return value;
}

// What the README, the docs and the man page give a user to copy, taken from the documents
// themselves (the blocks marked "copy: NAME", testing/documents.h) and run as written, with only
// the paths that name the test's directory, and followed to what the other program made of the
// audio.
enum class Made {
  wav,        // a WAV file at 48000 Hz, complete after Ctrl-C, holding the board's blocks
  decoded,    // the packets of a recording, decoded by multimon-ng as well as from the recording
  nothing,    // no output at all: the card named does not exist
  frame_log,  // the transcript and the frame log that the block shows
};

struct RecipeCase {
  const char* name;
  const char* document;
  const char* config = "";  // a block that is an ALSA configuration, put where ALSA reads it
  const char* config_file = "user.conf";  // ... as this file in the test's directory
  const char* command = "";  // a block of shell commands (or a command), run in the directory
  EnvList env = {};          // the run's ALSA_CONFIG_PATH where `command` does not set it
  const char* file = "";     // what the other program writes, in the test's directory
  Made made;
};

// The file `path` once the programs writing it have finished: no longer growing (and, when
// `complete` says so, complete).
std::string finished_file(const std::string& path, bool (*complete)(const std::string&) = nullptr) {
  std::string text = read_file(path);
  for (int wait_ms = 0; wait_ms < 10000; wait_ms += 100) {
    usleep(100000);
    const std::string later = read_file(path);
    if (later == text && !text.empty() && (complete == nullptr || complete(text))) {
      break;
    }
    text = later;
  }
  return text;
}

// `text` with each `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// How many packets multimon-ng finds in its output.
size_t packets_in(const std::string& decoded) {
  return count_of(decoded, "AFSK1200: ");
}

TEST_F(RelayTest, RecipesFromTheDocuments) {
#ifdef ORVTEST_EMULATOR
  GTEST_SKIP() << "the recipes run through the host's shell, which the emulator cannot start";
#endif
  const EnvList kOwnConfig = {{"ALSA_CONFIG_PATH", "DIR/user.conf"}};
  const RecipeCase cases[] = {
      {.name = "recorder: a WAV file written by sox as the audio comes",
       .document = ORVCTL_SOUND_DOC,
       .config = "recorder",
       .command = "orvctl -s 145500",
       .env = kOwnConfig,
       .file = "orvctl.wav",
       .made = Made::wav},
      {.name = "the man page's recorder",
       .document = ORVCTL_MANPAGE,
       .config = "recorder",
       .command = "orvctl -s 145500",
       .env = kOwnConfig,
       .file = "orvctl.wav",
       .made = Made::wav},
      {.name = "the man page's WAV file for ten seconds",
       .document = ORVCTL_MANPAGE,
       .command = "wav",
       .file = "out.wav",
       .made = Made::wav},
      {.name = "decoder: APRS packets through sox and multimon-ng, from a file of its own",
       .document = ORVCTL_SOUND_DOC,
       .config = "decoder",
       .config_file = "aprs.conf",
       .command = "decoder-run",
       .file = "aprs.log",
       .made = Made::decoded},
      {.name = "the man page's decoder, in the user's configuration",
       .document = ORVCTL_MANPAGE,
       .config = "decoder",
       .command = "orvctl -s 144800",
       .env = kOwnConfig,
       .file = "aprs.log",
       .made = Made::decoded},
      // ALSA's own configuration reads ALSA_CARD for the card of "default".
      {.name = "another card by name, without editing files",
       .document = ORVCTL_SOUND_DOC,
       .command = "card",
       .env = {{"ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf"}},
       .made = Made::nothing},
      {.name = "the frame log, as the page of the simulated board shows it",
       .document = ORVCTL_SIM_DOC,
       .command = "frame-log-session",
       .made = Made::frame_log},
      {.name = "the man page's frame log",
       .document = ORVCTL_MANPAGE,
       .command = "frame-log",
       .made = Made::frame_log},
  };
  // The programs as the documents name them; the board is the simulated one.
  const std::string bin = dir + "/bin";
  std::filesystem::create_directories(bin);
  std::filesystem::create_symlink(ORVCTL_SIM_PATH, bin + "/orvctl");
  std::filesystem::create_symlink(ORVCTL_SIM_PATH, bin + "/orvctl-sim");
  // A recording of APRS packets, from a Debian tool, and what multimon-ng decodes of it directly,
  // resampled as the recipe does (without dither, whose random noise decides a weak packet).
  // It starts with a second of silence, as a radio's audio would.
  const std::string packets = dir + "/packets.raw";
  const std::string make_packets =
      "gen_packets -r 48000 -n 20 -o DIR/packets.wav >/dev/null && "
      "sox DIR/packets.wav DIR/packets.raw pad 1 && "
      "sox -D -t raw -r 48000 -e signed -b 16 -c 1 DIR/packets.raw "
      "-t raw -r 22050 -e signed -b 16 -c 1 - | multimon-ng -q -t raw -a AFSK1200 -";
  const ProcessResult made = run_process("/bin/sh", {"-c", replaced(make_packets, "DIR", dir)});
  ASSERT_EQ(made.status, 0) << made.err;
  const size_t direct = packets_in(made.out);
  ASSERT_GE(direct, 10u) << made.out;

  for (const RecipeCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " (" + c.document + ")");
    std::string command = c.command;
    if (command.find(' ') == std::string::npos) {
      command = copied_block(c.document, c.command);
      ASSERT_NE(command, "") << "no block \"" << c.command << "\"";
    }
    // The README's frame log shows the command after a prompt, then what it prints.
    std::string shown;
    if (command.rfind("$ ", 0) == 0) {
      shown = command.substr(command.find('\n') + 1);
      command = command.substr(2, command.find('\n') - 2);
    }
    command =
        replaced(replaced(replaced(command, "/tmp/", dir + "/"), "build/orvctl-sim", "orvctl-sim"),
                 "=Device ", "=OrvtestNoSuchCard ");
    if (*c.config != '\0') {
      const std::string config = copied_block(c.document, c.config);
      ASSERT_NE(config, "") << "no block \"" << c.config << "\"";
      write_alsa_config(dir + "/" + c.config_file, config);
    }
    const std::string file = dir + "/" + c.file;
    if (*c.file != '\0') {
      std::filesystem::remove(file);
    }
    std::filesystem::remove(dir + "/frames");
    const char* path = std::getenv("PATH");
    EnvList env = {{"PATH", bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};
    if (c.made == Made::decoded) {
      // In simulated time, so that however slowly the decoder reads, the board never overflows:
      // the whole recording, and a little silence after it.
      env.insert(env.end(), kSimulatedBoard.begin(), kSimulatedBoard.end());
      env.insert(env.end(), {{"ORVSIM_SIGNAL", "file:" + packets}, {"ORVSIM_STOP_AT", "20"}});
    } else if (c.made == Made::frame_log || command.find("timeout ") != std::string::npos) {
      env.insert(env.end(), {{"ORVSIM_RATE", "48000"}, {"ORVSIM_SPI_HZ", "7812500"}});
    } else {
      // The board at ten times real time, for 2.5 s.
      env.insert(env.end(), {{"ORVSIM_RATE", "480000"}, {"ORVSIM_STOP_AT", "2.5"}});
    }
    for (const auto& [name, value] : c.env) {
      env.emplace_back(name, replaced(value, "DIR", dir));
    }
    EnvList run_env = setup("", env);
    std::erase_if(run_env, [&](const auto& entry) {
      return (entry.first == "ALSA_CONFIG_PATH" && c.env.empty()) ||
             (entry.first == "ORVSIM_LOG" &&
              (c.made == Made::frame_log || c.made == Made::decoded));
    });
    const ProcessResult run =
        run_process("/bin/sh", {"-c", "cd " + dir + " && " + command}, run_env);
    switch (c.made) {
      case Made::wav: {
        EXPECT_TRUE(run.status == 0 || run.status == 124 || run.status == 128 + SIGINT)
            << run.status << run.out << run.err;
        // sox completes its header once the tool's end has closed the pipe.
        const std::string wav = finished_file(file, [](const std::string& text) {
          return text.size() > 44 && le32(text, 40) == text.size() - 44;
        });
        ASSERT_GT(wav.size(), 44u + kBlockBytes);
        EXPECT_EQ(wav.substr(0, 4), "RIFF");
        EXPECT_EQ(le32(wav, 4), wav.size() - 8);
        EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(le32(wav, 24), 48000u);
        EXPECT_EQ(wav.substr(36, 4), "data");
        EXPECT_EQ(le32(wav, 40), wav.size() - 44);
        // The audio is the board's, block for block, from the first.
        std::string audio = wav.substr(44);
        audio.resize(audio.size() - audio.size() % kBlockBytes);
        const std::vector<std::string> got = played_blocks(audio);
        const std::vector<std::string> sent = sent_blocks(frames());
        ASSERT_GE(sent.size(), got.size());
        EXPECT_EQ(got, std::vector<std::string>(sent.begin(), sent.begin() + got.size()));
        break;
      }
      case Made::decoded: {
        EXPECT_EQ(run.status, 128 + SIGINT) << run.out << run.err;
        const std::string decoded = finished_file(file);
        EXPECT_GE(packets_in(decoded), direct) << decoded;
        break;
      }
      case Made::nothing:
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(relay_messages(run.out),
                  std::vector<std::string>{"Playback open error: No such device"});
        EXPECT_NE(run.err.find("cannot find card 'OrvtestNoSuchCard'"), std::string::npos)
            << run.err;
        EXPECT_EQ(sent_blocks(frames()).size(), 0u);
        break;
      case Made::frame_log:
        EXPECT_EQ(run.status, 0) << run.err;
        if (!shown.empty()) {
          EXPECT_EQ(run.out, shown);
        } else {
          EXPECT_EQ(run.out.rfind(kBanner + "Firmware version is 1.04\n", 0), 0u) << run.out;
          EXPECT_NE(run.out.find("\n01 00 60 00 00\n00 00 40 02\n00 00 f0"), std::string::npos)
              << run.out;
        }
        break;
    }
  }
}

// The variables of an EnvironmentFile=, read as systemd reads them: KEY=VALUE lines, lines of '#'
// ignored, one pair of quotes around the value removed.
std::vector<std::pair<std::string, std::string>> environment_file(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> variables;
  for (const std::string& line : lines_of(text)) {
    const size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) {
      continue;
    }
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    variables.emplace_back(line.substr(0, equals), value);
  }
  return variables;
}

// The command of a unit's ExecStart= for `instance`, as systemd builds it: %i is the instance, and
// an unquoted $NAME is the variable's value split at white space (nothing when it is empty).
std::vector<std::string> exec_start(const std::string& unit, const std::string& instance,
                                    const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::string> words;
  for (const std::string& line : lines_of(unit)) {
    if (line.rfind("ExecStart=", 0) != 0) {
      continue;
    }
    std::istringstream in(line.substr(10));
    for (std::string word; in >> word;) {
      if (word[0] == '$') {
        for (const auto& [name, value] : env) {
          std::istringstream split(name == word.substr(1) ? value : "");
          for (std::string part; split >> part;) {
            words.push_back(part);
          }
        }
      } else {
        for (size_t at = word.find("%i"); at != std::string::npos; at = word.find("%i")) {
          word.replace(at, 2, instance);
        }
        words.push_back(word);
      }
    }
  }
  return words;
}

struct UnitCase {
  const char* name;
  const char* unit;     // under the test units' folder
  std::string options;  // the options file; empty: the one the packages install
  const char* instance;
  std::string announced;  // what the run prints up to the relay's announcement
  bool status_lines;
};

TEST_F(RelayTest, ServiceUnitsPlayTheBoard) {
  const std::string example = read_file(ORVCTL_OPTIONS_EXAMPLE);
  const UnitCase cases[] = {
      {.name = "system unit with the options file as installed",
       .unit = "system/orvctl@.service",
       .options = example,
       .instance = "145500",
       .announced = kBanner + tuned("145500", "VHF/UHF, Narrow Band FM", true),
       .status_lines = false},
      {.name = "user unit with letters in the options file",
       .unit = "user/orvctl@.service",
       .options = "# wide band FM, with the signal status\nORVCTL_OPTIONS=\"-w -r\"\n",
       .instance = "88000",
       .announced = kBanner + tuned("88000", "VHF/UHF, Wide Band FM", true),
       .status_lines = true},
  };
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir + "/frames");
    std::filesystem::remove(dir + "/played.raw");
    std::vector<std::string> command =
        exec_start(read_file(std::string(ORVCTL_UNITS) + "/" + c.unit), c.instance,
                   environment_file(c.options));
    ASSERT_GE(command.size(), 2u);
    // The unit runs this build's orvctl; the simulated board's orvctl-sim stands beside it.
    ASSERT_EQ(command[0].substr(command[0].rfind('/')), "/orvctl");
    command[0] += "-sim";
    ASSERT_EQ(command[0], ORVCTL_SIM_PATH);
    const ProcessResult run =
        run_process(command[0], std::vector<std::string>(command.begin() + 1, command.end()),
                    setup(captured_device(""), {{"ORVSIM_RATE", "480000"}}), 1000);
    EXPECT_EQ(run.status, 128 + SIGINT);  // systemctl stop sends SIGINT (KillSignal=)
    EXPECT_EQ(run.out.substr(0, c.announced.size()), c.announced);
    EXPECT_EQ(count_lines_starting(run.out, "RSSI = ") > 0, c.status_lines) << run.out;
    EXPECT_NE(frames().find("00 00 56 01 80\n"), std::string::npos);
    // What played is the board's blocks, in order, from the first (the last may be cut short).
    const std::string audio = played();
    const std::vector<std::string> sent = sent_blocks(frames());
    const std::vector<std::string> got =
        played_blocks(audio.substr(0, audio.size() - audio.size() % kBlockBytes));
    ASSERT_GE(got.size(), 1u);
    ASSERT_LE(got.size(), sent.size());
    EXPECT_EQ(got, std::vector<std::string>(sent.begin(), sent.begin() + got.size()));
  }
}

// SIGUSR1 from outside the process: while the board delivers nothing the status line comes at
// once and says for how long; on an output with less than two blocks of buffer, where writes wait
// for room, a write that the signal cuts short is finished, and neither said nor counted.
TEST_F(RelayTest, StatusLineAskedFromOutside) {
  const struct {
    const char* name;
    EnvList board;
    const char* device;
    std::vector<TimedSignal> signals;
    const char* each_line_ends;
  } cases[] = {
      {"a board that delivers nothing",
       {{"ORVSIM_RATE", "0"}, {"ORVSIM_SPI_HZ", "7812500"}},
       "",
       {{2500, SIGUSR1}},
       " writes refused or cut short, 0 samples overwritten on the board; no block from the board "
       "for "},
      {"writes that wait for room",
       {{"ORVSIM_RATE", "48000"}, {"ORVSIM_SPI_HZ", "7812500"}},
       "buffer 16384; fault \"signal\"",
       {{1000, SIGUSR1},
        {1400, SIGUSR1},
        {1800, SIGUSR1},
        {2200, SIGUSR1},
        {2600, SIGUSR1},
        {3000, SIGUSR1},
        {3400, SIGUSR1},
        {3800, SIGUSR1},
        {4200, SIGUSR1},
        {4600, SIGUSR1}},
       ", 0 writes refused or cut short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult run =
        run_process(ORVCTL_SIM_PATH, {"-s", "145500"},
                    setup("pcm.!default { type orvtest; " + std::string(c.device) + " }", c.board),
                    5000, Console::captured, c.signals);
    EXPECT_EQ(run.status, 128 + SIGINT);
    EXPECT_EQ(relay_messages(run.out), std::vector<std::string>{});
    size_t lines = 0;
    for (const std::string& line : lines_of(run.err)) {
      if (line.find(" played, ") != std::string::npos) {
        ++lines;
        EXPECT_NE(line.find(c.each_line_ends), std::string::npos) << line;
      }
    }
    EXPECT_GE(lines, 1u) << run.err;
  }
}

TEST_F(RelayTest, StuckBoardKeepsThePollGoingUntilCtrlC) {
  // Ctrl-C from a terminal, and kill -INT on a run that a script started in the background (with
  // SIGINT ignored, as a shell starts such jobs).
  for (const Console console : {Console::captured, Console::background}) {
    SCOPED_TRACE(console == Console::background ? "started in the background" : "in a terminal");
#ifdef ORVTEST_EMULATOR
    if (console == Console::background) {
      continue;  // there the emulator, not the program, meets the ignored signal first
    }
#endif
    std::filesystem::remove(dir + "/frames");
    const ProcessResult run = run_process(
        ORVCTL_SIM_PATH, {"-ds", "700"},
        setup(captured_device(""), {{"ORVSIM_RATE", "0"}, {"ORVSIM_SPI_HZ", "7812500"}}), 300,
        console);
    EXPECT_EQ(run.status, 128 + SIGINT);
    const std::vector<std::string> messages = relay_messages(run.out);
    EXPECT_EQ(messages, std::vector<std::string>{});
    const size_t traced = count_lines_starting(run.out, "Buffer count = 0000");
    EXPECT_GT(traced, 10u);
    EXPECT_EQ(traced, count_lines_starting(run.out, "Buffer count = "));
    // Ctrl-C may land between a poll and its trace.
    const size_t polled = count_of(frames(), "01 00 54 00 00 00\n");
    EXPECT_TRUE(polled == traced || polled == traced + 1) << polled << " polls, " << traced;
    EXPECT_EQ(sent_blocks(frames()).size(), 0u);
    EXPECT_EQ(played(), "");
    // The output closed before the end, its shared memory (a dmix's) let go.
    EXPECT_NE(report().find("close after 0 frames"), std::string::npos) << report();
  }
}

// SIGINT or SIGTERM while blocks play, however it lands (a write waiting for room among the
// places): the output is closed first, and the run ends by the signal, saying nothing; a command
// behind ALSA's file plugin that does not end with its input holds the end up 5 s at most.
TEST_F(RelayTest, StopClosesTheOutputFirst) {
  const std::string endless =
      "pcm.!default { type file; slave.pcm \"card\"; file \"| cat >/dev/null; sleep 60\"; "
      "format \"raw\" }\npcm.card { type orvtest; speed 4; report \"" +
      dir + "/report\" }";
  const std::vector<std::pair<int, std::string>> cases = {
      {SIGINT, captured_device("buffer 16384")},
      {SIGTERM, captured_device("buffer 16384")},
      {SIGINT, captured_device("")},
      {SIGTERM, endless}};
  for (const auto& [signal, config] : cases) {
    SCOPED_TRACE(config);
    std::filesystem::remove(dir + "/report");
    const auto begun = std::chrono::steady_clock::now();
    const ProcessResult run =
        run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, setup(config, {{"ORVSIM_RATE", "192000"}}),
                    0, Console::captured, {{1200, signal}});
    EXPECT_EQ(run.status, 128 + signal);
    EXPECT_EQ(relay_messages(run.out), std::vector<std::string>{}) << run.out;
    EXPECT_EQ(run.err, "");
    if (config == endless) {
      // (The file plugin waits for its command before it closes the card behind it.)
      EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(50));
    } else {
      EXPECT_NE(report().find("close after "), std::string::npos) << report();
    }
  }
}

}  // namespace
