// orvctl-stream-check RAW KHZ: compares what a sound output received (raw 16-bit little-endian
// mono, as ALSA's file plugin writes it) with the stream the simulated board produces when tuned
// to KHZ, block by block. A long run cannot keep a frame log of its busy polls, so the check
// regenerates the board's samples instead.
//
// Prints one line: blocks received, blocks in order, samples the output never got (lost), blocks
// it got twice (repeated) and blocks that are nowhere in the stream (altered). Exit status 0 when
// every block came in order.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "board/sim_board.h"

namespace {

constexpr int64_t kSearchBehind = 4 * kBlockSamples;
constexpr int64_t kSearchAhead = 4 * kSimCapacity;

bool block_at(const SimBoard& board, const int16_t* block, int64_t first) {
  if (first < 0) {
    return false;
  }
  for (uint32_t i = 0; i < kBlockSamples; ++i) {
    if (sim_sample(board, static_cast<uint64_t>(first) + i) != block[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: orvctl-stream-check RAW KHZ\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "orvctl-stream-check: cannot read %s\n", argv[1]);
    return 2;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                      static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  }

  // The board as the run left it after tuning: the notes follow the frequency.
  SimBoard board;
  sim_reset(board, SimKnobs{});
  sim_tune(board, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));

  const size_t blocks = samples.size() / kBlockSamples;
  size_t in_order = 0;
  size_t repeated = 0;
  size_t altered = 0;
  int64_t lost = 0;
  int64_t next = 0;  // where the next block should start in the board's stream
  for (size_t b = 0; b < blocks; ++b) {
    const int16_t* block = samples.data() + b * kBlockSamples;
    if (block_at(board, block, next)) {
      ++in_order;
      next += kBlockSamples;
      continue;
    }
    int64_t found = -1;
    for (int64_t at = next - kSearchBehind; at <= next + kSearchAhead && found < 0; ++at) {
      found = block_at(board, block, at) ? at : -1;
    }
    if (found < 0) {
      ++altered;
      next += kBlockSamples;
    } else {
      if (found < next) {
        ++repeated;
      } else {
        lost += found - next;
      }
      next = found + kBlockSamples;
    }
  }
  std::printf("blocks %zu, in order %zu, lost samples %lld, repeated %zu, altered %zu%s\n", blocks,
              in_order, static_cast<long long>(lost), repeated, altered,
              samples.size() % kBlockSamples != 0 ? " (a partial block at the end)" : "");
  return in_order == blocks ? 0 : 1;
}
