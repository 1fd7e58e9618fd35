// The robust recogniser's view of the receiver's gain. An AGC pulled down
// by a static crash turns the signal and the noise down together for a
// second or two; read against the levels before it, the signal seems gone.
// The noise beside the channel shows the gain, block by block, and the
// front end undoes it before its channel filter would smear the step of
// gain over the filter's length. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_GAIN_H
#define TOLVANE_SRC_ROBUST_GAIN_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "robust/dsp.h"
#include "robust/levels.h"

namespace tolvane::robust {

// The wide band's power over one block of kGuardBlock values: in the
// channel (bin 0 of a Hann-windowed DFT) and beside it on either side
// (bins 2 to 4), per bin.
constexpr std::size_t kGuardBlock = 16;
struct GuardPowers {
  double centre = 0;
  double sides[2] = {0, 0};
  double halves[2] = {0, 0};  // the channel's power in each half, unwindowed: a key's edge inside shows
  // The smaller side: a crash raises both, an interfering station one.
  double beside() const { return (sides[0] < sides[1] ? sides[0] : sides[1]) / 3; }
  bool balanced() const { return (sides[0] < sides[1] ? sides[1] <= 6 * sides[0] : sides[0] <= 6 * sides[1]); }
};
GuardPowers MeasureGuard(const Complex* block);

class ReceiverGain {
 public:
  // Forgets everything; `keep` blocks are kept from now on, a gain is read
  // from quiet blocks up to `reach` either side, and it is scaled back only
  // up to `recover` blocks after a crash.
  void Reset(std::size_t keep, std::int64_t reach, std::int64_t recover);

  // The next block: the noise power beside the channel per bin, whether it
  // holds the receiver's noise alone, and whether the block was a crash.
  void Add(double beside, bool quiet, bool crash);

  // The factor to scale the channel's amplitude by in block `b` (counted
  // from the last Reset), 1 where the gain is as usual or cannot be told.
  double Correction(std::int64_t b) const;

  // The usual noise power beside, per bin; 0 before it is known.
  double usualBeside() const;
  std::size_t heapBytes() const;

 private:
  // Marks below any level in decibels (powers are floored at 1e-30).
  static constexpr float kNotQuiet = -1000.0f;
  static constexpr float kCrash = -2000.0f;

  // Block `b`'s noise beside over the usual, from the quiet blocks near it.
  double Ratio(std::int64_t b) const;

  std::vector<float> beside_;  // per block: the quiet noise beside in decibels, or a mark
  std::vector<std::uint16_t> sinceBurst_;  // per block: blocks since the latest crash, saturating
  std::int64_t added_ = 0;
  std::int64_t reach_ = 10;
  std::int64_t recover_ = 200;
  std::int64_t lastBurst_ = -1;
  std::int64_t quietSeen_ = 0;
  std::int64_t dipped_ = 0;  // quiet blocks in a row read as a dip
  double usualDb_ = 0;       // the undipped quiet blocks' mean, in decibels
  double usualCount_ = 0;
};

// Undoes a receiver AGC's dips on the wide band. Each value waits `delay`
// seconds, so that the quiet blocks after it show the gain it was taken
// with; a crash's own blocks bound the blocks a gain is read from.
class GainUndo {
 public:
  // Forgets everything; values come at `rate` and wait `delaySeconds`.
  void Reset(double rate, double delaySeconds);
  // Whether dips are undone; the gain is followed either way.
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  // One wide value and its input time in; true when a corrected value
  // comes out, with the input time it stands for.
  bool Push(Complex wide, std::int64_t time, Complex* out, std::int64_t* outTime);
  // Values waiting.
  std::size_t delay() const { return delayed_.size(); }
  std::size_t heapBytes() const;

 private:
  void Block();

  std::vector<Complex> block_;
  std::vector<Complex> delayed_;
  std::vector<std::int64_t> times_;
  std::size_t at_ = 0;
  std::int64_t pushed_ = 0;
  std::int64_t correctedBlock_ = -1;
  double correction_ = 1;
  bool enabled_ = false;
  PowerHistogram centreLevel_{20000.0 / kGuardBlock};  // the channel's power per block
  PowerHistogram guardNoise_{20000.0 / kGuardBlock};   // the noise beside, per bin
  std::int64_t blocks_ = 0;
  double centreMedian_ = 0, keyDown_ = 0, noiseMedian_ = 0;  // their quantiles, as last read
  ReceiverGain gain_;
};

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_GAIN_H
