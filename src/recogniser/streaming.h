// The basic recogniser's pieces for reading block by block; internal to
// src/recogniser (others call DecodeSource in recogniser.h).
#ifndef TOLVANE_SRC_RECOGNISER_STREAMING_H
#define TOLVANE_SRC_RECOGNISER_STREAMING_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "morse/morse.h"
#include "recogniser/recogniser.h"
#include "recogniser/window_sums.h"

namespace tolvane {

// Receives runs in time order.
class RunSink {
 public:
  virtual ~RunSink() = default;
  // Everything received so far is void: runs start again at `position`.
  virtual void Restart(std::uint64_t position) = 0;
  virtual void Run(bool on, std::uint64_t length) = 0;
};

// Cuts samples into runs as SegmentSamples does, from blocks of any size,
// with the decoder's window. With `tracking` the threshold follows the
// loudest envelope so far, and the sink is restarted wherever it rises;
// otherwise it stays at `threshold` throughout.
class Segmenter {
 public:
  Segmenter(bool tracking, std::int32_t threshold, RunSink* sink);
  void Push(const std::int16_t* samples, std::size_t count);
  // Cuts what is pending and gives the last run.
  void Finish();

  std::uint64_t count() const { return count_; }
  std::int32_t peak() const { return peak_; }
  std::int32_t threshold() const { return threshold_; }
  // Where the runs given under the current threshold start.
  std::uint64_t restartedAt() const { return restartedAt_; }
  bool anyNonZero() const { return anyNonZero_; }

  static constexpr std::size_t kWindow = window_sums::kWindow;
  static constexpr std::size_t kBlock = window_sums::kBlock;
  static constexpr std::size_t kChunk = window_sums::kChunk;
  static constexpr std::size_t kPrime = 2 * kWindow;  // positions done one by one

 private:
  void Process(std::size_t n);
  void Prime(std::size_t n);
  void Vector(const std::int16_t* x, std::size_t m);
  void Rethreshold(std::int32_t peak, std::uint64_t at);
  void Visit(std::uint64_t position, bool on);

  bool tracking_;
  RunSink* sink_;
  std::int32_t peak_ = 0;
  std::int32_t threshold_;
  std::uint64_t restartedAt_ = 0;
  bool anyNonZero_ = false;
  std::uint64_t count_ = 0;  // positions cut
  bool state_ = false;       // the walk starts in the off state
  std::uint64_t start_ = 0;  // of the open run
  std::int16_t pending_[kChunk]{};
  std::size_t pendingCount_ = 0;
  // History across chunks: |x| from 72 positions back, eight-sums from 64
  // back, window sums from 8 back, then the chunk itself.
  std::int32_t a_[kWindow + 8 + kChunk]{};
  std::int32_t b_[kWindow + kChunk]{};
  std::int32_t s_[8 + kChunk]{};
};

// Turns runs into text as AssembleText does, one run at a time.
class TextAssembler {
 public:
  // The text stops growing, and Push answers false, once it would pass
  // `maxText` bytes.
  TextAssembler(int unit, std::string* text, std::string* symbols, std::size_t maxText);
  bool Push(bool on, std::uint64_t length);
  bool Finish();

 private:
  bool Put(char c);
  void Flush();

  std::int64_t unit_;
  std::string* text_;
  std::string* symbols_;
  std::size_t maxText_;
  bool overflow_ = false;
  bool spaceDue_ = false;  // a character ended: separate its symbols from the next
  // Past the longest code, the pending code reads as '?' whatever follows;
  // keeping one symbol more than that bounds its memory.
  char pending_[kMaxCodeLength + 2] = {};
  std::size_t pendingCount_ = 0;
};

// How many run lengths DecodeSource keeps for the text before it reads
// everything a third time instead: 1 MB.
constexpr std::size_t kMaxKeptRuns = 1 << 18;

// DecodeSource keeping at most `keep` run lengths, so tests can reach the
// third pass with small inputs.
bool DecodeSourceKeeping(SampleSource* source, std::string* text, DecodeReport* report, DecodeFailure* why,
                         std::size_t maxText, std::size_t keep);

}  // namespace tolvane

#endif  // TOLVANE_SRC_RECOGNISER_STREAMING_H
