// The receiver's AGC and static, the transmitter's chirp, drift and key
// clicks, and resampling.
#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "tests/sim/measure.h"

namespace tolvane::sim::test {
namespace {

// The peak of |x| over [from, to) seconds.
float Peak(const std::vector<float>& x, double rate, double from, double to) {
  float peak = 0;
  for (auto n = static_cast<std::size_t>(from * rate); n < static_cast<std::size_t>(to * rate) && n < x.size(); ++n) {
    peak = std::max(peak, std::abs(x[n]));
  }
  return peak;
}

TEST(Agc, AttacksFastHangsThenReleasesWithItsTimeConstant) {
  struct Case {
    double attackMs, hangMs, releaseMs;
  };
  for (const Case& c : {Case{2, 250, 400}, Case{1, 100, 200}, Case{5, 500, 800}}) {
    const double rate = 8000;
    // A 1 kHz tone: quiet for 1 s, 20 dB louder for 1 s, then quiet again.
    std::vector<float> x(static_cast<std::size_t>(rate * 5));
    for (std::size_t n = 0; n < x.size(); ++n) {
      const double t = static_cast<double>(n) / rate;
      const double amplitude = t >= 1 && t < 2 ? 1.0 : 0.1;
      x[n] = static_cast<float>(amplitude * std::sin(2 * dsp::kPi * 1000 * t));
    }
    Agc agc;
    agc.on = true;
    agc.attackMs = c.attackMs;
    agc.hangMs = c.hangMs;
    agc.releaseMs = c.releaseMs;
    ApplyAgc(agc, 0.5, rate, &x);
    SCOPED_TRACE(c.attackMs);
    EXPECT_NEAR(Peak(x, rate, 0.9, 1.0), 0.5, 0.03);  // settled on the quiet tone
    // The jump overshoots, but for a few attack times only.
    EXPECT_GT(Peak(x, rate, 1.0, 1.0 + c.attackMs / 1000), 1.0);
    EXPECT_NEAR(Peak(x, rate, 1.004 + 5 * c.attackMs / 1000, 1.5), 0.5, 0.03);
    // After the drop the gain holds for the hang time: the tone is 20 dB down.
    const double hang = c.hangMs / 1000;
    EXPECT_NEAR(Peak(x, rate, 2.0, 2 + 0.9 * hang), 0.05, 0.01);
    // Then the level decays with the release time constant: the output
    // has risen by e after one time constant.
    const double tau = c.releaseMs / 1000;
    EXPECT_NEAR(Peak(x, rate, 2 + hang + tau - 0.005, 2 + hang + tau + 0.005), 0.05 * std::exp(1.0), 0.02);
    EXPECT_NEAR(Peak(x, rate, 4.8, 5.0), 0.5, 0.03);
  }
}

TEST(Agc, NeverRaisesTheGainPastItsMaximum) {
  std::vector<float> x(8000, 0.0f);
  x[4000] = 1e-6f;
  Agc agc;
  agc.maxGainDb = 30;
  ApplyAgc(agc, 1.0, 8000, &x);
  EXPECT_NEAR(x[4000], 1e-6f * std::pow(10.0f, 1.5f), 1e-9f);
}

TEST(Crashes, ArriveAsAPoissonProcessAtTheirLevel) {
  for (double perSecond : {0.2, 1.0, 3.0}) {
    Crashes crashes;
    crashes.perSecond = perSecond;
    crashes.levelDb = 20;
    const double seconds = 600;
    const double rate = 4000;
    Noise band;
    band.highHz = 1800;
    Random random(41);
    std::vector<double> times;
    const std::vector<float> x = StaticCrashes(crashes, band, 0.5, rate, static_cast<std::size_t>(seconds * rate), random, &times);
    const double expected = perSecond * seconds;
    EXPECT_NEAR(static_cast<double>(times.size()), expected, 4 * std::sqrt(expected)) << perSecond;
    // Exponential gaps between crashes: their spread equals their mean.
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
    double mean = 0;
    for (double g : gaps) mean += g;
    mean /= static_cast<double>(gaps.size());
    double variance = 0;
    for (double g : gaps) variance += (g - mean) * (g - mean);
    variance /= static_cast<double>(gaps.size());
    EXPECT_NEAR(std::sqrt(variance) / mean, 1.0, 0.2) << perSecond;
    // The strongest 1 ms of a crash is about 20 dB over the tone's 0.5.
    if (perSecond == 0.2) {
      const double t = times[0];
      double peak = 0;
      for (double at = t; at < t + 0.01; at += 0.001) {
        const auto first = static_cast<std::size_t>(at * rate);
        double power = 0;
        for (std::size_t n = first; n < first + 4; ++n) power += static_cast<double>(x[n]) * x[n] / 4;
        peak = std::max(peak, power);
      }
      EXPECT_NEAR(Db(peak / 0.5), 20, 9);
      EXPECT_LT(Peak(x, rate, t + 0.4, t + 0.5), 1e-3 * Peak(x, rate, t, t + 0.01));  // decayed
    }
  }
}

// The carrier's frequency relative to its pitch at `t`, from the phase step.
double OffsetAt(const std::vector<Complex>& b, double rate, double t) {
  const auto n = static_cast<std::size_t>(t * rate);
  return std::arg(std::complex<double>(b[n + 1]) * std::conj(std::complex<double>(b[n]))) * rate / (2 * dsp::kPi);
}

TEST(Transmitter, ChirpsAtKeyDownAndDriftsSteadily) {
  struct Case {
    double chirpHz, chirpMs, driftHzPerMin;
  };
  for (const Case& c : {Case{80, 20, 0}, Case{-40, 50, 0}, Case{0, 30, 20}, Case{60, 30, -20}}) {
    Keying k;
    k.marks = {{1.0, 11.0}, {30.0, 61.0}};
    Transmitter tx;
    tx.chirpHz = c.chirpHz;
    tx.chirpMs = c.chirpMs;
    tx.driftHzPerMin = c.driftHzPerMin;
    Random random(42);
    const double rate = 8000;
    const std::vector<Complex> b = StationBaseband(k, tx, rate, static_cast<std::size_t>(62 * rate), random);
    const double tau = c.chirpMs / 1000;
    for (double after : {0.001, tau, 3 * tau}) {
      const double t = 1 + after;
      EXPECT_NEAR(OffsetAt(b, rate, t), c.chirpHz * std::exp(-after / tau) + c.driftHzPerMin * t / 60, 0.5) << after;
    }
    EXPECT_NEAR(OffsetAt(b, rate, 10.0), c.driftHzPerMin / 6, 0.05);
    EXPECT_NEAR(OffsetAt(b, rate, 60.0), c.driftHzPerMin, 0.05);
  }
}

TEST(Transmitter, HardKeyingSpreadsClicksAcrossTheBand) {
  double splatter[2] = {0, 0};
  for (bool clicks : {false, true}) {
    Scenario s = OneStation("EEEEE EEEEE EEEEE EEEEE EEEEE EEEEE");
    s.stations[0].tx.clicks = clicks;
    const Rendered r = Render(s);
    const std::vector<double> psd = Psd(r.audio, 8000);
    splatter[clicks ? 1 : 0] = BandPower(psd, 8000, 900, 1400) / BandPower(psd, 8000, 550, 650);
  }
  EXPECT_LT(Db(splatter[0]), -50);              // raised-cosine edges keep the tone clean
  EXPECT_GT(Db(splatter[1] / splatter[0]), 20);  // square ones do not
}

TEST(Resample, KeepsTheToneAndRemovesWhatNoLongerFits) {
  struct Case {
    double from, to, hz, gain;
  };
  for (const Case& c : {Case{48000, 8000, 1000, 1}, Case{8000, 11025, 600, 1}, Case{44100, 8000, 5000, 0},
                        Case{8000, 48000, 2500, 1}}) {
    std::vector<float> in(static_cast<std::size_t>(c.from));
    for (std::size_t n = 0; n < in.size(); ++n) {
      in[n] = static_cast<float>(std::sin(2 * dsp::kPi * c.hz * static_cast<double>(n) / c.from));
    }
    const std::vector<float> out = Resample(in, c.from, c.to);
    EXPECT_NEAR(static_cast<double>(out.size()), c.to, 1);
    const float peak = Peak(out, c.to, 0.2, 0.8);
    if (c.gain > 0) {
      EXPECT_NEAR(peak, 1.0f, 0.01f) << c.hz;
      std::size_t crossings = 0;
      for (std::size_t n = 1; n < out.size(); ++n) crossings += (out[n - 1] < 0) != (out[n] < 0) ? 1 : 0;
      EXPECT_NEAR(static_cast<double>(crossings), 2 * c.hz, 2) << c.hz;
    } else {
      EXPECT_LT(peak, 0.01f) << c.hz;  // 5 kHz has no place at 8000 Hz
    }
  }
}

}  // namespace
}  // namespace tolvane::sim::test
