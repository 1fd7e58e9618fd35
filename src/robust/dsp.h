// Signal-processing pieces of the robust recogniser: an FFT, windowed-sinc
// filters, decimating FIR filters and an oscillator. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_DSP_H
#define TOLVANE_SRC_ROBUST_DSP_H

#include <complex>
#include <cstddef>
#include <vector>

#include "dsp/dsp.h"

namespace tolvane::robust {

using Complex = std::complex<float>;

using dsp::kPi;

// In-place radix-2 FFT of a fixed power-of-two size, twiddles precomputed.
class Fft {
 public:
  explicit Fft(std::size_t size);
  void Forward(Complex* data) const;
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  std::vector<Complex> twiddle_;
  std::vector<std::size_t> reversed_;
};

// The power spectrum |X[k]|^2 of a Hann-windowed frame of `size` samples:
// for real samples k = 0 .. size/2, through an FFT of half the size; for
// complex ones k = 0 .. size-1.
class PowerSpectrum {
 public:
  PowerSpectrum(std::size_t size, bool complex);
  void Real(const float* x, float* power);
  void OfComplex(const Complex* x, float* power);
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  Fft fft_;
  std::vector<float> window_;
  std::vector<Complex> turn_;
  std::vector<Complex> work_;
};

using dsp::KaiserLength;
using dsp::LowPass;

// A FIR filter that keeps one output in `factor` inputs, for real or
// complex samples. The newest `taps.size()` inputs are kept twice over in
// one buffer so each output is one contiguous dot product.
template <typename Sample>
class Decimator {
 public:
  Decimator() = default;
  Decimator(std::vector<float> taps, std::size_t factor);
  // Feeds one input; true when an output is due, written to `out`.
  bool Push(Sample in, Sample* out);
  void Reset();
  std::size_t delay() const { return taps_.size() / 2; }  // in input samples
  void SetTaps(std::vector<float> taps);  // same length: keeps the history

 private:
  std::vector<float> taps_;  // reversed, so the dot product runs forward
  std::vector<Sample> buffer_;
  std::size_t factor_ = 1;
  std::size_t at_ = 0;
  std::size_t phase_ = 0;
};

// A complex oscillator at a frequency that may change, kept on the unit
// circle by renormalising now and then.
class Oscillator {
 public:
  void SetFrequency(double cyclesPerSample);
  double frequency() const { return frequency_; }
  // The next value of exp(-i 2 pi f n): multiplying by it moves f to 0 Hz.
  Complex Next();

 private:
  double frequency_ = 0;
  std::complex<double> value_{1, 0};
  std::complex<double> step_{1, 0};
  int count_ = 0;
};

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_DSP_H
