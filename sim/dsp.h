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
// once the input `fir.size() / 2` samples past it has come.
class StreamFilter {
 public:
  explicit StreamFilter(const std::vector<double>& fir);
  // Takes `count` input samples and appends every output they complete.
  void Push(const double* in, std::size_t count, std::vector<double>* out);
  // The input ends here (silence after it): appends the remaining outputs.
  void Finish(std::vector<double>* out);
  std::size_t block() const { return block_; }

 private:
  void Step(std::vector<double>* out);

  std::size_t size_;
  std::size_t block_;
  std::size_t delay_;
  std::vector<std::complex<double>> response_;
  std::vector<std::complex<double>> work_;
  std::vector<double> tail_;   // sums reaching into the next block
  std::size_t filled_ = 0;     // input samples in work_
  std::size_t taken_ = 0;      // input samples so far
  std::size_t given_ = 0;      // output samples so far
  std::size_t stepped_ = 0;    // input samples in the blocks transformed
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
