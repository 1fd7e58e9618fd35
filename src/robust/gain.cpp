#include "robust/gain.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolvane::robust {

namespace {

// An AGC's dip of a few decibels costs little; a deep one is scaled back
// in full below a quarter of the usual gain, and blended in above it.
constexpr double kDip = 0.5;
// The quiet blocks a gain is read from.
constexpr std::size_t kNearest = 12;
constexpr std::size_t kFewest = 4;
// The usual noise is known after this many quiet blocks (a second or so),
// and averaged over about 20 s of them.
constexpr std::int64_t kKnown = 64;
constexpr double kUsualMemory = 1250;
// A crash, after the AGC has scaled it to the usual level: this many times
// the noise beside.
constexpr double kCrashOverNoise = 8;
// A block holds the receiver's noise alone beside the channel where the
// channel is no more than 35 dB above it: a clean tone's own splash beside
// it is weaker still.
constexpr double kChannelOverBeside = 3000;

}  // namespace

GuardPowers MeasureGuard(const Complex* block) {
  // Hann-windowed DFT bins 0 and +-2..+-4 of one block.
  static const std::vector<Complex> twiddle = [] {
    std::vector<Complex> t;
    const double n = static_cast<double>(kGuardBlock);
    for (int k = -4; k <= 4; ++k) {
      for (std::size_t i = 0; i < kGuardBlock; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * (static_cast<double>(i) + 0.5) / n);
        const double a = -2 * kPi * k * static_cast<double>(i) / n;
        t.emplace_back(static_cast<float>(w * std::cos(a)), static_cast<float>(w * std::sin(a)));
      }
    }
    return t;
  }();
  auto bin = [&](int k) {
    Complex sum;
    const Complex* t = twiddle.data() + static_cast<std::size_t>(k + 4) * kGuardBlock;
    for (std::size_t i = 0; i < kGuardBlock; ++i) sum += block[i] * t[i];
    return static_cast<double>(std::norm(sum));
  };
  GuardPowers p;
  p.centre = bin(0);
  Complex half[2];
  for (std::size_t i = 0; i < kGuardBlock; ++i) half[2 * i / kGuardBlock] += block[i];
  p.halves[0] = std::norm(half[0]);
  p.halves[1] = std::norm(half[1]);
  for (int k = 2; k <= 4; ++k) {
    p.sides[0] += bin(-k);
    p.sides[1] += bin(k);
  }
  return p;
}

void ReceiverGain::Reset(std::size_t keep, std::int64_t reach, std::int64_t recover) {
  beside_.assign(std::max<std::size_t>(1, keep), kNotQuiet);
  sinceBurst_.assign(beside_.size(), std::numeric_limits<std::uint16_t>::max());
  added_ = 0;
  reach_ = std::max<std::int64_t>(1, reach);
  recover_ = recover;
  lastBurst_ = -1;
  quietSeen_ = 0;
  dipped_ = 0;
  usualDb_ = 0;
  usualCount_ = 0;
}

double ReceiverGain::usualBeside() const { return usualCount_ > 0 ? std::pow(10.0, usualDb_ / 10) : 0; }

void ReceiverGain::Add(double beside, bool quiet, bool crash) {
  if (beside_.empty()) Reset(1, reach_, recover_);
  const auto at = static_cast<std::size_t>(added_ % static_cast<std::int64_t>(beside_.size()));
  const double db = 10 * std::log10(std::max(beside, 1e-30));
  beside_[at] = quiet ? static_cast<float>(db) : crash ? kCrash : kNotQuiet;
  if (crash) lastBurst_ = added_;
  sinceBurst_[at] = static_cast<std::uint16_t>(
      lastBurst_ < 0 ? std::numeric_limits<std::uint16_t>::max()
                     : std::min<std::int64_t>(added_ - lastBurst_, std::numeric_limits<std::uint16_t>::max()));
  ++added_;
  if (!quiet) return;
  ++quietSeen_;
  // The usual level is the gain's undipped one: an AGC only ever turns
  // down, and with crashes every second or two its dips would otherwise
  // fill the average and hide themselves. A dip that lasts is a new level.
  const double r = quietSeen_ > kKnown ? Ratio(added_ - 1) : 1;
  if (r >= kDip || ++dipped_ > recover_) {
    dipped_ = 0;
    usualCount_ = std::min(usualCount_ + 1, kUsualMemory);
    usualDb_ += (db - usualDb_) / usualCount_;
  }
}

double ReceiverGain::Correction(std::int64_t b) const {
  const auto keep = static_cast<std::int64_t>(beside_.size());
  b = std::min(b, added_ - 1);
  if (b < std::max<std::int64_t>(0, added_ - keep) || quietSeen_ < kKnown) return 1;
  if (sinceBurst_[static_cast<std::size_t>(b % keep)] > recover_) return 1;
  const double r = Ratio(b);
  if (r >= kDip) return 1;
  const double share = std::min(1.0, std::log(kDip / r) / std::log(2.0));
  return std::pow(r, -0.5 * share);
}

double ReceiverGain::Ratio(std::int64_t b) const {
  const auto keep = static_cast<std::int64_t>(beside_.size());
  const std::int64_t newest = added_ - 1;
  const std::int64_t oldest = std::max<std::int64_t>(0, added_ - keep);
  if (b < oldest || b > newest || usualCount_ <= 0) return 1;
  // The nearest quiet blocks either side, not across a crash, where the
  // gain steps; in decibels.
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
      } else if (v > kNotQuiet) {
        near[n++] = v;
      }
    }
  }
  if (n < kFewest) return 1;
  // Their mean against the usual mean; a crash's tail, far above the
  // rest, is left out.
  std::nth_element(near, near + n / 2, near + n);
  const float median = near[n / 2];
  double sum = 0;
  std::size_t used = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (near[i] > median + 6) continue;
    sum += near[i];
    ++used;
  }
  // No receiver turns its gain down by more than 30 dB for a crash.
  return std::max(1e-3, std::pow(10.0, (sum / static_cast<double>(used) - usualDb_) / 10));
}

std::size_t ReceiverGain::heapBytes() const {
  return beside_.capacity() * sizeof(float) + sinceBurst_.capacity() * sizeof(std::uint16_t);
}

void GainUndo::Reset(double rate, double delaySeconds) {
  const auto delay = static_cast<std::size_t>(std::max(0.0, delaySeconds) * rate);
  delayed_.assign(delay, Complex{});
  times_.assign(delay, 0);
  block_.clear();
  block_.reserve(kGuardBlock);
  at_ = 0;
  pushed_ = 0;
  correctedBlock_ = -1;
  correction_ = 1;
  centreLevel_.Clear();
  guardNoise_.Clear();
  blocks_ = 0;
  centreMedian_ = keyDown_ = noiseMedian_ = 0;
  // The gain read from within 150 ms either side, and undone for 3 s after
  // a crash; blocks are kept as long as the delay and the reach need.
  const double blocksPerSecond = rate / static_cast<double>(kGuardBlock);
  const auto reach = std::max<std::int64_t>(2, static_cast<std::int64_t>(0.15 * blocksPerSecond));
  gain_.Reset(static_cast<std::size_t>(delaySeconds * blocksPerSecond) + 4 * static_cast<std::size_t>(reach) + 2, reach,
              static_cast<std::int64_t>(3 * blocksPerSecond));
}

bool GainUndo::Push(Complex wide, std::int64_t time, Complex* out, std::int64_t* outTime) {
  block_.push_back(wide);
  if (block_.size() == kGuardBlock) Block();
  const std::int64_t index = pushed_++;
  Complex value = wide;
  std::int64_t valueTime = time;
  if (!delayed_.empty()) {
    value = delayed_[at_];
    valueTime = times_[at_];
    delayed_[at_] = wide;
    times_[at_] = time;
    at_ = at_ + 1 == delayed_.size() ? 0 : at_ + 1;
  }
  const std::int64_t from = index - static_cast<std::int64_t>(delayed_.size());
  if (from < 0) return false;
  // Worked out once per block, as its first value leaves the delay.
  const std::int64_t b = from / static_cast<std::int64_t>(kGuardBlock);
  if (b != correctedBlock_) {
    correctedBlock_ = b;
    correction_ = gain_.Correction(b);
  }
  *out = enabled_ ? value * static_cast<float>(correction_) : value;
  *outTime = valueTime;
  return true;
}

void GainUndo::Block() {
  const GuardPowers p = MeasureGuard(block_.data());
  block_.clear();
  const double beside = p.beside();
  centreLevel_.Add(p.centre);
  // The levels drift over seconds: read afresh every eighth block, since a
  // histogram's quantile costs a scan of its bins.
  if (blocks_++ % 8 == 0) {
    centreMedian_ = centreLevel_.Quantile(0.5);
    keyDown_ = centreLevel_.Quantile(0.9);
    noiseMedian_ = guardNoise_.Quantile(0.5);
  }
  if (p.centre <= centreMedian_) guardNoise_.Add(beside);
  const double keyDown = keyDown_;
  // A crash is as loud beside the channel as in it, on both sides. The AGC
  // scales its peak to the usual level, so it stands out against the noise
  // beside rather than against the keyed tone.
  const bool crash = beside > 0.25 * p.centre &&
                     (beside > 0.1 * keyDown || (beside > kCrashOverNoise * noiseMedian_ && p.balanced()));
  // A receiver's noise is there to read the gain from only within 60 dB
  // of the key-down level: a clean recording's leftovers, or digital
  // silence (a recording's padding, the flush at the end), hold none.
  const double usual = gain_.usualBeside();
  const bool noise = beside > 1e-6 * keyDown && (usual <= 0 || beside > 1e-4 * usual);
  // A key's edge inside the block splashes beside it: no noise to read.
  const double high = std::max(p.halves[0], p.halves[1]);
  const bool edge = high > 10 * std::min(p.halves[0], p.halves[1]) && high > 0.1 * keyDown;
  const bool quiet = !crash && noise && !edge && p.centre <= kChannelOverBeside * beside && p.balanced();
  gain_.Add(beside, quiet, crash);
}

std::size_t GainUndo::heapBytes() const {
  return (block_.capacity() + delayed_.capacity()) * sizeof(Complex) + times_.capacity() * sizeof(std::int64_t) +
         centreLevel_.heapBytes() + guardNoise_.heapBytes() + gain_.heapBytes();
}

}  // namespace tolvane::robust
