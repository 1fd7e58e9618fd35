// The skimmer's channeliser and detector: the FFT at the sizes any rate
// needs, a channel's selectivity, and what the detector takes for Morse.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "skim/detector.h"
#include "skim/dsp.h"
#include "skim/filter_bank.h"

namespace tolvane::skim {
namespace {

TEST(Fft, MatchesAPlainDftAtEverySizeTheBankUses) {
  for (std::size_t n : {8u, 12u, 60u, 105u, 384u, 512u, 2940u, 11u}) {
    std::mt19937 random(static_cast<unsigned>(n));
    std::normal_distribution<float> g;
    std::vector<Complex> in(n), out(n), back(n);
    for (Complex& z : in) z = Complex(g(random), g(random));
    Fft fft(n);
    fft.Forward(in.data(), out.data());
    double worst = 0;
    for (std::size_t k = 0; k < n; ++k) {
      std::complex<double> sum;
      for (std::size_t t = 0; t < n; ++t) {
        sum += std::complex<double>(in[t]) * std::polar(1.0, -2 * kPi * static_cast<double>(k * t % n) / static_cast<double>(n));
      }
      worst = std::max(worst, std::abs(sum - std::complex<double>(out[k])));
    }
    EXPECT_LT(worst, 1e-3 * std::sqrt(static_cast<double>(n))) << n;
    fft.Inverse(out.data(), back.data());
    for (std::size_t t = 0; t < n; ++t) EXPECT_NEAR(std::abs(back[t] / static_cast<float>(n) - in[t]), 0, 1e-4) << n;
  }
}

// A tone `awayHz` from the channel's centre, through the bank and the
// channel's own filter: its power out, after the filters have settled.
double ChannelPower(double rate, bool complex, double centreHz, double awayHz) {
  const BankLayout layout = Layout(rate, complex);
  const long centre = std::lround(centreHz / layout.binHz);
  FilterBank bank(layout, centre - 20, centre + 20, 4);
  ChannelFilter channel(layout.outRate, centreHz - static_cast<double>(centre) * layout.binHz);
  const double f = centreHz + awayHz;
  const std::size_t width = complex ? 2 : 1;
  std::vector<float> block(layout.hop * width);
  std::vector<Complex> out(layout.channelBins / 2);
  double power = 0;
  std::size_t counted = 0;
  std::size_t t = 0;
  for (int b = 0; b < 200; ++b) {
    for (std::size_t i = 0; i < layout.hop; ++i, ++t) {
      const double phase = 2 * kPi * f * static_cast<double>(t) / rate;
      block[i * width] = static_cast<float>(std::cos(phase));
      if (complex) block[i * width + 1] = static_cast<float>(std::sin(phase));
    }
    for (std::size_t done = 0; done < layout.hop;) {
      done += bank.Feed(block.data() + done * width, layout.hop - done);
      if (!bank.ready()) continue;
      bank.Cut(centre, bank.blocks() - 1, out.data());
      bank.Next();
      channel.Process(out.data(), out.size());
      if (b < 100) continue;
      for (const Complex& z : out) power += std::norm(z);
      counted += out.size();
    }
  }
  return power / static_cast<double>(counted);
}

TEST(Channel, PassesItsSignalAndShutsOutNeighbours60HzAway) {
  struct Case {
    double rate;
    bool complex;
    double centreHz;
  } cases[] = {{8000, false, 700}, {8000, false, 2410.3}, {11025, false, 1000}, {48000, true, -7321}, {48000, true, 15000}};
  for (const Case& c : cases) {
    const double reference = ChannelPower(c.rate, c.complex, c.centreHz, 0);
    // Off a bin's centre and drifting a little: still all there.
    EXPECT_NEAR(10 * std::log10(ChannelPower(c.rate, c.complex, c.centreHz, 12) / reference), 0, 1) << c.rate;
    for (double away : {-60.0, 60.0, 80.0, -150.0, 400.0}) {
      const double db = 10 * std::log10(ChannelPower(c.rate, c.complex, c.centreHz, away) / reference);
      EXPECT_LT(db, -50) << c.rate << " Hz rate, " << c.centreHz << " Hz, " << away << " Hz away";
    }
  }
}

// Spectra of noise with a Morse-keyed bin and a steady one: only the keyed
// one is a candidate; two keyed bins apart are two.
TEST(Detector, KeyedPeaksAreCandidatesCarriersAreNot) {
  const double frameRate = 31.25;
  const std::size_t bins = 200;
  struct Case {
    const char* name;
    std::vector<std::size_t> keyed;
    std::vector<std::size_t> steady;
  } cases[] = {
      {"one keyed", {50}, {}},
      {"a carrier", {}, {120}},
      {"keyed beside a carrier", {50}, {60}},
      {"two keyed 6 bins apart", {50, 56}, {}},
  };
  for (const Case& c : cases) {
    Detector detector(bins, frameRate);
    std::mt19937 random(3);
    std::exponential_distribution<float> noise(1);
    // A dot 2 frames (about 19 WPM), a dash 6, gaps 2 and 6, at random.
    std::vector<bool> keys;
    std::uniform_int_distribution<int> pick(0, 3);
    while (keys.size() < 40 * 32) {
      const int k = pick(random);
      keys.insert(keys.end(), k == 0 ? 6 : 2, true);
      keys.insert(keys.end(), k == 1 ? 6 : 2, false);
    }
    std::vector<float> power(bins);
    std::vector<Candidate> candidates;
    for (std::size_t f = 0; f < keys.size(); ++f) {
      for (float& p : power) p = noise(random);
      for (std::size_t b : c.keyed) {
        // A second keyer of its own, offset in time.
        const bool down = keys[(f + 17 * b) % keys.size()];
        if (down) {
          power[b] += 400;
          power[b - 1] += 60;
          power[b + 1] += 60;
        }
      }
      for (std::size_t b : c.steady) {
        power[b] += 400;
        power[b - 1] += 60;
        power[b + 1] += 60;
      }
      detector.Frame(power.data());
    }
    detector.Candidates(3, &candidates);
    ASSERT_EQ(candidates.size(), c.keyed.size()) << c.name;
    for (const Candidate& k : candidates) {
      bool matched = false;
      for (std::size_t b : c.keyed) matched = matched || std::fabs(k.bin - static_cast<double>(b)) < 0.6;
      EXPECT_TRUE(matched) << c.name << ": a candidate at bin " << k.bin;
    }
  }
}

}  // namespace
}  // namespace tolvane::skim
