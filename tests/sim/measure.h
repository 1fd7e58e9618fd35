// Measurements the simulator's tests make on rendered signals.
#ifndef TOLVANE_TESTS_SIM_MEASURE_H
#define TOLVANE_TESTS_SIM_MEASURE_H

#include <cmath>
#include <complex>
#include <vector>

#include "sim/dsp.h"
#include "sim/sim.h"

namespace tolvane::sim::test {

inline double Db(double ratio) { return 10 * std::log10(ratio); }

// Welch power spectral density (Hann, half overlap), in power per Hz, so
// that its sum times the bin width is the signal's power.
inline std::vector<double> Psd(const std::vector<float>& x, double rate, std::size_t size = 4096) {
  std::vector<double> psd(size / 2 + 1, 0.0);
  std::vector<double> window(size);
  double windowPower = 0;
  for (std::size_t i = 0; i < size; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2 * dsp::kPi * static_cast<double>(i) / static_cast<double>(size));
    windowPower += window[i] * window[i];
  }
  std::size_t segments = 0;
  std::vector<std::complex<double>> work(size);
  for (std::size_t start = 0; start + size <= x.size(); start += size / 2, ++segments) {
    for (std::size_t i = 0; i < size; ++i) work[i] = x[start + i] * window[i];
    dsp::Fft(&work, false);
    for (std::size_t k = 0; k <= size / 2; ++k) {
      psd[k] += std::norm(work[k]) * (k == 0 || k == size / 2 ? 1 : 2) / (windowPower * rate);
    }
  }
  for (double& p : psd) p /= static_cast<double>(segments > 0 ? segments : 1);
  return psd;
}

// Power between two frequencies, from a Psd of `size` points.
inline double BandPower(const std::vector<double>& psd, double rate, double low, double high) {
  const double bin = rate / static_cast<double>(2 * (psd.size() - 1));
  double sum = 0;
  for (std::size_t k = 0; k < psd.size(); ++k) {
    const double hz = static_cast<double>(k) * bin;
    if (hz >= low && hz < high) sum += psd[k] * bin;
  }
  return sum;
}

// Mean power of `x` where `shape` is fully keyed down.
inline double KeyDownPower(const std::vector<float>& x, const std::vector<float>& shape) {
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < x.size() && i < shape.size(); ++i) {
    if (shape[i] >= 0.999f) {
      sum += static_cast<double>(x[i]) * x[i];
      ++count;
    }
  }
  return count > 0 ? sum / static_cast<double>(count) : 0;
}

// A scenario of one station keying `text` by machine at 600 Hz.
inline Scenario OneStation(const std::string& text, std::uint64_t seed = 1) {
  Scenario s;
  s.seed = seed;
  Station station;
  station.text = text;
  s.stations.push_back(station);
  return s;
}

}  // namespace tolvane::sim::test

#endif  // TOLVANE_TESTS_SIM_MEASURE_H
