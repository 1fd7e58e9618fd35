// The fading channels' statistics: Rayleigh and Rician envelopes, the
// Gaussian Doppler spectrum's width, and the two-path channels' delays.
#include <cmath>
#include <complex>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "tests/sim/measure.h"

namespace tolvane::sim::test {
namespace {

using Gains = std::vector<std::complex<double>>;

double MeanPower(const Gains& g) {
  double sum = 0;
  for (const auto& z : g) sum += std::norm(z);
  return sum / static_cast<double>(g.size());
}

double FractionBelow(const Gains& g, double power) {
  std::size_t below = 0;
  for (const auto& z : g) below += std::norm(z) <= power ? 1 : 0;
  return static_cast<double>(below) / static_cast<double>(g.size());
}

// The normalised autocorrelation of the scattered component at `lag` samples.
double Correlation(const Gains& g, std::size_t lag) {
  std::complex<double> mean = 0;
  for (const auto& z : g) mean += z;
  mean /= static_cast<double>(g.size());
  std::complex<double> sum = 0;
  double power = 0;
  for (std::size_t n = 0; n + lag < g.size(); ++n) {
    sum += (g[n + lag] - mean) * std::conj(g[n] - mean);
    power += std::norm(g[n] - mean);
  }
  return std::abs(sum) / power;
}

// The spread (two standard deviations of a Gaussian Doppler spectrum) that
// gives correlation `rho` at `lagS`: rho = exp(-2 pi^2 sigma^2 lag^2).
double SpreadFrom(double rho, double lagS) {
  return 2 * std::sqrt(-std::log(rho) / (2 * dsp::kPi * dsp::kPi * lagS * lagS));
}

double BesselI0(double x) {
  double term = 1;
  double sum = 1;
  for (int k = 1; k < 200 && term > 1e-16 * sum; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

// P(power <= x) for a Rician channel of mean power 1 and factor k.
double RicianCdf(double k, double x) {
  const int steps = 2000;
  const double h = x / steps;
  auto pdf = [k](double p) { return (k + 1) * std::exp(-k - (k + 1) * p) * BesselI0(2 * std::sqrt(k * (k + 1) * p)); };
  double sum = pdf(0) + pdf(x);
  for (int i = 1; i < steps; ++i) sum += pdf(i * h) * (i % 2 == 1 ? 4 : 2);
  return sum * h / 3;
}

TEST(Fading, EnvelopeFollowsRayleighAndRicianStatistics) {
  for (double k : {0.0, 1.0, 4.0, 10.0}) {
    Fading f;
    f.kind = k == 0 ? FadingKind::kRayleigh : FadingKind::kRician;
    f.ricianK = k;
    f.spreadHz = 1;
    Random random(21);
    const Gains g = FadingGains(f, 20, 400000, random);
    EXPECT_NEAR(MeanPower(g), 1.0, 0.03) << k;
    for (double x : {0.1, 0.5, 1.0, 2.0}) {
      EXPECT_NEAR(FractionBelow(g, x), RicianCdf(k, x), 0.015) << "K " << k << " at " << x;
    }
  }
}

TEST(Fading, DopplerSpectrumIsGaussianWithTheStatedSpread) {
  for (double spread : {0.1, 0.5, 1.0, 2.0}) {
    Fading f;
    f.kind = FadingKind::kRayleigh;
    f.spreadHz = spread;
    const double rate = 10 * spread;
    Random random(22);
    const Gains g = FadingGains(f, rate, 300000, random);
    // Three points on the correlation curve, each read back as a spread.
    for (double rho : {0.8, 0.5, 0.2}) {
      const double sigma = spread / 2;
      const double lagS = std::sqrt(-std::log(rho) / (2 * dsp::kPi * dsp::kPi * sigma * sigma));
      const auto lag = static_cast<std::size_t>(std::lround(lagS * rate));
      const double measured = SpreadFrom(Correlation(g, lag), static_cast<double>(lag) / rate);
      EXPECT_NEAR(measured / spread, 1.0, 0.08) << spread << " Hz at rho " << rho;
    }
  }
}

TEST(Watterson, ChannelsHaveTheirDelaysAndSpreadsInEachPath) {
  for (ItuChannel channel : {ItuChannel::kGood, ItuChannel::kModerate, ItuChannel::kPoor}) {
    const Fading f = Watterson(channel);
    const double rate = 2000;
    const auto delay = static_cast<std::size_t>(std::lround(f.delayMs * rate / 1000));
    ASSERT_GE(delay, 1u) << ChannelName(channel);
    // An impulse every `period` samples: each comes out twice, through the
    // first path at once and through the second `delay` samples later.
    const std::size_t period = 10;
    const std::size_t count = static_cast<std::size_t>(rate * 250 / f.spreadHz);
    std::vector<Complex> b(count, Complex(0, 0));
    for (std::size_t n = 0; n < count; n += period) b[n] = Complex(1, 0);
    Random random(23);
    ApplyChannel(f, Qsb{}, rate, random, &b);
    Gains first;
    Gains second;
    double elsewhere = 0;
    for (std::size_t n = 0; n < count; ++n) {
      const std::size_t phase = n % period;
      if (phase == 0) {
        first.push_back(b[n]);
      } else if (phase == delay) {
        second.push_back(b[n]);
      } else {
        elsewhere += std::norm(b[n]);
      }
    }
    EXPECT_EQ(elsewhere, 0) << ChannelName(channel);
    EXPECT_NEAR(MeanPower(first), 0.5, 0.06) << ChannelName(channel);
    EXPECT_NEAR(MeanPower(second), 0.5, 0.06) << ChannelName(channel);
    const double pathRate = rate / period;
    const double lagS = 0.59 / (dsp::kPi * f.spreadHz / 2);  // where rho is about 1/2
    const auto lag = static_cast<std::size_t>(std::lround(lagS * pathRate));
    for (const Gains* path : {&first, &second}) {
      const double measured = SpreadFrom(Correlation(*path, lag), static_cast<double>(lag) / pathRate);
      EXPECT_NEAR(measured / f.spreadHz, 1.0, 0.12) << ChannelName(channel);
    }
    // The paths fade independently.
    std::complex<double> cross = 0;
    for (std::size_t i = 0; i < first.size(); ++i) cross += first[i] * std::conj(second[i]);
    EXPECT_LT(std::abs(cross) / static_cast<double>(first.size()), 0.06) << ChannelName(channel);
  }
}

TEST(Qsb, SwingsBetweenItsDepthAndFullWithItsPeriod) {
  const double rate = 100;
  std::vector<Complex> b(static_cast<std::size_t>(rate * 60), Complex(1, 0));
  Qsb qsb;
  qsb.depth = 0.2;
  qsb.periodS = 15;
  Random random(24);
  ApplyChannel(Fading{}, qsb, rate, random, &b);
  float low = 1;
  float high = 0;
  std::size_t minima = 0;
  for (std::size_t n = 1; n + 1 < b.size(); ++n) {
    low = std::min(low, std::abs(b[n]));
    high = std::max(high, std::abs(b[n]));
    if (std::abs(b[n]) < std::abs(b[n - 1]) && std::abs(b[n]) <= std::abs(b[n + 1])) ++minima;
  }
  EXPECT_NEAR(low, 0.2f, 0.01f);
  EXPECT_NEAR(high, 1.0f, 0.01f);
  EXPECT_EQ(minima, 4u);  // 60 s at 15 s a swing
}

}  // namespace
}  // namespace tolvane::sim::test
