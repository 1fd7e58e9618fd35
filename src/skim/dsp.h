// Signal-processing pieces of the skimmer: a mixed-radix FFT for the sizes
// the filter bank needs at any sample rate, and Kaiser-windowed low-pass
// filters. Internal to src/skim.
#ifndef TOLVANE_SRC_SKIM_DSP_H
#define TOLVANE_SRC_SKIM_DSP_H

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/dsp.h"

namespace tolvane::skim {

using Complex = std::complex<float>;

using dsp::kPi;

// An FFT of any size whose prime factors are 2, 3, 5 and 7 (others work,
// slowly, as plain DFT stages). Out of place; not normalised either way.
class Fft {
 public:
  explicit Fft(std::size_t size);
  void Forward(const Complex* in, Complex* out) const;
  void Inverse(const Complex* in, Complex* out) const;
  std::size_t size() const { return size_; }

 private:
  void Stage(Complex* out, const Complex* in, std::size_t stride, std::size_t level,
             const std::vector<Complex>& twiddle) const;

  std::size_t size_;
  std::vector<std::size_t> factors_;  // radix of each stage, outermost first
  std::vector<Complex> forward_;      // exp(-2 pi i k / size)
  std::vector<Complex> inverse_;
  mutable std::vector<Complex> scratch_;
};

// Complex white Gaussian noise of unit power from a seed: the same seed
// gives the same numbers on every platform.
class NoiseSource {
 public:
  explicit NoiseSource(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  Complex Next();

 private:
  double Uniform();
  std::uint64_t state_;
};

// Whether every prime factor of `n` is at most 7.
bool Smooth(std::size_t n);

using dsp::KaiserLength;
using dsp::LowPass;

}  // namespace tolvane::skim

#endif  // TOLVANE_SRC_SKIM_DSP_H
