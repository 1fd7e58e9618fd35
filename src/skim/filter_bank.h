// The skimmer's filter bank: one FFT per block of input serves both the
// spectrum the detector searches and, by fast convolution, a channel for
// each signal: the bins around it, weighted by a low-pass response and
// transformed back at about 1 kHz. Internal to src/skim.
#ifndef TOLVANE_SRC_SKIM_FILTER_BANK_H
#define TOLVANE_SRC_SKIM_FILTER_BANK_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "skim/dsp.h"

namespace tolvane::skim {

// How a rate is cut up. A channel spans `channelBins` bins and comes out
// at rate / decimation, at least 1000 Hz; each block advances half an FFT.
struct BankLayout {
  double rate = 8000;
  bool complex = false;
  std::size_t decimation = 8;
  std::size_t channelBins = 64;
  std::size_t size = 512;  // FFT length: decimation x channelBins
  std::size_t hop = 256;   // input samples per block
  double binHz = 15.625;
  double outRate = 1000;
};

BankLayout Layout(double rate, bool complex);

class FilterBank {
 public:
  // Keeps the spectra of the last `historyBlocks` blocks between bins
  // `firstBin` and `lastBin` (may be negative for I/Q), so that a channel
  // opened late can start that far back.
  FilterBank(const BankLayout& layout, long firstBin, long lastBin, std::size_t historyBlocks);

  // Takes samples (I/Q pairs for a complex layout) until a block is
  // complete; returns how many it took. Then ready() until Next().
  std::size_t Feed(const float* samples, std::size_t count);
  bool ready() const { return ready_; }
  void Next() { ready_ = false; }

  // The newest block's Hann-windowed power at bin k, firstBin <= k <= lastBin.
  float Power(long k) const;
  std::int64_t blocks() const { return blocks_; }  // complete blocks so far
  std::size_t history() const { return history_.size() / sliceLength_; }
  // Of the stored blocks, the oldest still kept.
  std::int64_t oldestBlock() const;
  const BankLayout& layout() const { return layout_; }
  std::size_t memoryBytes() const;

  // One channel's samples from stored block `block`: channelBins / 2 values
  // centred on bin `centre`, mixed down by exactly centre x binHz.
  void Cut(long centre, std::int64_t block, Complex* out) const;
  // The input sample that channel output sample j stands for.
  double InputIndexOf(double j) const;

 private:
  const Complex* Slot(std::int64_t block) const;

  BankLayout layout_;
  Fft fft_;
  Fft channelFft_;
  long sliceStart_ = 0;        // stored bins: the detector's with a channel's half-width either side
  std::size_t sliceLength_ = 0;
  std::vector<Complex> input_;  // the block being filled: half old, half new
  std::size_t fill_ = 0;
  std::vector<Complex> spectrum_;
  std::vector<Complex> history_;  // ring of slices
  std::vector<Complex> response_;  // the prototype low-pass at the channel's bins, m = -M/2 .. M/2-1
  double filterDelay_ = 0;         // input samples
  mutable std::vector<Complex> work_, back_;
  std::int64_t blocks_ = 0;
  bool ready_ = false;
};

// A signal's channel after the bank: a fine oscillator that puts the signal
// at 0 Hz and a narrow low-pass that keeps neighbours 60 Hz away out.
class ChannelFilter {
 public:
  ChannelFilter(double outRate, double offsetHz);
  // Moves the signal to 0 Hz from `offsetHz` after the bank's mix.
  void SetOffset(double offsetHz);
  double offset() const { return offset_; }
  // The oscillator's value for the next sample, and its turn per sample.
  Complex phasor() const { return Complex(phasor_); }
  double turn() const { return -offset_ / rate_; }
  // Filters `count` values in place.
  void Process(Complex* values, std::size_t count);
  std::size_t delay() const { return taps_.size() / 2; }  // output samples
  double gain() const { return gain_; }  // for white noise, output power over input

 private:
  double rate_;
  double offset_ = 0;
  std::complex<double> phasor_{1, 0};
  std::complex<double> step_{1, 0};
  int renormalise_ = 0;
  std::vector<float> taps_;
  std::vector<Complex> line_;  // the newest taps.size() inputs, twice over
  std::size_t at_ = 0;
  double gain_ = 0;
};

// What the narrow filter takes away is filled with noise at the channel's
// own level: a recogniser judges its noise partly beside its channel,
// where it would otherwise find none and take noise peaks for dots. The
// level is the quiet level of the channel itself, once neighbours' clicks
// are out of it, and at most what the spectrum around it says (the
// signal's own keying raises the one, neighbours' splatter the other).
class NoiseFill {
 public:
  // `fill`: see StopBandNoise; shared by every channel, read from `seed` on.
  // `gain`: the narrow filter's noise gain.
  NoiseFill(const std::vector<Complex>* fill, std::uint64_t seed, double gain);
  void SetLimit(double variance) { limit_ = variance; }
  // The noise per sample, white, that the channel's pass band holds.
  double noise() const;
  // The channel's quiet level from `values`, before anything is gated.
  void Measure(const Complex* values, std::size_t count);
  // Adds the stop band's noise at that level.
  void Fill(Complex* values, std::size_t count);

 private:
  const std::vector<Complex>* fill_;
  std::size_t at_;
  double gain_;
  double limit_ = 0;
  float logQuiet_ = 0;  // a low quantile of the channel's log power
  bool measured_ = false;
};

// `length` samples of complex white noise of unit power through the stop
// band of the channel filter at `outRate` (circularly, so it repeats
// without a seam).
std::vector<Complex> StopBandNoise(double outRate, std::size_t length, std::uint64_t seed);

}  // namespace tolvane::skim

#endif  // TOLVANE_SRC_SKIM_FILTER_BANK_H
