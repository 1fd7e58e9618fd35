// Key clicks from neighbours: a keyed carrier's edges spread energy tens of
// hertz either side, and a signal 20 dB stronger 80 Hz away puts clicks into
// a weak signal's channel as loud as the weak signal's own dots. Each
// strong signal's edges are found in its own channel; each channel learns
// the click a neighbour's edge leaves in it and subtracts it. Internal to
// src/skim.
#ifndef TOLVANE_SRC_SKIM_CLICKS_H
#define TOLVANE_SRC_SKIM_CLICKS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "skim/dsp.h"

namespace tolvane::skim {

// A key edge, in channel samples (fractional), with the carrier's complex
// amplitude beside it.
struct Edge {
  double at = 0;
  bool rising = true;
  Complex amplitude;
  bool ready = false;  // the amplitude is measured
  bool steady = false;  // at the carrier's full level
};

// Finds a signal's key edges in its own channel, where it sits at 0 Hz.
class EdgeFinder {
 public:
  // Channel samples first .. first + n - 1.
  void Process(const Complex* y, std::size_t n, std::int64_t first);
  const std::deque<Edge>& edges() const { return edges_; }

 private:
  double Crossing(std::int64_t j, float half) const;

  std::deque<Edge> edges_;
  std::vector<Complex> recent_;  // ring of the last samples, for amplitudes beside an edge
  float level_ = 0;              // key-down magnitude, tracked
  float logFloor_ = 0;           // a low quantile of the log magnitude: the noise
  std::int64_t seen_ = 0;
  bool down_ = false;
};

// One channel's view of a neighbour.
struct Neighbour {
  int serial = 0;  // which signal: what was learned of it is kept between blocks
  const EdgeFinder* edges = nullptr;
  // This channel's mixer over the neighbour's at the block's first sample:
  // the neighbour's carrier, of complex amplitude a in its own channel,
  // is a times this here. It turns by `turn` cycles per sample.
  Complex mixer{1, 0};
  double turn = 0;
};

class ClickCanceller {
 public:
  static constexpr std::size_t kReach = 72;         // a click lasts this many samples either side of its edge
  static constexpr std::size_t kDelay = kReach + 24;  // what the output waits for

  // This channel's samples first .. first + n - 1 in `y`; the samples kDelay
  // earlier, clicks taken out, come back in `y`. `level`: the channel's own
  // key-down power; where a click comes near it the channel is held.
  void Process(Complex* y, std::size_t n, std::int64_t first, const std::vector<Neighbour>& neighbours, float level);
  std::size_t memoryBytes() const;

 private:
  struct Pair {
    std::vector<Complex> rise, fall;  // the click, per sample from -kReach to +kReach
    float riseWeight = 0, fallWeight = 0;
    int rises = 0, falls = 0;
    double learnedUpTo = -1e18;       // edges before this have been learned from
    std::int64_t seen = 0;            // last block this neighbour was near
  };

  static Complex At(const std::vector<Complex>& ring, double t);
  static Complex Shape(const std::vector<Complex>& c, double tau);

  std::vector<Complex> input_;     // ring: this channel's samples
  std::vector<Complex> residual_;  // ring: clicks taken out
  std::map<int, Pair> pairs_;
  std::int64_t blocks_ = 0;
  Complex held_;  // the last sample no loud click was near
};

}  // namespace tolvane::skim

#endif  // TOLVANE_SRC_SKIM_CLICKS_H
