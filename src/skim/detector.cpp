#include "skim/detector.h"

#include <algorithm>
#include <bitset>
#include <cmath>

namespace tolvane::skim {
namespace {

constexpr float kOnRatio = 10;      // key down: this far over the bin's noise
constexpr float kOffRatio = 3;      // key up: below this, or 10 dB under its own level
constexpr double kQuantile = 0.1;   // the floor tracks this quantile of the power
// For noise alone the power in a bin is exponential, whose 10 % quantile
// is 0.105 of its mean.
constexpr float kQuantileToMean = 1 / 0.105f;
constexpr double kMemorySeconds = 4;    // how long keying is remembered
constexpr double kCarrierSeconds = 2;   // key down longer than this: a carrier
constexpr float kMinTransitions = 3;    // key-ups within the memory for a candidate
constexpr float kCandidateRatio = 20;   // and its key-down power over the noise (13 dB)
constexpr float kMinPurity = 0.5f;
constexpr float kSidebandPower = 30;    // a bin this much stronger nearby...
constexpr double kSidebandShare = 0.85; // ...keyed down whenever this one is: a sideband
constexpr std::size_t kSidebandReach = 12;
constexpr float kValley = 0.25f;        // between two peaks: 6 dB under the weaker

int Ones(std::uint64_t bits) { return static_cast<int>(std::bitset<64>(bits).count()); }

}  // namespace

Detector::Detector(std::size_t bins, double frameRate)
    : state_(bins), power_(bins, 0.0f), peak_(bins, 0), frameRate_(frameRate),
      leak_(static_cast<float>(std::exp(-1 / (kMemorySeconds * frameRate)))) {}

float Detector::Noise(std::size_t b) const { return std::exp(state_[b].logFloor) * kQuantileToMean; }

std::size_t Detector::Index(double bin) const {
  const double clamped = std::clamp(std::round(bin), 0.0, static_cast<double>(state_.size() - 1));
  return static_cast<std::size_t>(clamped);
}

void Detector::Frame(const float* power) {
  const std::size_t n = state_.size();
  std::copy(power, power + n, power_.begin());
  // Fast at first, so the floors settle within a second.
  const double step = static_cast<double>(frame_) < frameRate_ ? 0.3 : 0.08;
  const auto up = static_cast<float>(step * kQuantile);
  const auto down = static_cast<float>(step * (1 - kQuantile));
  const auto carrierFrames = static_cast<int>(kCarrierSeconds * frameRate_);
  if (frame_ == 0) {
    // Every floor starts from the first spectrum's median (0.693 of the
    // mean for noise, whose 10 % quantile is 0.152 of the median), not
    // from its own bin, which may by chance be far below.
    std::vector<float> sorted(power, power + n);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2), sorted.end());
    const float start = std::log(sorted[n / 2] * 0.152f + 1e-30f);
    for (Bin& b : state_) b.logFloor = start;
  }
  for (std::size_t b = 0; b < n; ++b) {
    Bin& s = state_[b];
    const float p = power[b] + 1e-30f;
    const float lp = std::log(p);
    s.logFloor += lp > s.logFloor ? up : -down;
    const float ratio = p / Noise(b);
    s.peak = std::max(p, s.peak * 0.9f);
    s.transitions *= leak_;
    // Key down only at a peak across frequency (or one of the two bins a
    // tone between them shares): the slope of a stronger tone's main lobe,
    // or the splatter of its key edges, falls too gently to be one.
    const float left = b > 0 ? power[b - 1] : 0.0f;
    const float right = b + 1 < n ? power[b + 1] : 0.0f;
    const bool peak = p >= 0.5f * std::max(left, right) && p >= 3 * std::min(left, right);
    // For the gate, a summit is enough: a short mark's own spectrum is as
    // broad as a neighbour's splatter, but it tops its neighbours.
    peak_[b] = peak || p >= std::max(left, right) ? 1 : 0;
    if (!s.on && ratio > kOnRatio && peak) {
      s.on = true;
    } else if (s.on && (ratio < kOffRatio || p < 0.1f * s.peak)) {
      s.on = false;
      s.transitions += 1;
    }
    s.history = (s.history << 1) | (s.on ? 1u : 0u);
    if (s.on) {
      s.onPower = s.onPower == 0 ? p : s.onPower + 0.1f * (p - s.onPower);
      // Clean in frequency: a keyed carrier's power falls off within two
      // bins on at least one side (the other may hold a neighbour); a sweep
      // or a burst spreads over both.
      const float side = std::min(b >= 2 ? power[b - 2] : p, b + 2 < n ? power[b + 2] : p);
      s.purity += 0.1f * ((p > 10 * side ? 1.0f : 0.0f) - s.purity);
      if (++s.onRun > carrierFrames) s.carrierUntil = frame_ + static_cast<std::int64_t>(kMemorySeconds * frameRate_);
    } else {
      s.onPower *= leak_;
      s.onRun = 0;
    }
  }
  ++frame_;
}

void Detector::Candidates(std::size_t reach, std::vector<Candidate>* out) const {
  out->clear();
  const std::size_t n = state_.size();
  for (std::size_t b = 0; b < n; ++b) {
    const Bin& s = state_[b];
    if (s.transitions < kMinTransitions || s.carrierUntil >= frame_ || s.purity < kMinPurity) continue;
    if ((s.history & 0xFFFFFFFFu) == 0) continue;  // nothing in the last second
    const int ones = Ones(s.history);
    if (ones < 3 || ones > 58) continue;
    const float ratio = s.onPower / Noise(b);
    if (ratio < kCandidateRatio) continue;
    bool peak = true;
    for (std::size_t o = b >= reach ? b - reach : 0; o <= std::min(n - 1, b + reach) && peak; ++o) {
      if (o == b) continue;
      const float other = state_[o].onPower;
      if (other < s.onPower || (other == s.onPower && o > b)) continue;
      // A louder bin across a valley is another signal's skirt, not this
      // one's peak: a weak station beside a strong one is a peak of its own.
      float valley = s.onPower;
      for (std::size_t v = std::min(o, b) + 1; v < std::max(o, b); ++v) valley = std::min(valley, state_[v].onPower);
      if (valley >= kValley * s.onPower) peak = false;
    }
    if (!peak) continue;
    bool sideband = false;
    for (std::size_t o = b >= kSidebandReach ? b - kSidebandReach : 0; o <= std::min(n - 1, b + kSidebandReach); ++o) {
      const Bin& t = state_[o];
      if (o == b || t.onPower < kSidebandPower * s.onPower) continue;
      if (Ones(s.history & t.history) >= kSidebandShare * ones) {
        sideband = true;
        break;
      }
    }
    if (sideband) continue;
    Candidate c;
    c.index = b;
    c.bin = static_cast<double>(b);
    c.ratio = ratio;
    if (b > 0 && b + 1 < n) {
      const double l = std::log(state_[b - 1].onPower + 1e-30f);
      const double m = std::log(s.onPower + 1e-30f);
      const double r = std::log(state_[b + 1].onPower + 1e-30f);
      const double d = l - 2 * m + r;
      if (d < 0) c.bin += std::clamp(0.5 * (l - r) / d, -0.5, 0.5);
    }
    out->push_back(c);
  }
  std::sort(out->begin(), out->end(), [](const Candidate& a, const Candidate& b) { return a.ratio > b.ratio; });
}

bool Detector::KeyedNear(double bin) const {
  const std::size_t i = Index(bin);
  for (std::size_t o = i > 0 ? i - 1 : 0; o <= std::min(state_.size() - 1, i + 1); ++o) {
    if (state_[o].on) return true;
  }
  return false;
}

bool Detector::AboveNear(double bin, float ratio) const {
  const std::size_t i = Index(bin);
  for (std::size_t o = i > 0 ? i - 1 : 0; o <= std::min(state_.size() - 1, i + 1); ++o) {
    if (peak_[o] != 0 && power_[o] > ratio * Noise(o)) return true;
  }
  return false;
}

bool Detector::PeakNear(double bin, double* refined) const {
  const std::size_t n = state_.size();
  std::size_t i = Index(bin);
  for (std::size_t o = i > 0 ? i - 1 : 0; o <= std::min(n - 1, i + 1); ++o) {
    if (power_[o] > power_[i]) i = o;
  }
  if (i == 0 || i + 1 >= n || !state_[i].on) return false;
  if (power_[i] < power_[i - 1] || power_[i] < power_[i + 1] || power_[i] < 30 * Noise(i)) return false;
  const double l = std::log(power_[i - 1] + 1e-30f);
  const double m = std::log(power_[i] + 1e-30f);
  const double r = std::log(power_[i + 1] + 1e-30f);
  const double d = l - 2 * m + r;
  *refined = static_cast<double>(i) + (d < 0 ? std::clamp(0.5 * (l - r) / d, -0.5, 0.5) : 0.0);
  return true;
}

float Detector::RatioNear(double bin) const {
  const std::size_t i = Index(bin);
  float best = 0;
  for (std::size_t o = i > 0 ? i - 1 : 0; o <= std::min(state_.size() - 1, i + 1); ++o) {
    best = std::max(best, state_[o].onPower / Noise(o));
  }
  return best;
}

float Detector::NoiseBeside(double bin) const {
  const std::size_t i = Index(bin);
  std::vector<float> near;
  for (std::size_t d = 2; d <= 6; ++d) {
    if (i >= d) near.push_back(Noise(i - d));
    if (i + d < state_.size()) near.push_back(Noise(i + d));
  }
  if (near.empty()) return Noise(i);
  std::nth_element(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(near.size() / 2), near.end());
  return near[near.size() / 2];
}

float Detector::PowerNear(double bin) const {
  const std::size_t i = Index(bin);
  float best = 0;
  for (std::size_t o = i > 0 ? i - 1 : 0; o <= std::min(state_.size() - 1, i + 1); ++o) best = std::max(best, power_[o]);
  return best;
}

float Detector::NoiseNear(double bin) const {
  const std::size_t i = Index(bin);
  float least = Noise(i);
  for (std::size_t o = i > 4 ? i - 4 : 0; o <= std::min(state_.size() - 1, i + 4); ++o) least = std::min(least, Noise(o));
  return least;
}

std::size_t Detector::memoryBytes() const {
  return sizeof(*this) + state_.capacity() * sizeof(Bin) + power_.capacity() * sizeof(float) + peak_.capacity();
}

}  // namespace tolvane::skim
