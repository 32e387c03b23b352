// The checker of captured audio, on captures made from the board's stream with the faults it must
// tell apart: the real-system test's and the soak's verdicts rest on it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/sim_board.h"
#include "sim/sim_knobs.h"
#include "testing/run_process.h"

namespace {

// A capture: pieces of the board's ramp at 145500 kHz, [first, last) each, or silence.
struct Piece {
  int64_t first;
  int64_t last;
  bool silent = false;
};
Piece stream(int64_t first, int64_t last) {
  return {first, last};
}
Piece silence(int64_t samples) {
  return {0, samples, true};
}

std::string capture(const std::vector<Piece>& pieces, const char* bursts) {
  SimKnobs knobs;
  std::string error;
  EXPECT_TRUE(sim_parse_knobs({.signal = "ramp", .bursts = bursts}, knobs, error)) << error;
  SimBoard board;
  sim_reset(board, knobs);
  sim_tune(board, 145500);
  std::string bytes;
  for (const Piece& piece : pieces) {
    for (int64_t n = piece.first; n < piece.last; ++n) {
      const int16_t value = piece.silent ? 0 : sim_sample(board, static_cast<uint64_t>(n));
      bytes += static_cast<char>(value & 0xff);
      bytes += static_cast<char>((value >> 8) & 0xff);
    }
  }
  return bytes;
}

TEST(StreamCheck, TellsTheFaultsApart) {
  const struct {
    const char* name;
    std::vector<Piece> pieces;
    const char* says;  // a part of its line
    int status;
    const char* bursts = nullptr;  // ORVSIM_BURSTS: the stream is transmissions
  } cases[] = {
      {"the stream whole", {stream(0, 96000)}, "lost 0 in 0 gaps, repeated 0", 0},
      {"after a recorder's silence",
       {silence(4800), stream(0, 96000)},
       "after 4800 samples of silence",
       0},
      {"a listener joining late",
       {stream(30000, 96000)},
       "joining at sample 30000 of the stream",
       0},
      {"a recorder's silence, then the stream without its start",
       {silence(4800), stream(12000, 96000)},
       "lost 12000 in 1 gaps",
       1},
      {"a sample dropped", {stream(0, 50000), stream(50001, 96000)}, "drops 1, repeats 0", 0},
      {"a block lost", {stream(0, 24000), stream(36000, 96000)}, "lost 12000 in 1 gaps", 1},
      {"a block played twice",
       {stream(0, 36000), stream(24000, 96000)},
       "repeated 12000 in 1 jumps back",
       1},
      {"a pause",
       {stream(0, 36000), silence(2400), stream(36000, 96000)},
       "paused 2400 in 1 pauses",
       1},
      // Two transmissions of 1 s, a minute apart (samples 48000 to 95999, 2928000 to 2975999).
      {"a listener through two transmissions, joined in the silence",
       {stream(20000, 3000000)},
       "lost 0 in 0 gaps, repeated 0 in 0 jumps back, altered 0, paused 0",
       0,
       "1:1000 61:1000"},
      {"a recorder begun before the stream",
       {silence(4800), stream(0, 3000000)},
       "after 4800 samples of silence",
       0,
       "1:1000 61:1000"},
      {"the silence between them shortened by the relay's edits (58 ms in 58 s)",
       {stream(20000, 2000000), stream(2002784, 3000000)},
       "lost 0 in 0 gaps, repeated 0 in 0 jumps back, altered 0, paused 0 in 0 pauses, largest "
       "edit step 0 (its block's own largest step 0), a silence 2784 samples shorter",
       0,
       "1:1000 61:1000"},
      {"the silence between them shortened",
       {stream(20000, 2000000), stream(2100000, 3000000)},
       "lost 100000 in 1 gaps",
       1,
       "1:1000 61:1000"},
      // The ramp's values come again every 65536 samples, inside the first transmission too.
      {"a recording of the second transmission alone, from 0.2 s before it",
       {stream(2928000 - 9600, 2928000 + 48000 + 96000)},
       "lost 0 in 0 gaps, repeated 0 in 0 jumps back, altered 0, paused 0",
       0,
       "1:3000 61:1000"},
      {"a listener joined in a transmission, where the ramp passes 0 a second time",
       {stream(131072, 3000000)},
       "lost 0 in 0 gaps, repeated 0 in 0 jumps back, altered 0, paused 0",
       0,
       "1:3000 61:1000"},
      {"the second transmission cut short",
       {stream(20000, 2950000), silence(50000)},
       "paused 50000 in 1 pauses",
       1,
       "1:1000 61:1000"},
  };
  const std::string dir = make_temp_dir();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(dir + "/capture.raw", std::ios::binary) << capture(c.pieces, c.bursts);
    EnvList env;
    if (c.bursts != nullptr) {
      env.emplace_back("ORVSIM_BURSTS", c.bursts);
    }
    const ProcessResult run =
        run_process(ORVCTL_STREAM_CHECK_PATH, {dir + "/capture.raw", "145500", "ramp"}, env);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(run.status, c.status) << run.out;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
