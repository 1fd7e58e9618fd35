// The robust recogniser's levels: the noise floor, the key-down level and
// phase tracked on the time scale of the fading, and from them the evidence
// for key down in each step of a window. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_LEVELS_H
#define TOLVANE_SRC_ROBUST_LEVELS_H

#include <cstddef>
#include <vector>

#include "robust/dsp.h"

namespace tolvane::robust {

// A slowly forgetting histogram of power in decibels, for robust quantiles
// of a noise floor that drifts.
class PowerHistogram {
 public:
  explicit PowerHistogram(double memorySamples);
  void Add(double power);
  // The q-quantile of the powers seen lately; 0 before any.
  double Quantile(double q) const;
  void Clear();
  std::size_t heapBytes() const { return counts_.capacity() * sizeof(float); }

 private:
  static constexpr int kBins = 640;  // 0.5 dB each: from -160 to +160 dB, for any input scale
  static constexpr double kLowestDb = -160;
  std::vector<float> counts_;
  double weight_ = 1;     // grows; old counts are worth less, without touching them
  double growth_ = 1;
  double total_ = 0;
};

// One step of a window: the sum of the channel's samples over it, and the
// power beside the channel (the smaller of the two sides), which a static
// crash raises and a keyed tone does not.
struct StepObservation {
  Complex sum;
  float guard = 0;
};

// The window's key-down level and phase, step by step, from the steps a
// first reading calls key down (`down`): averages over a few steps either
// side where the signal is strong, over more where it is weak, so fading
// inside a character is followed.
struct Levels {
  std::vector<float> amplitude;  // of a step's sum while key down
  std::vector<Complex> phase;    // unit phasor of the carrier, for coherent reading
  std::vector<float> meanPower;  // of a key-down step's sum over a few tenths of a second
  // Whether a step's own surroundings may say how loud a tone there is:
  // not after static crashes, whose tails and the receiver's recovering
  // gain raise the channel with no tone in it.
  bool localTrusted = true;
  double fading = 0;             // 0 steady to 1 Rayleigh: how much key-down power wanders
  double noise = 0;              // variance of a step's sum while key up
  double stepSnr = 0;            // median key-down power over noise, per step
  bool coherent = false;         // the carrier keeps its phase from tone to tone
  double agreement = 0;          // weighted cosines of tones' phases against their neighbours'
  double agreementWeight = 0;
};

// Whether a static crash covers the step: the power beside the channel ten
// times its usual (`guardFloor`, 0 while unknown).
inline bool UnderCrash(const StepObservation& step, double guardFloor) {
  return guardFloor > 0 && step.guard > 10 * guardFloor;
}

// `phaseSteps`: the steps either side the carrier's phase is taken from;
// `floorPower`: the least key-down power to assume, from the signal as it
// was lately, so that a window of noise alone is not read at noise level.
Levels MeasureLevels(const std::vector<StepObservation>& steps, const std::vector<bool>& down, double noise,
                     double phaseSteps, double floorPower = 0);

// A first reading: key down where a step stands well above the noise and
// above a fraction of the loudest steps near it.
std::vector<bool> FirstReading(const std::vector<StepObservation>& steps, double noise, std::size_t reach);

// The log-likelihood ratio of key down over key up for each step; steps a
// crash covers (its guard power over `guardFloor` many times) carry none.
// Neighbouring steps' noise is correlated by the channel filter: each
// step counts as `independence` (0 to 1) of an independent one.
std::vector<float> Evidence(const std::vector<StepObservation>& steps, const Levels& levels, double guardFloor,
                            double independence);

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_LEVELS_H
