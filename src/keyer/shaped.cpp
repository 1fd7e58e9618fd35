// Keying at any rate, pitch, level, shape and timing, block by block.
#include <algorithm>
#include <cmath>

#include "keyer/keyer.h"

namespace tolvane {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Raised cosine from 0 to 1 as x goes from 0 to 1.
double Ramp(double x) { return 0.5 - 0.5 * std::cos(kPi * x); }

}  // namespace

bool IsLibrarySound(const KeyingSound& sound) {
  return sound.sampleRate == kSampleRate && sound.pitchHz == TONE_HZ &&
         sound.peak == TONE_AMPLITUDE && sound.riseSeconds == 0;
}

KeyingTiming MakeTiming(const TimingRules& rules, int sampleRate) {
  const double unit = rules.unitSeconds * sampleRate;
  double stretch = 1;
  if (rules.farnsworthWpm > 0) {
    const double delay = 60.0 / rules.farnsworthWpm * sampleRate - 31 * unit;
    stretch = std::max(1.0, delay / (19 * unit));
  }
  const double extra = (rules.weightPercent - 50) / 50 * unit;
  KeyingTiming t;
  t.dot = unit + extra;
  t.dash = 3 * unit + extra;
  t.symbolGap = unit - extra;
  t.letterGap = 3 * unit * stretch - extra;
  t.wordExtra = (rules.wordGapUnits - 3) * unit * stretch;
  return t;
}

MorseKeyer::MorseKeyer(const KeyingSound& sound, const KeyingTiming& timing, SampleSink* sink)
    : sound_(sound),
      timing_(timing),
      sink_(sink),
      library_(IsLibrarySound(sound)),
      ramp_(sound.riseSeconds * sound.sampleRate) {
  const double step = 2 * kPi * sound.pitchHz / sound.sampleRate;
  cosStep_ = std::cos(step);
  sinStep_ = std::sin(step);
}

bool MorseKeyer::Character(const char* code) {
  for (const char* symbol = code; *symbol != '\0'; ++symbol) {
    if (!Mark(*symbol == '-' ? timing_.dash : timing_.dot)) return false;
    if (!Space(symbol[1] == '\0' ? timing_.letterGap : timing_.symbolGap)) return false;
  }
  return true;
}

bool MorseKeyer::WordGap() { return Space(timing_.wordExtra); }

bool MorseKeyer::Put(std::size_t count) {
  used_ += count;
  emitted_ += static_cast<std::int64_t>(count);
  if (used_ < sizeof block_ / sizeof block_[0]) return true;
  used_ = 0;
  return sink_->Write(block_, sizeof block_ / sizeof block_[0]);
}

bool MorseKeyer::Space(double length) {
  position_ += length;
  std::int64_t count = std::llround(position_) - emitted_;
  if (sink_ == nullptr) {
    emitted_ += std::max<std::int64_t>(count, 0);
    return true;
  }
  while (count > 0) {
    const std::size_t n = std::min(static_cast<std::size_t>(count), sizeof block_ / sizeof block_[0] - used_);
    std::fill(block_ + used_, block_ + used_ + n, std::int16_t{0});
    count -= static_cast<std::int64_t>(n);
    if (!Put(n)) return false;
  }
  return true;
}

bool MorseKeyer::Mark(double length) {
  position_ += length;
  const std::int64_t count = std::llround(position_) - emitted_;
  if (sink_ == nullptr) {
    emitted_ += std::max<std::int64_t>(count, 0);
    return true;
  }
  return Tone(count);
}

bool MorseKeyer::Tone(std::int64_t count) {
  const std::size_t capacity = sizeof block_ / sizeof block_[0];
  const double rate = sound_.sampleRate;
  const double cyclesPerSample = sound_.pitchHz / rate;
  for (std::int64_t done = 0; done < count;) {
    const std::size_t n = std::min(static_cast<std::size_t>(count - done), capacity - used_);
    std::int16_t* out = block_ + used_;
    if (library_) {
      LibraryTone(&libraryTone_, out, n);
    } else {
      // The phase follows the clock: recomputed at each block, so rounding
      // in the rotation below never builds up.
      const double cycles = std::fmod(static_cast<double>(emitted_) * cyclesPerSample, 1.0);
      double c = std::cos(2 * kPi * cycles);
      double s = std::sin(2 * kPi * cycles);
      for (std::size_t i = 0; i < n; ++i) {
        // Centre of the sample, from the start and from the end of the mark.
        const double fromStart = static_cast<double>(done) + static_cast<double>(i) + 0.5;
        const double toEnd = static_cast<double>(count) - fromStart;
        double envelope = 1;
        if (fromStart < ramp_ || toEnd < ramp_) {
          envelope = Ramp(std::max(0.0, std::min(fromStart, toEnd)) / ramp_);
        }
        const double value = std::clamp(sound_.peak * envelope * s, -32767.0, 32767.0);
        out[i] = static_cast<std::int16_t>(std::lrint(value));
        const double next = c * cosStep_ - s * sinStep_;
        s = s * cosStep_ + c * sinStep_;
        c = next;
      }
    }
    done += static_cast<std::int64_t>(n);
    if (!Put(n)) return false;
  }
  return true;
}

bool MorseKeyer::Finish() {
  if (sink_ == nullptr || used_ == 0) return true;
  const std::size_t n = used_;
  used_ = 0;
  return sink_->Write(block_, n);
}

}  // namespace tolvane
