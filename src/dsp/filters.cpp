#include "dsp/dsp.h"

#include <algorithm>
#include <cmath>

namespace tolvane::dsp {
namespace {

// The modified Bessel function of the first kind, order 0, by its series.
double BesselI0(double x) {
  double sum = 1;
  double term = 1;
  for (int k = 1; k < 50; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
    if (term < 1e-12 * sum) break;
  }
  return sum;
}

double KaiserBeta(double attenuationDb) {
  if (attenuationDb > 50) return 0.1102 * (attenuationDb - 8.7);
  if (attenuationDb >= 21) return 0.5842 * std::pow(attenuationDb - 21, 0.4) + 0.07886 * (attenuationDb - 21);
  return 0;
}

}  // namespace

std::size_t KaiserLength(double width, double attenuationDb) {
  const double n = (attenuationDb - 8) / (2.285 * 2 * kPi * width);
  auto length = static_cast<std::size_t>(std::ceil(std::max(1.0, n))) + 1;
  return length | 1u;
}

std::vector<float> LowPass(double cutoff, std::size_t length, double attenuationDb) {
  std::vector<float> taps(length);
  if (length == 0) return taps;
  const double beta = KaiserBeta(attenuationDb);
  const double middle = static_cast<double>(length - 1) / 2;
  const double norm = BesselI0(beta);
  double sum = 0;
  std::vector<double> h(length);
  for (std::size_t i = 0; i < length; ++i) {
    const double x = static_cast<double>(i) - middle;
    const double sinc = x == 0 ? 2 * cutoff : std::sin(2 * kPi * cutoff * x) / (kPi * x);
    const double r = middle > 0 ? x / middle : 0;
    const double window = BesselI0(beta * std::sqrt(std::max(0.0, 1 - r * r))) / norm;
    h[i] = sinc * window;
    sum += h[i];
  }
  for (std::size_t i = 0; i < length; ++i) taps[i] = static_cast<float>(h[i] / sum);
  return taps;
}

}  // namespace tolvane::dsp
