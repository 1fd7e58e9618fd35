// The robust recogniser's view of the receiver's gain. An AGC pulled down
// by a static crash turns the signal and the noise down together for a
// second or two; read against the levels before it, the signal seems gone.
// The noise beside the channel shows the gain, block by block. Internal to
// src/robust.
#ifndef TOLVANE_SRC_ROBUST_GAIN_H
#define TOLVANE_SRC_ROBUST_GAIN_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "robust/levels.h"

namespace tolvane::robust {

class ReceiverGain {
 public:
  // `memoryBlocks`: how long the usual noise is remembered.
  explicit ReceiverGain(double memoryBlocks);

  // Forgets everything; `keep` blocks are kept from now on, a gain is read
  // from quiet blocks up to `reach` either side, and it is scaled back only
  // up to `recover` blocks after a burst beside the channel.
  void Reset(std::size_t keep, std::int64_t reach, std::int64_t recover);

  // The next block: the noise power beside the channel per bin, whether the
  // channel held noise alone (well below the key-down level), and whether
  // the block was a crash.
  void Add(double beside, bool quiet, bool crash);

  // The factor to scale the channel's amplitude by in block `b` (counted
  // from the last Reset), 1 where the gain is as usual or cannot be told.
  double Correction(std::int64_t b) const;

  double usualBeside() const { return usual_.Quantile(0.5); }

 private:
  static constexpr float kNotQuiet = -1.0f;
  static constexpr float kCrash = -2.0f;

  std::vector<float> beside_;  // per block: the quiet noise beside, or a mark
  std::vector<std::uint16_t> sinceBurst_;  // per block: blocks since the latest burst, saturating
  PowerHistogram usual_;
  std::int64_t added_ = 0;
  std::int64_t reach_ = 10;
  std::int64_t recover_ = 200;
  std::int64_t lastBurst_ = -1;
  std::int64_t quietSeen_ = 0;
};

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_GAIN_H
