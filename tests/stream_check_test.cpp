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

std::string capture(const std::vector<Piece>& pieces) {
  SimKnobs knobs;
  std::string error;
  EXPECT_TRUE(sim_parse_knobs({.signal = "ramp"}, knobs, error)) << error;
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
  };
  const std::string dir = make_temp_dir();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(dir + "/capture.raw", std::ios::binary) << capture(c.pieces);
    const ProcessResult run =
        run_process(ORVCTL_STREAM_CHECK_PATH, {dir + "/capture.raw", "145500", "ramp"});
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(run.status, c.status) << run.out;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
