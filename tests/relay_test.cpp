// Whole runs of orvctl-sim with the letter s, through the real ALSA library. Each run gets an ALSA
// configuration of its own (ALSA_CONFIG_PATH), so no system file decides where "default" goes.
// What the program wrote is captured by ALSA's file plugin and compared block by block with what
// the simulated board sent (the CRC-32 of each audio block in its frame log).
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "testing/alsa_config.h"
#include "testing/run_process.h"
#include "version.h"

namespace {

const std::string kBanner = "Orvane RF tuning utility v" ORVCTL_VERSION "\n\n";
const std::string kTuned700 =
    "Firmware version is 1.04\nTuning to 700 kHz\nVHF/UHF, Wide Band FM\n\n"
    "Playback enabled: Ctrl-C to exit\n";
const std::string kTunedFrames700 = "01 00 60 00 00\n00 00 40 02\n00 00 f0 bc 02 00 00 a0\n";
constexpr size_t kBlockBytes = 24000;

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

// An output that fails for good ends the run as a failure: a service manager must see it.
TEST_F(RelayTest, OutputThatBreaksClosesAndEndsTheRunWithStatus1) {
  const ProcessResult run =
      run_process(ORVCTL_SIM_PATH, {"-ws", "700"}, setup(captured_device("fail_at 0")));
  EXPECT_EQ(run.out, kBanner + kTuned700 + "snd_pcm_writei failed: Input/output error\n");
  EXPECT_EQ(run.status, 1);
  const std::string log = frames();
  ASSERT_EQ(log.rfind(kTunedFrames700 + "00 00 56 01 80\n01 00 54 ", 0), 0u) << log;
  EXPECT_EQ(sent_blocks(log).size(), 1u);
  EXPECT_EQ(played(), "");
  EXPECT_NE(report().find("close after 0 frames"), std::string::npos) << report();
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
        run_process(ORVCTL_SIM_PATH, {"-rs", "145500"}, setup(captured_device(fields)));
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
      run_process(ORVCTL_SIM_PATH, {"-ds", "145500"}, setup(captured_device("fail_at 36000")));
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
      {"the device itself", captured_device("fail_at 48000"), "buffer 24000 period 6000 rw"},
      // ALSA's rate converter writes to its slave through mmap.
      {"through a rate converter",
       "pcm.!default { type rate; slave { pcm \"card\"; rate 48000 } }\n"
       "pcm.card { type orvtest; speed 4; fail_at 48000; report \"" +
           dir + "/report\" }",
       "buffer 24000 period 6000 mmap"},
      // A card that offers only a larger buffer still starts at two blocks: the rest of its
      // buffer is room above where the queue settles.
      {"a card with a larger buffer", captured_device("fail_at 48000; buffer 32768"),
       "buffer 32768 period 8192 rw"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir + "/report");
    const ProcessResult run = run_process(ORVCTL_SIM_PATH, {"-s", "700"}, setup(c.config));
    EXPECT_EQ(run.status, 1);
    // 500 ms: a block can be written while the one before it is still queued whole, and the
    // output starts once both are there.
    EXPECT_EQ(report(), std::string("prepare ") + c.prepared +
                            "\nstart at 24000\nfailing at 48000\nclose after 48000 frames, 0 "
                            "underruns\n");
  }
}

// A run whose board and output both play `speed` times faster than real time (the board's rate
// and bus clock scaled with the device's speed), the output's clock `ppm` off the board's, for
// `audio_seconds` of audio; the board plays its ramp, so that the capture shows every edit.
struct DriftCase {
  const char* name;
  int ppm;
  const char* position;  // "exact" or "period"
  int audio_seconds;
  int64_t delay_span_us;    // most the delay from board to output may move after the first minute
  const char* device = "";  // further fields of the output device
};

struct DriftRun {
  ProcessResult run;
  long long samples = 0, drops = 0, repeats = 0, lost = 0, repeated = 0, altered = 0;
  int edit_step = -1;
  int64_t queue_low = 0, queue_high = 0, delay_low_us = 0, delay_high_us = 0;
  size_t underruns = 0;
};

// The last value a report line starting with `what` gave ("queue low 11972 at ..." for "queue
// low").
int64_t last_reported(const std::string& report, const std::string& what) {
  int64_t value = 0;
  for (const std::string& line : lines_of(report)) {
    if (line.rfind(what + " ", 0) == 0) {
      value = std::stoll(line.substr(what.size() + 1));
    }
  }
  return value;
}

class DriftTest : public RelayTest {
 protected:
#ifdef ORVTEST_EMULATOR
  static constexpr int kSpeed = 5;  // emulated code is slower: more room against a stall
#else
  static constexpr int kSpeed = 10;
#endif

  DriftRun play(const DriftCase& c) {
    std::filesystem::remove(dir + "/played.raw");
    std::filesystem::remove(dir + "/report");
    const std::string config = captured_device(
        "ppm " + std::to_string(c.ppm) + "; speed " + std::to_string(kSpeed) + "; position \"" +
        c.position + "\"; ramp_block 12000; settle " + std::to_string(48000 * 60));
    DriftRun result;
    result.run = run_process(ORVCTL_SIM_PATH, {"-s", "145500"},
                             setup(config, {{"ORVSIM_RATE", std::to_string(48000 * kSpeed)},
                                            {"ORVSIM_SPI_HZ", std::to_string(7812500 * kSpeed)},
                                            {"ORVSIM_SIGNAL", "ramp"},
                                            {"ORVSIM_LOG", "/dev/null"}}),
                             c.audio_seconds * 1000 / kSpeed);
    const ProcessResult check =
        run_process(ORVCTL_STREAM_CHECK_PATH, {dir + "/played.raw", "145500", "ramp"});
    EXPECT_EQ(std::sscanf(check.out.c_str(),
                          "samples %lld, drops %lld, repeats %lld, lost %lld in %*d gaps, repeated "
                          "%lld in %*d jumps back, altered %lld, largest edit step %d",
                          &result.samples, &result.drops, &result.repeats, &result.lost,
                          &result.repeated, &result.altered, &result.edit_step),
              7)
        << check.out << check.err;
    const std::string events = report();
    result.queue_low = last_reported(events, "queue low");
    result.queue_high = last_reported(events, "queue high");
    result.delay_low_us = last_reported(events, "delay low");
    result.delay_high_us = last_reported(events, "delay high");
    result.underruns = count_lines_starting(events, "underrun");
    return result;
  }

  // What every run must show, edits or not.
  void expect_clean(const DriftCase& c, const DriftRun& r) {
    EXPECT_EQ(r.run.status, 128 + SIGINT);
    EXPECT_EQ(r.run.out, kBanner +
                             "Firmware version is 1.04\nTuning to 145500 kHz\n"
                             "VHF/UHF, Narrow Band FM\n\nPlayback enabled: Ctrl-C to exit\n");
    EXPECT_EQ(r.underruns, 0u) << report();
    EXPECT_EQ(r.run.err, "");
    EXPECT_EQ(r.lost, 0);
    EXPECT_EQ(r.repeated, 0);
    EXPECT_EQ(r.altered, 0);
    // Most of the audio was captured (the end is still queued at Ctrl-C).
    EXPECT_GT(r.samples, 48000LL * c.audio_seconds * 9 / 10);
    // An edit joins neighbours of the ramp: a step of 2 (a drop) or 0 (a repeat).
    EXPECT_LE(r.edit_step, 2);
  }
};

TEST_F(DriftTest, EditsFollowAnOutputClockFarOff) {
  // A minute of audio: the set point settles in 10 s, the queue reaches the dead band 10 s later.
  const DriftCase cases[] = {
      {"output 1000 ppm fast", 1000, "exact", 60, 0},
      {"output 1000 ppm slow, coarse position", -1000, "period", 60, 0},
      {.name = "output 1000 ppm slow, with a larger buffer",
       .ppm = -1000,
       .position = "exact",
       .audio_seconds = 60,
       .delay_span_us = 0,
       .device = "buffer 32768"},
  };
  for (const DriftCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DriftRun r = play(c);
    expect_clean(c, r);
    EXPECT_GT(c.ppm > 0 ? r.repeats : r.drops, 100);
    EXPECT_EQ(c.ppm > 0 ? r.drops : r.repeats, 0);
  }
}

// Minutes of audio per case (ctest -L long): the queue stays where it settled, and the edits
// make up for the offset and nothing more.
TEST_F(DriftTest, HoldsTheQueueForMinutes) {
  const DriftCase cases[] = {
      {"matched clocks", 0, "exact", 300, 1000},
      {"output 300 ppm fast", 300, "exact", 300, 40000},
      {"output 300 ppm slow", -300, "exact", 300, 40000},
      {"output 300 ppm fast, coarse position", 300, "period", 300, 60000},
      {"output 300 ppm slow, coarse position", -300, "period", 300, 60000},
  };
  for (const DriftCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Without the correction the delay would leave its band after the first minute.
    ASSERT_TRUE(c.ppm == 0 || std::abs(c.ppm) * (c.audio_seconds - 60) > c.delay_span_us);
    const DriftRun r = play(c);
    expect_clean(c, r);
    const double implied = std::abs(c.ppm) * 1e-6 * static_cast<double>(r.samples);
    const long long wanted = c.ppm > 0 ? r.repeats : r.drops;
    const long long unwanted = c.ppm > 0 ? r.drops : r.repeats;
    EXPECT_NEAR(static_cast<double>(wanted), implied, 0.25 * implied + 0.5);
    EXPECT_LE(static_cast<double>(unwanted), 0.02 * implied);
    // The queue when a block starts also moves with the moment the relay writes it; the delay is
    // what a listener hears.
    EXPECT_LE(r.delay_high_us - r.delay_low_us, c.delay_span_us)
        << "queue when a block starts: " << r.queue_low << " to " << r.queue_high;
  }
}

// The little-endian 32-bit number at `at` of `bytes`.
uint32_t le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(at + i))) << (8 * i);
  }
  return value;
}

// Ways of routing "default" that the README and the man page give, each run as a user would and
// followed to what the other program made of the audio.
enum class Made {
  wav,       // a WAV file at 48000 Hz, complete after Ctrl-C, holding the board's blocks
  raw22050,  // raw samples resampled to 22050 Hz, as a decoder that wants that rate reads them
  nothing,   // no output at all: the card named does not exist
};

struct RecipeCase {
  const char* name;
  std::string config;  // "DIR" stands for the test's directory
  EnvList env = {};
  const char* file = "";  // what the other program writes
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

TEST_F(RelayTest, RecipesFromTheReadme) {
  const RecipeCase cases[] = {
      {.name = "recorder: a WAV file written by sox as the audio comes",
       .config = "pcm.!default { type file; slave.pcm { type null }; format \"raw\";\n"
                 "  file \"|sox -q -t raw -r 48000 -e signed -b 16 -c 1 - DIR/out.wav\" }",
       .file = "out.wav",
       .made = Made::wav},
      // In the README the decoder (multimon-ng) stands where cat does here.
      {.name = "decoder: raw samples resampled by sox to the decoder's 22050 Hz",
       .config = "pcm.!default { type file; slave.pcm { type null }; format \"raw\";\n"
                 "  file \"|sox -q -t raw -r 48000 -e signed -b 16 -c 1 - -t raw -r 22050 -e "
                 "signed -b 16 -c 1 - | cat > DIR/decoded.raw\" }",
       .file = "decoded.raw",
       .made = Made::raw22050},
      // ALSA's own configuration reads ALSA_CARD for the card of "default".
      {.name = "another card by name, without editing files",
       .config = "",
       .env = {{"ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf"},
               {"ALSA_CARD", "OrvtestNoSuchCard"}},
       .made = Made::nothing},
  };
  for (const RecipeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string config = c.config;
    for (size_t at = config.find("DIR"); at != std::string::npos; at = config.find("DIR", at)) {
      config.replace(at, 3, dir);
    }
    const std::string file = dir + "/" + c.file;
    if (*c.file != '\0') {
      std::filesystem::remove(file);
    }
    std::filesystem::remove(dir + "/frames");
    EnvList env = c.env;
    env.emplace_back("ORVSIM_RATE", "480000");  // the board at ten times real time
    const ProcessResult run =
        run_process(ORVCTL_SIM_PATH, {"-s", "145500"}, setup(config, env), 400);
    const std::vector<std::string> sent = sent_blocks(frames());
    switch (c.made) {
      case Made::wav: {
        EXPECT_EQ(run.status, 128 + SIGINT) << run.out << run.err;
        // sox completes its header once the tool's end has closed the pipe.
        const std::string wav = finished_file(file, [](const std::string& text) {
          return text.size() > 44 && le32(text, 40) == text.size() - 44;
        });
        ASSERT_GT(wav.size(), 44u);
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
        ASSERT_GT(got.size(), 0u);
        ASSERT_GE(sent.size(), got.size());
        EXPECT_EQ(got, std::vector<std::string>(sent.begin(), sent.begin() + got.size()));
        break;
      }
      case Made::raw22050: {
        EXPECT_EQ(run.status, 128 + SIGINT) << run.out << run.err;
        const std::string raw = finished_file(file);
        // 22050 samples for every 48000 the tool wrote: at least a block's worth, at most what the
        // board sent.
        EXPECT_EQ(raw.size() % 2, 0u);
        EXPECT_GE(raw.size() / 2, kBlockBytes / 2 * 22050 / 48000);
        EXPECT_LE(raw.size() / 2, sent.size() * kBlockBytes / 2 * 22050 / 48000 + 64);
        break;
      }
      case Made::nothing:
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(relay_messages(run.out),
                  std::vector<std::string>{"Playback open error: No such device"});
        EXPECT_NE(run.err.find("cannot find card 'OrvtestNoSuchCard'"), std::string::npos)
            << run.err;
        EXPECT_EQ(sent.size(), 0u);
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
       .announced = kBanner + R"(Firmware version is 1.04
Tuning to 145500 kHz
VHF/UHF, Narrow Band FM

Playback enabled: Ctrl-C to exit
)",
       .status_lines = false},
      {.name = "user unit with letters in the options file",
       .unit = "user/orvctl@.service",
       .options = "# wide band FM, with the signal status\nORVCTL_OPTIONS=\"-w -r\"\n",
       .instance = "88000",
       .announced = kBanner + R"(Firmware version is 1.04
Tuning to 88000 kHz
VHF/UHF, Wide Band FM

Playback enabled: Ctrl-C to exit
)",
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
                    setup(captured_device(""), {{"ORVSIM_RATE", "480000"}}), 400);
    EXPECT_EQ(run.status, 128 + SIGINT);  // systemctl stop sends SIGINT (KillSignal=)
    EXPECT_EQ(run.out.substr(0, c.announced.size()), c.announced);
    EXPECT_EQ(count_lines_starting(run.out, "RSSI = ") > 0, c.status_lines) << run.out;
    EXPECT_NE(frames().find("00 00 56 01 80\n"), std::string::npos);
    EXPECT_GT(played().size(), 0u);
  }
}

TEST_F(RelayTest, StuckBoardKeepsThePollGoingUntilCtrlC) {
  const ProcessResult run = run_process(
      ORVCTL_SIM_PATH, {"-ds", "700"},
      setup(captured_device(""), {{"ORVSIM_RATE", "0"}, {"ORVSIM_SPI_HZ", "7812500"}}), 300);
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
}

}  // namespace
