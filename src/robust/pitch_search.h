// The front end's pitch search: spectrum frames of the working signal, each
// bin's noise floor and keying remembered, and the keyed peak a signal may
// be locked on. Internal to src/robust: the front end owns one, and others
// include front_end.h.
#ifndef TOLVANE_SRC_ROBUST_PITCH_SEARCH_H
#define TOLVANE_SRC_ROBUST_PITCH_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "robust/dsp.h"
#include "robust/robust.h"

namespace tolvane::robust {

// A pitch given is looked for this many hertz either side of it, and a
// signal found there followed no further than this from it.
constexpr double kPitchToleranceHz = 45;
constexpr double kFollowToleranceHz = 25;

class PitchSearch {
 public:
  // `working` is the rate of the samples pushed, `preFactor` the input
  // samples per working sample (a decimated input's band ends lower).
  PitchSearch(const RobustOptions& listen, double working, std::size_t preFactor);

  // Takes one working sample; true when it completes a frame, after which
  // the answers below are of that frame.
  bool Push(Complex w);

  // The strongest keyed peak of the band, or size() when there is none.
  std::size_t best() const { return best_; }
  float bestStrength() const { return bestStrength_; }
  // The band candidates are looked for in: the input's, narrowed to a band
  // or pitch given.
  double bandLoHz() const { return bandLoHz_; }
  double bandHiHz() const { return bandHiHz_; }
  // Bins watched, indexed from the lowest.
  std::size_t size() const { return bins_.size(); }
  std::int64_t frames() const { return frameCount_; }
  double framesPerSecond() const { return working_ / static_cast<double>(hop_); }
  // Whether the floors have had the half second of spectrum they need
  // before anything can stand above them.
  bool settled() const;

  // The strongest bin of the band within `hz` of `bin`.
  std::size_t StrongestWithin(std::size_t bin, double hz) const;
  // The bin a signal at `bin` has drifted to: itself or a neighbour.
  std::size_t Follow(std::size_t bin) const;
  bool keyedDown(std::size_t bin) const { return bins_[bin].on; }
  float keyedPower(std::size_t bin) const { return bins_[bin].onPower; }
  // The bin's power over its floor while keyed down, on average.
  float keyedRatio(std::size_t bin) const {
    return bins_[bin].onCount > 0 ? bins_[bin].onSum / bins_[bin].onCount : 0;
  }
  // The bin's power averaged over a couple of seconds, keyed or not.
  float averagePower(std::size_t bin) const { return bins_[bin].smooth; }
  // The frequency of the peak at `bin`, between bins.
  double RefinedHz(std::size_t bin) const;
  // The bin whose keying is compared with every other's (none: size()).
  void Watch(std::size_t bin);
  // Whether another bin, a voice's pitch away and not far weaker, is keyed
  // in step with the watched one: a voice's harmonics come and go together,
  // stations do not.
  bool voiced() const;

  // What the search holds beyond its own size.
  std::size_t heapBytes() const;

 private:
  // Per-bin memory of the spectrum: a noise floor and how the bin has been
  // keyed lately.
  struct Bin {
    float smooth = 0;  // power averaged over a couple of seconds
    float floor = 0;
    float peak = 0;
    float transitions = 0;  // key-up after key-down, leaky
    float onSum = 0;        // ratio over the floor while keyed down, leaky
    float onCount = 0;
    float onPower = 0;      // power while keyed down, leaky, for the peak's shape
    int onRun = 0;          // frames keyed down in a row
    std::int64_t carrierUntil = -1;
    bool on = false;
  };

  void SetBand(const RobustOptions& listen, std::size_t preFactor);
  bool InStepWithHarmonic() const;
  void Analyse();
  void Floors();
  float Strength(std::size_t b) const;
  double BinHz(double offset) const;

  bool complex_;
  double working_;
  PowerSpectrum spectrum_;
  std::vector<float> frameReal_;  // the frame being filled
  std::vector<Complex> frameComplex_;
  std::vector<float> framePower_;
  std::size_t frameFill_ = 0;
  std::size_t hop_ = 0;
  std::int64_t frameCount_ = 0;
  std::size_t binLo_ = 0, binHi_ = 0;  // the bins watched, as FFT bins (complex: wrapped)
  std::size_t candidateLo_ = 0, candidateHi_ = 0;  // of those, the band a signal may be taken from
  std::vector<Bin> bins_;
  std::vector<float> scratch_;
  std::vector<float> floorScratch_;
  float loudestLeaky_ = 0;
  float leak_ = 0;
  float floorRate_ = 0;
  std::size_t best_ = 0;
  float bestStrength_ = 0;
  double bandLoHz_ = 0;  // where candidates are looked for
  double bandHiHz_ = 0;
  // The watched bin's frames keyed down and up (leaky), and each bin's
  // frames keyed down among each of those.
  std::size_t watched_ = 0;
  float watchedOn_ = 0, watchedOff_ = 0;
  std::vector<float> downWithOn_, downWithOff_;
  std::int64_t lastVoiced_ = -1;  // the last frame the watched bin was so
};

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_PITCH_SEARCH_H
