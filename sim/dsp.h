// Signal-processing helpers the simulator's files share, outside the
// library's interface.
#ifndef TOLVANE_SIM_DSP_H
#define TOLVANE_SIM_DSP_H

#include <complex>
#include <cstddef>
#include <functional>
#include <vector>

namespace tolvane::sim::dsp {

constexpr double kPi = 3.14159265358979323846;

std::size_t NextPowerOfTwo(std::size_t n);

// In-place radix-2 FFT; the size must be a power of two. The inverse is not
// scaled.
void Fft(std::vector<std::complex<double>>* data, bool inverse);

// A linear-phase FIR filter of `taps` (odd) coefficients whose amplitude
// response follows `amplitude(hz)` from 0 to rate / 2, by frequency sampling
// and a Blackman window.
std::vector<double> DesignFir(const std::function<double(double)>& amplitude, double rate,
                              std::size_t taps);

// `in` through `fir`, delay compensated, same length (FFT overlap-add).
std::vector<double> Filter(const std::vector<double>& in, const std::vector<double>& fir);

// Filter a block at a time, in constant memory: the same sums in the same
// order, so the same output. Output k lines up with input k, and is given
// once the input `fir.size() / 2` samples past it has come. Samples are
// real, or complex (two real signals through the same filter at once).
template <typename Sample>
class BasicStreamFilter {
 public:
  // The transforms are `sizeOverTaps` times the filter's length (a power of
  // two at least): 4 is quickest; 2 holds half the memory, for long filters
  // at high rates.
  explicit BasicStreamFilter(const std::vector<double>& fir, std::size_t sizeOverTaps = 4);
  // Takes `count` input samples and appends every output they complete.
  void Push(const Sample* in, std::size_t count, std::vector<Sample>* out);
  // The input ends here (silence after it): appends the remaining outputs.
  void Finish(std::vector<Sample>* out);
  std::size_t block() const { return block_; }

 private:
  void Step(std::vector<Sample>* out);

  std::size_t size_;
  std::size_t block_;
  std::size_t delay_;
  std::vector<std::complex<double>> response_;
  std::vector<std::complex<double>> work_;
  std::vector<Sample> tail_;   // sums reaching into the next block
  std::size_t filled_ = 0;     // input samples in work_
  std::size_t taken_ = 0;      // input samples so far
  std::size_t given_ = 0;      // output samples so far
  std::size_t stepped_ = 0;    // input samples in the blocks transformed
};

using StreamFilter = BasicStreamFilter<double>;

// HilbertFir(taps)'s output a block at a time, as StreamFilter gives it but
// in half the memory and work: every other tap is zero, so the even and odd
// samples go through the other taps as one complex stream at half the rate.
class HilbertStream {
 public:
  explicit HilbertStream(std::size_t taps);
  void Push(const float* in, std::size_t count, std::vector<double>* out);
  void Finish(std::vector<double>* out);
  std::size_t block() const { return 2 * pairs_.block(); }

 private:
  void Unpair(std::vector<double>* out);

  BasicStreamFilter<std::complex<double>> pairs_;
  std::vector<std::complex<double>> in_;
  std::vector<std::complex<double>> filtered_;
  double odd_ = 0;         // the last odd sample, paired with the next even one
  bool even_ = true;       // the next sample's index is even
  std::size_t taken_ = 0;  // input samples so far
  std::size_t given_ = 0;  // output samples so far
};

// Raises a band-limited signal's rate by a whole factor, a sample at a
// time: the windowed sinc Resample uses, its phases computed once. Output
// lags input by `half` input samples.
class Upsampler {
 public:
  explicit Upsampler(std::size_t factor, std::size_t half = 16);
  bool Hungry() const { return phase_ == 0; }  // takes an input before the next output
  void Take(double x);
  double Next();

 private:
  std::size_t factor_;
  std::size_t phase_ = 0;
  std::vector<double> history_;  // the last 2 * half inputs, oldest first
  std::vector<double> table_;    // factor rows of 2 * half taps
};

// An odd-length FIR Hilbert transformer (Blackman window): a tone through
// it comes out a quarter turn late, delay compensated as Filter does, at
// unit gain from about 6 x rate / taps above 0 Hz to as far below rate / 2.
std::vector<double> HilbertFir(std::size_t taps);

// Enough taps at `rate` for band edges about 90 Hz wide.
std::size_t BandTaps(double rate);

// The value at fractional index `x` of `v` (Catmull-Rom), clamped at the ends.
std::complex<double> Interpolate(const std::vector<std::complex<double>>& v, double x);

}  // namespace tolvane::sim::dsp

#endif  // TOLVANE_SIM_DSP_H
