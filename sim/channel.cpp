// Fading channels: Rayleigh and Rician paths with a Gaussian Doppler
// spectrum, the two-path channels of ITU-R F.1487, and slow QSB.
#include <algorithm>
#include <cmath>
#include <memory>

#include "sim/dsp.h"
#include "sim/sim.h"
#include "sim/stream.h"

namespace tolvane::sim {
namespace {

// The scattered component: complex white Gaussian noise through a Gaussian
// filter, made at a low rate (20 times the spread, so the filter is the
// same few taps at any spread) and interpolated to `rate`.
constexpr double kLowRatePerHz = 20;

std::vector<double> ScatterTaps(double spreadHz) {
  const double sigmaHz = spreadHz / 2;  // the spread is two standard deviations
  const double lowRate = kLowRatePerHz * spreadHz;
  // A spectrum exp(-f^2 / (2 sigma^2)) needs a filter exp(-f^2 / (4 sigma^2)),
  // whose impulse response is a Gaussian of standard deviation
  // 1 / (2 sqrt(2) pi sigma) seconds.
  const double sigmaSamples = lowRate / (2 * std::sqrt(2.0) * dsp::kPi * sigmaHz);
  const auto half = static_cast<std::size_t>(std::ceil(5 * sigmaSamples));
  std::vector<double> taps(2 * half + 1);
  double energy = 0;
  for (std::size_t i = 0; i < taps.size(); ++i) {
    const double k = static_cast<double>(i) - static_cast<double>(half);
    taps[i] = std::exp(-k * k / (2 * sigmaSamples * sigmaSamples));
    energy += taps[i] * taps[i];
  }
  for (double& tap : taps) tap /= std::sqrt(energy);  // unit power gain
  return taps;
}

std::vector<std::complex<double>> Scatter(double spreadHz, double rate, std::size_t count, Random& random) {
  const double lowRate = kLowRatePerHz * spreadHz;
  const std::vector<double> taps = ScatterTaps(spreadHz);
  const auto lowCount = static_cast<std::size_t>(std::ceil(static_cast<double>(count) * lowRate / rate)) + 4;
  // The input runs a whole filter length ahead, so the first output is
  // already in the steady state.
  std::vector<std::complex<double>> input(lowCount + taps.size());
  for (auto& z : input) z = random.ComplexGaussian();
  std::vector<std::complex<double>> low(lowCount);
  for (std::size_t n = 0; n < lowCount; ++n) {
    std::complex<double> sum = 0;
    for (std::size_t i = 0; i < taps.size(); ++i) sum += taps[i] * input[n + i];
    low[n] = sum;
  }
  std::vector<std::complex<double>> out(count);
  for (std::size_t n = 0; n < count; ++n) out[n] = dsp::Interpolate(low, static_cast<double>(n) * lowRate / rate + 1);
  return out;
}

}  // namespace

Fading Watterson(ItuChannel channel) {
  Fading f;
  f.kind = FadingKind::kTwoPath;
  switch (channel) {
    case ItuChannel::kGood: f.delayMs = 0.5; f.spreadHz = 0.1; break;
    case ItuChannel::kModerate: f.delayMs = 1; f.spreadHz = 0.5; break;
    case ItuChannel::kPoor: f.delayMs = 2; f.spreadHz = 1; break;
  }
  return f;
}

const char* ChannelName(ItuChannel channel) {
  switch (channel) {
    case ItuChannel::kGood: return "good";
    case ItuChannel::kModerate: return "moderate";
    case ItuChannel::kPoor: return "poor";
  }
  return "?";
}

std::vector<std::complex<double>> FadingGains(const Fading& fading, double rate, std::size_t count,
                                              Random& random) {
  if (fading.kind == FadingKind::kNone || fading.spreadHz <= 0 || rate <= 0) {
    return std::vector<std::complex<double>>(count, 1.0);
  }
  std::vector<std::complex<double>> g = Scatter(fading.spreadHz, rate, count, random);
  if (fading.kind == FadingKind::kRician) {
    const double k = std::max(0.0, fading.ricianK);
    const std::complex<double> steady = std::polar(std::sqrt(k / (k + 1)), random.Uniform(0, 2 * dsp::kPi));
    const double scattered = std::sqrt(1 / (k + 1));
    for (auto& z : g) z = steady + scattered * z;
  }
  return g;
}

void ApplyChannel(const Fading& fading, const Qsb& qsb, double rate, Random& random,
                  std::vector<Complex>* baseband) {
  std::vector<Complex>& b = *baseband;
  if (fading.kind == FadingKind::kTwoPath) {
    Fading path = fading;
    path.kind = FadingKind::kRayleigh;
    const std::vector<std::complex<double>> g1 = FadingGains(path, rate, b.size(), random);
    const std::vector<std::complex<double>> g2 = FadingGains(path, rate, b.size(), random);
    const double delay = std::max(0.0, fading.delayMs) * rate / 1000;
    const std::vector<Complex> direct = b;
    const double half = std::sqrt(0.5);  // each path carries half the power
    for (std::size_t n = 0; n < b.size(); ++n) {
      // The delayed path, linearly interpolated between samples.
      const double x = static_cast<double>(n) - delay;
      std::complex<double> late = 0;
      if (x >= 0) {
        const auto i = static_cast<std::size_t>(x);
        const double t = x - static_cast<double>(i);
        late = std::complex<double>(direct[i]) * (1 - t);
        if (i + 1 < direct.size()) late += std::complex<double>(direct[i + 1]) * t;
      }
      b[n] = Complex(half * (g1[n] * std::complex<double>(direct[n]) + g2[n] * late));
    }
  } else if (fading.kind != FadingKind::kNone) {
    const std::vector<std::complex<double>> g = FadingGains(fading, rate, b.size(), random);
    for (std::size_t n = 0; n < b.size(); ++n) b[n] = Complex(g[n] * std::complex<double>(b[n]));
  }
  if (qsb.depth < 1 && qsb.periodS > 0) {
    const double depth = std::max(0.0, qsb.depth);
    const double phase = random.Uniform(0, 2 * dsp::kPi);
    for (std::size_t n = 0; n < b.size(); ++n) {
      const double t = static_cast<double>(n) / rate;
      const double a = depth + (1 - depth) * (0.5 + 0.5 * std::cos(2 * dsp::kPi * t / qsb.periodS + phase));
      b[n] *= static_cast<float>(a);
    }
  }
}

FadingStream::FadingStream(double spreadHz, double rate, Random random)
    : random_(random), taps_(ScatterTaps(spreadHz)), lowRate_(kLowRatePerHz * spreadHz), rate_(rate) {}

std::complex<double> FadingStream::Next() {
  // Scatter's interpolation at x needs the low-rate gains from floor(x) - 1
  // to floor(x) + 2; x starts at 1, so none is ever clamped.
  const double x = static_cast<double>(n_++) * lowRate_ / rate_ + 1;
  const auto i = static_cast<std::size_t>(std::floor(x));
  while (lowFirst_ + low_.size() < i + 3) {
    while (input_.size() < taps_.size()) input_.push_back(random_.ComplexGaussian());
    std::complex<double> sum = 0;
    for (std::size_t k = 0; k < taps_.size(); ++k) sum += taps_[k] * input_[k];
    low_.push_back(sum);
    input_.erase(input_.begin());
  }
  while (lowFirst_ + 1 < i) low_.erase(low_.begin()), ++lowFirst_;
  return dsp::Interpolate(low_, x - static_cast<double>(lowFirst_));
}

FadedSignal::FadedSignal(double spreadHz, double rate, Random random)
    : gains_(spreadHz, rate, random),
      hilbert_(std::make_unique<dsp::HilbertStream>(dsp::BandTaps(rate))) {
  quadrature_.reserve(hilbert_->block());  // a step's outputs, without doubling past them
}

FadedSignal::~FadedSignal() = default;

void FadedSignal::Push(const float* in, std::size_t count, std::vector<float>* out) {
  waiting_.insert(waiting_.end(), in, in + count);
  hilbert_->Push(in, count, &quadrature_);
  Emit(out);
}

void FadedSignal::Finish(std::vector<float>* out) {
  hilbert_->Finish(&quadrature_);
  Emit(out);
}

void FadedSignal::Emit(std::vector<float>* out) {
  // Analytic x + jH{x}; Re{g (x + jH{x})} = Re{g} x - Im{g} H{x}.
  for (double q : quadrature_) {
    const std::complex<double> g = gains_.Next();
    out->push_back(static_cast<float>(g.real() * waiting_[waited_++] - g.imag() * q));
  }
  quadrature_.clear();
  waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(waited_));
  waited_ = 0;
}

double SetKeyDownPower(const std::vector<float>& shape, double power, std::vector<Complex>* baseband) {
  double sum = 0;
  std::size_t count = 0;
  const std::size_t n = std::min(shape.size(), baseband->size());
  for (std::size_t i = 0; i < n; ++i) {
    if (shape[i] >= 0.999f) {
      sum += std::norm(std::complex<double>((*baseband)[i]));
      ++count;
    }
  }
  if (count == 0 || sum <= 0) return 1;
  const double gain = std::sqrt(power * static_cast<double>(count) / sum);
  for (Complex& z : *baseband) z *= static_cast<float>(gain);
  return gain;
}

}  // namespace tolvane::sim
