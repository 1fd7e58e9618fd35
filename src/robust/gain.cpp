#include "robust/gain.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolvane::robust {

namespace {

// An AGC's dip of a few decibels costs little; a deep one is scaled back
// in full below a quarter of the usual gain, and blended in above it.
constexpr double kDip = 0.5;
// A burst beside: this many times the usual noise there.
constexpr double kBurst = 4;
// The quiet blocks a gain is read from.
constexpr std::size_t kNearest = 10;
constexpr std::size_t kFewest = 4;
// A crash's tail lingers beside for tens of milliseconds while the AGC
// only ever turns down: a low quantile of the blocks near sees through the
// tail, read against the same quantile of the noise as usual.
constexpr double kQuantile = 0.2;
// The usual noise is known after this many quiet blocks (a second or so).
constexpr std::int64_t kKnown = 64;

}  // namespace

ReceiverGain::ReceiverGain(double memoryBlocks) : usual_(memoryBlocks) {}

void ReceiverGain::Reset(std::size_t keep, std::int64_t reach, std::int64_t recover) {
  beside_.assign(std::max<std::size_t>(1, keep), kNotQuiet);
  sinceBurst_.assign(beside_.size(), std::numeric_limits<std::uint16_t>::max());
  usual_.Clear();
  added_ = 0;
  reach_ = std::max<std::int64_t>(1, reach);
  recover_ = recover;
  lastBurst_ = -1;
  quietSeen_ = 0;
}

void ReceiverGain::Add(double beside, bool quiet, bool crash) {
  if (beside_.empty()) Reset(1, reach_, recover_);
  const auto at = static_cast<std::size_t>(added_ % static_cast<std::int64_t>(beside_.size()));
  if (quiet) {
    if (quietSeen_ >= kKnown && beside > kBurst * usual_.Quantile(0.5)) lastBurst_ = added_;
    usual_.Add(beside);
    ++quietSeen_;
    beside_[at] = static_cast<float>(beside);
  } else {
    beside_[at] = crash ? kCrash : kNotQuiet;
    if (crash) lastBurst_ = added_;
  }
  sinceBurst_[at] = static_cast<std::uint16_t>(
      lastBurst_ < 0 ? std::numeric_limits<std::uint16_t>::max()
                     : std::min<std::int64_t>(added_ - lastBurst_, std::numeric_limits<std::uint16_t>::max()));
  ++added_;
}

double ReceiverGain::Correction(std::int64_t b) const {
  const auto keep = static_cast<std::int64_t>(beside_.size());
  const std::int64_t newest = added_ - 1;
  const std::int64_t oldest = std::max<std::int64_t>(0, added_ - keep);
  b = std::min(b, newest);
  if (b < oldest || quietSeen_ < kKnown || usual_.Quantile(0.5) <= 0) return 1;
  if (sinceBurst_[static_cast<std::size_t>(b % keep)] > recover_) return 1;
  // The nearest quiet blocks either side, not across a crash, where the
  // gain steps.
  float near[kNearest];
  std::size_t n = 0;
  bool open[2] = {true, true};
  for (std::int64_t d = 0; d <= 4 * reach_ && n < kNearest && (open[0] || open[1]); ++d) {
    for (int side = 0; side < 2 && n < kNearest; ++side) {
      if (!open[side] || (d == 0 && side == 1)) continue;
      const std::int64_t k = side == 0 ? b - d : b + d;
      if (k < oldest || k > newest) {
        open[side] = false;
        continue;
      }
      const float v = beside_[static_cast<std::size_t>(k % keep)];
      if (v == kCrash) {
        open[side] = false;
      } else if (v >= 0) {
        near[n++] = v;
      }
    }
  }
  if (n < kFewest) return 1;
  const auto pick = static_cast<std::size_t>(kQuantile * static_cast<double>(n));
  std::nth_element(near, near + pick, near + n);
  const double usual = usual_.Quantile((static_cast<double>(pick) + 0.5) / static_cast<double>(n));
  if (usual <= 0) return 1;
  const double r = std::max(1e-3, near[pick] / usual);
  if (r >= kDip) return 1;
  const double share = std::min(1.0, std::log(kDip / r) / std::log(2.0));
  return std::pow(r, -0.5 * share);
}

}  // namespace tolvane::robust
