#include "robust/pitch_search.h"

#include <algorithm>
#include <cmath>

namespace tolvane::robust {
namespace {

constexpr double kFrameSeconds = 0.128;  // spectrum frames for the pitch search
constexpr double kMemorySeconds = 4;     // how long the search remembers keying
constexpr double kOnRatio = 9;           // a bin is keyed down above this over its floor
constexpr double kOffRatio = 3;          // and up again below this
constexpr double kCarrierSeconds = 2;    // a tone longer than this is a carrier
constexpr double kLoudRatio = 100;       // one keying this strong is enough to lock
constexpr long long kEdgeBins = 8;       // watched beyond the band's edges
// A voice's pitch: its harmonics lie this far apart.
constexpr double kLowestVoiceHz = 80;
constexpr double kHighestVoiceHz = 400;
constexpr float kInStep = 0.7f;      // down with the watched bin, at least this share
constexpr float kOutOfStep = 0.15f;  // down while it is up, at most this share
constexpr float kHarmonicLevel = 0.03f;  // and no more than 15 dB weaker
constexpr float kJudgedFrames = 2;   // keyed down and up, each, before judging
// A voice pauses and glides out of step now and then: once heard, it is
// taken to go on for this long.
constexpr double kVoiceHoldSeconds = 10;

std::size_t PowerOfTwoNear(double n) {
  std::size_t p = 64;
  while (static_cast<double>(p * 2) <= n * 1.25 && p < (1u << 15)) p *= 2;
  return p;
}

}  // namespace

PitchSearch::PitchSearch(const RobustOptions& listen, double working, std::size_t preFactor)
    : complex_(listen.complex),
      working_(working),
      spectrum_(PowerOfTwoNear(kFrameSeconds * working), listen.complex) {
  const std::size_t n = spectrum_.size();
  framePower_.resize(n);
  if (complex_) {
    frameComplex_.resize(n);
  } else {
    frameReal_.resize(n);
  }
  // Frames overlap by half: keying shows in their succession, and a frame
  // falls wholly in every gap a frame and a half long (a word gap at
  // 40 WPM), which side by side it may miss for seconds.
  hop_ = n / 2;
  const double frameRate = working_ / static_cast<double>(hop_);
  leak_ = static_cast<float>(std::exp(-1 / (kMemorySeconds * frameRate)));
  floorRate_ = static_cast<float>(1 / (2 * frameRate));
  SetBand(listen, preFactor);
  best_ = bins_.size();
}

// The bins the search looks at: the band asked for, within what the
// working rate carries.
void PitchSearch::SetBand(const RobustOptions& listen, std::size_t preFactor) {
  const std::size_t n = spectrum_.size();
  const double binHz = working_ / static_cast<double>(n);
  double lo = listen.complex ? -0.45 * working_ : 100.0;
  double hi = listen.complex ? 0.45 * working_ : std::min(3600.0, (preFactor == 1 ? 0.45 : 0.42) * working_);
  if (listen.bandLoHz != 0 || listen.bandHiHz != 0) {
    lo = std::max(lo, listen.bandLoHz);
    hi = std::min(hi, listen.bandHiHz);
  }
  if (listen.pitchGiven) {
    lo = std::max(lo, listen.pitchHz - kPitchToleranceHz);
    hi = std::min(hi, listen.pitchHz + kPitchToleranceHz);
  }
  if (hi < lo) hi = lo;
  bandLoHz_ = lo;
  bandHiHz_ = hi;
  // Bins are indexed from the band's low edge; for I/Q, negative
  // frequencies wrap to the top of the FFT. A band narrower than the
  // input carries is watched a little beyond its edges too, so that a
  // loud signal just outside is seen as the peak it is and not taken,
  // by its skirt, for one at the edge.
  const auto first = std::llround(std::floor(lo / binHz));
  const auto last = std::llround(std::ceil(hi / binHz));
  const long long lowest = listen.complex ? first - kEdgeBins : std::max(0LL, first - kEdgeBins);
  const long long highest =
      listen.complex ? last + kEdgeBins : std::min(static_cast<long long>(n / 2) - 1, last + kEdgeBins);
  binLo_ = static_cast<std::size_t>(lowest + static_cast<long long>(n));
  binHi_ = static_cast<std::size_t>(highest + static_cast<long long>(n));
  candidateLo_ = static_cast<std::size_t>(first - lowest);
  candidateHi_ = static_cast<std::size_t>(last - lowest);
  bins_.assign(binHi_ - binLo_ + 1, Bin{});
  downWithOn_.assign(bins_.size(), 0);
  downWithOff_.assign(bins_.size(), 0);
  watched_ = bins_.size();
}

void PitchSearch::Watch(std::size_t bin) {
  if (bin + 1 < watched_ || bin > watched_ + 1 || watched_ >= bins_.size()) {
    // Another signal: its keying is compared afresh.
    std::fill(downWithOn_.begin(), downWithOn_.end(), 0.0f);
    std::fill(downWithOff_.begin(), downWithOff_.end(), 0.0f);
    watchedOn_ = 0;
    watchedOff_ = 0;
  }
  watched_ = bin;
}

bool PitchSearch::voiced() const {
  return lastVoiced_ >= 0 && static_cast<double>(frameCount_ - lastVoiced_) <= kVoiceHoldSeconds * framesPerSecond();
}

bool PitchSearch::InStepWithHarmonic() const {
  if (watched_ >= bins_.size() || watchedOn_ < kJudgedFrames || watchedOff_ < kJudgedFrames) return false;
  const double binHz = working_ / static_cast<double>(spectrum_.size());
  const auto nearest = static_cast<std::size_t>(kLowestVoiceHz / binHz);
  const auto farthest = static_cast<std::size_t>(kHighestVoiceHz / binHz);
  const float level = kHarmonicLevel * bins_[watched_].onPower;
  for (std::size_t b = watched_ >= farthest ? watched_ - farthest : 0; b <= watched_ + farthest && b < bins_.size(); ++b) {
    if (b + nearest > watched_ && b < watched_ + nearest) continue;
    if (downWithOn_[b] >= kInStep * watchedOn_ && downWithOff_[b] <= kOutOfStep * watchedOff_ &&
        bins_[b].onPower >= level) {
      return true;
    }
  }
  return false;
}

bool PitchSearch::Push(Complex w) {
  if (complex_) {
    frameComplex_[frameFill_] = w;
  } else {
    frameReal_[frameFill_] = w.real();
  }
  if (++frameFill_ < spectrum_.size()) return false;
  Analyse();
  // The frame's second half starts the next one.
  const auto kept = static_cast<std::ptrdiff_t>(spectrum_.size() - hop_);
  if (complex_) {
    std::copy(frameComplex_.end() - kept, frameComplex_.end(), frameComplex_.begin());
  } else {
    std::copy(frameReal_.end() - kept, frameReal_.end(), frameReal_.begin());
  }
  frameFill_ = static_cast<std::size_t>(kept);
  return true;
}

bool PitchSearch::settled() const {
  // The samples the frames so far have covered.
  const auto covered = frameCount_ > 0 ? static_cast<double>(spectrum_.size()) +
                                             static_cast<double>(frameCount_ - 1) * static_cast<double>(hop_)
                                       : 0.0;
  return covered >= 0.5 * working_;
}

double PitchSearch::BinHz(double offset) const {
  const double binHz = working_ / static_cast<double>(spectrum_.size());
  return (static_cast<double>(binLo_) + offset - static_cast<double>(spectrum_.size())) * binHz;
}

// Fast keying spreads a tone into sidebands a dot's inverse either side,
// which can show their keying first.
std::size_t PitchSearch::StrongestWithin(std::size_t bin, double hz) const {
  const double binHz = working_ / static_cast<double>(spectrum_.size());
  const auto reach = static_cast<std::size_t>(hz / binHz);
  for (std::size_t o = std::max(candidateLo_, bin >= reach ? bin - reach : 0);
       o <= std::min(candidateHi_, bin + reach) && o < bins_.size(); ++o) {
    if (bins_[o].smooth > bins_[bin].smooth) bin = o;
  }
  return bin;
}

std::size_t PitchSearch::Follow(std::size_t bin) const {
  std::size_t near = bin;
  for (std::size_t o = bin >= 1 ? bin - 1 : 0; o <= std::min(bins_.size() - 1, bin + 1); ++o) {
    if (bins_[o].onPower > bins_[near].onPower) near = o;
  }
  return near;
}

// The peak between bins, from the keyed-down power either side.
double PitchSearch::RefinedHz(std::size_t bin) const {
  double offset = 0;
  if (bin > 0 && bin + 1 < bins_.size()) {
    const double a = std::log(bins_[bin - 1].onPower + 1e-30);
    const double b = std::log(bins_[bin].onPower + 1e-30);
    const double c = std::log(bins_[bin + 1].onPower + 1e-30);
    const double d = a - 2 * b + c;
    if (d < 0) offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
  }
  return BinHz(static_cast<double>(bin) + offset);
}

// Each bin's floor from its neighbours' averaged power: their median,
// which is about 0.7 of the mean for noise alone, raised to the mean.
// Taken at every fourth bin and spread to the bins between: the floor
// changes slowly across frequency.
void PitchSearch::Floors() {
  constexpr std::size_t kReach = 16;
  constexpr std::size_t kStride = 4;
  std::vector<float>& near = floorScratch_;
  for (std::size_t b = 0; b < bins_.size(); b += kStride) {
    const std::size_t lo = b >= kReach ? b - kReach : 0;
    const std::size_t hi = std::min(bins_.size(), b + kReach + 1);
    near.clear();
    for (std::size_t o = lo; o < hi; ++o) near.push_back(bins_[o].smooth);
    std::nth_element(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(near.size() / 2), near.end());
    const float median = near[near.size() / 2];
    for (std::size_t o = b; o < std::min(bins_.size(), b + kStride); ++o) bins_[o].floor = median;
  }
}

// A candidate's strength is its keyed-down power, so that signals compare
// as the ear would, whatever the noise beside each: among bins keyed often
// enough, or once and loudly; carriers are no candidates.
float PitchSearch::Strength(std::size_t b) const {
  const Bin& bin = bins_[b];
  if (bin.onCount < 0.5f || bin.carrierUntil >= frameCount_) return 0;
  const float mean = bin.onSum / bin.onCount;
  if (bin.transitions >= 2.5f || (bin.transitions >= 0.9f && mean >= static_cast<float>(kLoudRatio))) {
    return bin.onPower;
  }
  return 0;
}

void PitchSearch::Analyse() {
  const std::size_t n = spectrum_.size();
  if (complex_) {
    spectrum_.OfComplex(frameComplex_.data(), framePower_.data());
  } else {
    spectrum_.Real(frameReal_.data(), framePower_.data());
  }
  ++frameCount_;
  std::vector<float>& power = scratch_;
  power.resize(bins_.size());
  float loudest = 0;
  for (std::size_t b = 0; b < bins_.size(); ++b) {
    power[b] = framePower_[(binLo_ + b) % n];
    loudest = std::max(loudest, power[b]);
  }
  if (frameCount_ % 8 == 1) Floors();  // twice a second
  loudestLeaky_ = std::max(loudest, loudestLeaky_ * leak_);
  // Digital silence has no floor: a bin must stand less than 70 dB below
  // the loudest lately, and above rounding noise, to count.
  const float least = std::max(1e-7f * loudestLeaky_, 1e-10f);
  for (std::size_t b = 0; b < bins_.size(); ++b) {
    Bin& bin = bins_[b];
    const float p = power[b];
    // The floor: the median, across the bins a little either side, of each
    // bin's power averaged over two seconds, so a keyed tone does not
    // raise its own floor and one frame of noise does not lower it.
    bin.smooth = bin.smooth == 0 ? p : bin.smooth + floorRate_ * (p - bin.smooth);
    bin.peak = std::max(p, bin.peak * 0.9f);
    const float ratio = p / std::max(bin.floor, least);
    bin.transitions *= leak_;
    bin.onSum *= leak_;
    bin.onCount *= leak_;
    if (!bin.on && ratio > static_cast<float>(kOnRatio)) {
      bin.on = true;
      bin.onRun = 0;
    } else if (bin.on && (ratio < static_cast<float>(kOffRatio) || p < 0.1f * bin.peak)) {
      // Down by 10 dB from its own level is key-up too: a clean tone's
      // gaps seldom reach the floor within one frame.
      bin.on = false;
      bin.transitions += 1;
    }
    if (bin.on) {
      ++bin.onRun;
      bin.onSum += ratio;
      bin.onCount += 1;
      bin.onPower = bin.onPower * leak_ + p * (1 - leak_);
      if (bin.onRun * static_cast<double>(hop_) / working_ > kCarrierSeconds) {
        bin.carrierUntil = frameCount_ + static_cast<std::int64_t>(kMemorySeconds * working_ / static_cast<double>(hop_));
      }
    }
  }
  if (watched_ < bins_.size()) {
    const bool down = bins_[watched_].on;
    (down ? watchedOn_ : watchedOff_) += 1;
    watchedOn_ *= leak_;
    watchedOff_ *= leak_;
    std::vector<float>& with = down ? downWithOn_ : downWithOff_;
    for (std::size_t b = 0; b < bins_.size(); ++b) {
      if (bins_[b].on) with[b] += 1;
      downWithOn_[b] *= leak_;
      downWithOff_[b] *= leak_;
    }
    if (down && InStepWithHarmonic()) lastVoiced_ = frameCount_;
  }
  // The keyed peaks: local maxima of the mean keyed-down ratio among the
  // candidates. Leakage of a loud tone into far bins is keyed with it:
  // nothing more than 30 dB below the loudest keying is a signal of its own.
  float loudestKeyed = 0;
  for (std::size_t b = 0; b < bins_.size(); ++b) {
    if (bins_[b].carrierUntil < frameCount_) loudestKeyed = std::max(loudestKeyed, bins_[b].onPower);
  }
  best_ = bins_.size();
  bestStrength_ = 0;
  for (std::size_t b = candidateLo_; b <= candidateHi_ && b < bins_.size(); ++b) {
    const float s = Strength(b);
    if (s <= 0 || s < 1e-3f * loudestKeyed) continue;
    // A peak of its neighbourhood: a keyed tone's own sidelobes and key
    // clicks are no signals.
    bool peak = true;
    for (std::size_t o = b >= 4 ? b - 4 : 0; o <= std::min(bins_.size() - 1, b + 4) && peak; ++o) {
      if (o != b && bins_[o].onPower > bins_[b].onPower) peak = false;
    }
    if (peak && s > bestStrength_) {
      bestStrength_ = s;
      best_ = b;
    }
  }
}

std::size_t PitchSearch::heapBytes() const {
  return spectrum_.size() * (sizeof(Complex) + 2 * sizeof(float)) + frameReal_.capacity() * sizeof(float) +
         frameComplex_.capacity() * sizeof(Complex) + framePower_.capacity() * sizeof(float) +
         bins_.capacity() * (sizeof(Bin) + sizeof(float)) +
         (downWithOn_.capacity() + downWithOff_.capacity()) * sizeof(float);
}

}  // namespace tolvane::robust
