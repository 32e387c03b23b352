// orvctl-stream-check RAW KHZ [SIGNAL]: compares what a sound output received (raw 16-bit
// little-endian mono, as ALSA's file plugin writes it) with the stream the simulated board
// produces when tuned to KHZ with ORVSIM_SIGNAL=SIGNAL (chime or ramp; default chime), sample by
// sample. A long run cannot keep a frame log of its busy polls, so the check regenerates the
// board's samples instead.
//
// It follows the capture through the board's stream and tells apart:
//   drops, repeats  single samples the relay left out or played twice to follow the output's
//                   clock (edits);
//   lost            samples the output never got, in gaps longer than one sample;
//   repeated        samples played again after a jump back;
//   altered         samples that are nowhere in the stream.
//   pauses          runs of silence in the middle of the stream, where the output ran dry and
//                   played silence (the stream goes on after them where it left off, or later).
// Silence before the stream's first sample is left out; a capture that begins with it must then
// begin the stream. With ORVSIM_BURSTS in the environment the stream is the board's transmissions
// (the same knob as the run's), and a capture is placed by its first sound. It also prints the
// largest step between two neighbouring samples that an edit made, next to the largest step of the
// board's own block (12000 samples) in which it was made.
//
// Exit status 0 when nothing was lost, repeated or altered and the stream never paused (edits are
// allowed).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/sim_board.h"
#include "sim/sim_knobs.h"

namespace {

constexpr int64_t kVerify = 8;  // samples that must agree after an edit or a jump
constexpr int64_t kSearchBehind = 4 * kBlockSamples;
constexpr int64_t kSearchAhead = 4 * kSimCapacity;

struct Capture {
  const uint8_t* bytes;
  int64_t size;  // samples
};

int sample(const Capture& capture, int64_t i) {
  return static_cast<int16_t>(capture.bytes[2 * i] | capture.bytes[2 * i + 1] << 8);
}

// Whether the capture from `i` on is the board's stream from `n` on (as far as both go).
bool matches(const Capture& capture, const SimBoard& board, int64_t i, int64_t n) {
  if (n < 0 || i >= capture.size) {
    return false;
  }
  const int64_t end = std::min(capture.size, i + kVerify);
  for (; i < end; ++i, ++n) {
    if (sample(capture, i) != sim_sample(board, static_cast<uint64_t>(n))) {
      return false;
    }
  }
  return true;
}

// Whether the stream is silent for the `silence` samples before sample n (those of them that it
// has: a capture may begin before the stream).
bool silent_before(const SimBoard& board, int64_t n, int64_t silence) {
  for (int64_t k = std::max<int64_t>(0, n - silence); k < n; ++k) {
    if (sim_sample(board, static_cast<uint64_t>(k)) != 0) {
      return false;
    }
  }
  return true;
}

// How many samples from `i` on the capture agrees with the board's stream from `n` on, counted up
// to the capture's end or a second beyond `enough`.
int64_t agreement(const Capture& capture, const SimBoard& board, int64_t i, int64_t n,
                  int64_t enough) {
  int64_t agreed = 0;
  while (i + agreed < capture.size && agreed < enough + kSampleRate &&
         sample(capture, i + agreed) == sim_sample(board, static_cast<uint64_t>(n + agreed))) {
    ++agreed;
  }
  return agreed;
}

// The largest step between two neighbouring samples of the board's block that holds sample n.
int own_step(const SimBoard& board, int64_t n) {
  const uint64_t first = static_cast<uint64_t>(n) / kBlockSamples * kBlockSamples;
  int largest = 0;
  for (uint64_t m = first; m + 1 < first + kBlockSamples; ++m) {
    largest = std::max(largest, std::abs(sim_sample(board, m + 1) - sim_sample(board, m)));
  }
  return largest;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: orvctl-stream-check RAW KHZ [chime|ramp]\n");
    return 2;
  }
  SimKnobs knobs;
  std::string error;
  if (!sim_parse_knobs(
          {.signal = argc == 4 ? argv[3] : nullptr, .bursts = std::getenv("ORVSIM_BURSTS")}, knobs,
          error)) {
    std::fprintf(stderr, "orvctl-stream-check: %s\n", error.c_str());
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) < 0) {
    std::fprintf(stderr, "orvctl-stream-check: cannot read %s\n", argv[1]);
    return 2;
  }
  Capture capture{nullptr, status.st_size / 2};
  if (capture.size > 0) {
    void* mapped =
        mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED) {
      std::fprintf(stderr, "orvctl-stream-check: cannot map %s\n", argv[1]);
      return 2;
    }
    madvise(mapped, static_cast<size_t>(status.st_size), MADV_SEQUENTIAL);
    capture.bytes = static_cast<const uint8_t*>(mapped);
  }

  // The board as the run left it after tuning: the notes follow the frequency.
  SimBoard board;
  sim_reset(board, knobs);
  sim_tune(board, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));

  int64_t drops = 0, repeats = 0, lost = 0, gaps = 0, repeated = 0, jumps = 0, altered = 0;
  int64_t shortened = 0;  // samples of a silence left out, found where the sound came back
  int64_t paused = 0, pauses = 0;
  int edit_step = -1, edit_block_step = 0;
  int64_t search_from = 0;  // after a failed search, the next samples are not searched again
  int64_t n = 0;            // the board's sample that the capture's next sample should be
  // A capture started before the playback (a loopback card's other end) begins with silence that
  // is not the stream's.
  int64_t i = 0;
  // With transmissions (ORVSIM_BURSTS) the stream is mostly silence, so the capture is placed by
  // its first sound: where it matches a burst, its silence before that being the stream's own
  // (where the stream has sound there, the walk below finds it missing). The ramp comes again every
  // 65536 samples, so a burst longer than that matches in more than one place: the capture goes
  // where it agrees with the stream the longest (the first of equals).
  bool placed = false;
  if (!knobs.bursts.empty()) {
    int64_t first = 0;
    while (first < capture.size && sample(capture, first) == 0) {
      ++first;
    }
    int64_t longest = 0;
    for (size_t b = 0; b < knobs.bursts.size() && first < capture.size; ++b) {
      const int64_t from = knobs.bursts[b].at_ns / 1000000000 * kSampleRate;
      const int64_t to =
          (knobs.bursts[b].at_ns + knobs.bursts[b].length_ns) / 1000000000 * kSampleRate +
          kSampleRate;
      for (int64_t m = from; m < to; ++m) {
        if (!matches(capture, board, first, m) || !silent_before(board, m, first)) {
          continue;
        }
        const int64_t agreed = agreement(capture, board, first, m, longest + 1);
        if (agreed > longest) {
          longest = agreed;
          placed = true;
          n = m - first;
        }
      }
    }
    if (placed && n < 0) {  // begun before the stream
      i = -n;
      n = 0;
    }
  }
  while (!placed && i < capture.size && sample(capture, i) == 0 && !matches(capture, board, i, 0)) {
    ++i;
  }
  const int64_t silence = i;
  // A capture that starts after the stream did (a recorder started late, a listener joining a
  // stream) is aligned to where it starts, which counts as nothing lost. One that began before the
  // stream (its silence shows it) must hold the stream's start: what is missing there was lost.
  int64_t joined = -1;
  if (!placed && i < capture.size && !matches(capture, board, i, 0)) {
    for (int64_t m = 1; m <= kSearchAhead && joined < 0; ++m) {
      joined = matches(capture, board, i, m) ? m : -1;
    }
    n = std::max<int64_t>(joined, 0);
    if (silence > 0 && joined > 0) {
      lost += joined;
      ++gaps;
    }
  }
  while (i < capture.size) {
    const int here = sample(capture, i);
    if (here == sim_sample(board, static_cast<uint64_t>(n))) {
      ++i;
      ++n;
      continue;
    }
    int step = -1;
    if (i > 0 && matches(capture, board, i, n + 1)) {  // sample n was left out
      ++drops;
      step = std::abs(here - sample(capture, i - 1));
      ++n;
    } else if (i > 0 && here == sample(capture, i - 1) && matches(capture, board, i + 1, n)) {
      ++repeats;  // sample n - 1 played twice
      step = i + 1 < capture.size ? std::abs(sample(capture, i + 1) - here) : 0;
      ++i;
    }
    if (step >= 0) {
      if (step > edit_step) {
        edit_step = step;
        edit_block_step = own_step(board, n);
      }
      continue;
    }
    // Silence where the stream is not silent: a pause of the output, as long as the zeros last.
    int64_t zeros = 0;
    while (i + zeros < capture.size && sample(capture, i + zeros) == 0) {
      ++zeros;
    }
    if (zeros >= kVerify) {
      paused += zeros;
      ++pauses;
      i += zeros;
      continue;
    }
    int64_t jump = 0;
    if (i >= search_from) {
      for (int64_t d = 1; d <= std::max(kSearchAhead, kSearchBehind) && jump == 0; ++d) {
        if (d <= kSearchAhead && matches(capture, board, i, n + d)) {
          jump = d;
        } else if (d <= kSearchBehind && matches(capture, board, i, n - d)) {
          jump = -d;
        }
      }
    }
    // Where the sound comes back after a silence, the relay's edits in that silence show at once:
    // as many as 3 in 1000 of its samples (its fastest work-off on top of the fastest drift) are
    // a silence shortened, nothing heard lost; more is a gap.
    int64_t quiet = 0;
    while (quiet < i && sample(capture, i - 1 - quiet) == 0) {
      ++quiet;
    }
    if (jump > 0 && jump <= quiet * 3 / 1000 + kVerify && silent_before(board, n + jump, jump)) {
      shortened += jump;
    } else if (jump > 0) {
      lost += jump;
      ++gaps;
    } else if (jump < 0) {
      repeated -= jump;
      ++jumps;
    } else {
      ++altered;
      search_from = i + kBlockSamples;
      ++i;
      ++n;
      continue;
    }
    n += jump;
  }
  std::printf(
      "samples %lld, drops %lld, repeats %lld, lost %lld in %lld gaps, repeated %lld in %lld jumps "
      "back, altered %lld, paused %lld in %lld pauses, largest edit step %d (its block's own "
      "largest step %d)%s\n",
      static_cast<long long>(capture.size - silence), static_cast<long long>(drops),
      static_cast<long long>(repeats), static_cast<long long>(lost), static_cast<long long>(gaps),
      static_cast<long long>(repeated), static_cast<long long>(jumps),
      static_cast<long long>(altered), static_cast<long long>(paused),
      static_cast<long long>(pauses), std::max(edit_step, 0), edit_block_step,
      ((shortened > 0 ? ", a silence " + std::to_string(shortened) + " samples shorter" : "") +
       (silence > 0 ? ", after " + std::to_string(silence) + " samples of silence" : "") +
       (joined > 0 ? ", joining at sample " + std::to_string(joined) + " of the stream" : ""))
          .c_str());
  return lost == 0 && repeated == 0 && altered == 0 && pauses == 0 ? 0 : 1;
}
