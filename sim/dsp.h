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

// Enough taps at `rate` for band edges about 90 Hz wide.
std::size_t BandTaps(double rate);

// The value at fractional index `x` of `v` (Catmull-Rom), clamped at the ends.
std::complex<double> Interpolate(const std::vector<std::complex<double>>& v, double x);

}  // namespace tolvane::sim::dsp

#endif  // TOLVANE_SIM_DSP_H
