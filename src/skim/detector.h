// The skimmer's detector: per-bin noise floors and key-down states over the
// filter bank's spectra, and the keyed peaks among them that may be Morse.
// Internal to src/skim.
#ifndef TOLVANE_SRC_SKIM_DETECTOR_H
#define TOLVANE_SRC_SKIM_DETECTOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::skim {

// A keyed peak worth a decoder: its bin (fractional, refined between bins)
// and its key-down power over the noise.
struct Candidate {
  double bin = 0;
  std::size_t index = 0;  // the whole bin
  float ratio = 0;
};

class Detector {
 public:
  // `bins` detector bins, `frameRate` spectra per second.
  Detector(std::size_t bins, double frameRate);

  // One spectrum: the power of each bin.
  void Frame(const float* power);

  // Keyed peaks: often keyed, never on for long, clean in frequency, the
  // strongest within `reach` bins and not keyed in step with a much
  // stronger bin nearby (a sideband or leakage of it). Strongest first.
  void Candidates(std::size_t reach, std::vector<Candidate>* out) const;

  // Whether any bin within one of `bin` is keyed down in this frame, or a
  // peak across frequency at least `ratio` times its noise.
  bool KeyedNear(double bin) const;
  bool AboveNear(double bin, float ratio) const;
  // The frequency of the peak near `bin` in this frame, when it is keyed
  // down and stands out; false otherwise.
  bool PeakNear(double bin, double* refined) const;
  // The key-down power over the noise near `bin`, as lately measured.
  float RatioNear(double bin) const;
  // The noise power per bin around `bin`: the least within four bins.
  float NoiseNear(double bin) const;
  // The median noise power per bin beside `bin` (2 to 6 bins either side).
  float NoiseBeside(double bin) const;
  // This frame's largest power within a bin of `bin`.
  float PowerNear(double bin) const;

  std::size_t bins() const { return state_.size(); }
  std::int64_t frames() const { return frame_; }
  std::size_t memoryBytes() const;

 private:
  struct Bin {
    float logFloor = 0;      // a low quantile of the log power, tracked
    float peak = 0;          // the recent loudest power, decaying
    float onPower = 0;       // mean power while keyed down, leaky
    float transitions = 0;   // key-ups lately, leaky
    float purity = 0;        // the share of key-down frames clean in frequency, leaky
    std::uint64_t history = 0;  // key-down in each of the last 64 frames
    std::int64_t carrierUntil = -1;
    int onRun = 0;
    bool on = false;
  };

  float Noise(std::size_t b) const;
  std::size_t Index(double bin) const;

  std::vector<Bin> state_;
  std::vector<float> power_;
  std::vector<std::uint8_t> peak_;  // this frame: a peak across frequency, or a summit
  double frameRate_;
  float leak_;
  std::int64_t frame_ = 0;
};

}  // namespace tolvane::skim

#endif  // TOLVANE_SRC_SKIM_DETECTOR_H
