// The streaming noise and fading against the whole-recording ones they must
// equal, and a tone through the streaming fading against the faded
// envelope mixed as Render mixes it.
#include <cmath>
#include <complex>
#include <vector>

#include <gtest/gtest.h>

#include "sim/dsp.h"
#include "sim/sim.h"
#include "sim/stream.h"
#include "tests/sim/measure.h"

namespace tolvane::sim {
namespace {

TEST(NoiseStream, GivesReceiverNoisesSamplesInAnyBlocks) {
  struct Case {
    double rate;
    NoiseColour colour;
    std::size_t block;  // samples asked at a time
  };
  const Case cases[] = {{8000, NoiseColour::kWhite, 1000}, {8000, NoiseColour::kPink, 4097},
                        {22050, NoiseColour::kWhite, 333}, {11025, NoiseColour::kTilted, 20000}};
  for (const Case& c : cases) {
    Noise noise;
    noise.colour = c.colour;
    const std::size_t count = static_cast<std::size_t>(c.rate * 3);
    Random whole(7);
    const std::vector<float> expected = ReceiverNoise(noise, 0.25, c.rate, count, whole);
    NoiseStream stream(noise, 0.25, c.rate, Random(7));
    std::vector<float> got(count);
    for (std::size_t at = 0; at < count; at += c.block) stream.Next(got.data() + at, std::min(c.block, count - at));
    // ReceiverNoise hears silence after its end; the stream does not.
    const std::size_t tail = dsp::BandTaps(c.rate) / 2;
    for (std::size_t n = 0; n + tail < count; ++n) {
      ASSERT_EQ(got[n], expected[n]) << "rate " << c.rate << ", sample " << n;
    }
  }
}

// Above twice its lowest rate the noise is made slower and raised: the same
// power, the same band, and nothing of the raising's images above it.
TEST(NoiseStream, RaisedFromALowerRateKeepsItsPowerAndBand) {
  struct Case {
    double rate;
    NoiseColour colour;
  };
  const Case cases[] = {{24000, NoiseColour::kWhite}, {44100, NoiseColour::kPink}, {48000, NoiseColour::kWhite},
                        {96001, NoiseColour::kTilted}, {192000, NoiseColour::kWhite}};
  for (const Case& c : cases) {
    Noise noise;
    noise.colour = c.colour;
    const auto count = static_cast<std::size_t>(c.rate * 4);
    Random whole(9);
    const std::vector<double> expected = test::Psd(ReceiverNoise(noise, 0.25, c.rate, count, whole), c.rate, 8192);
    NoiseStream stream(noise, 0.25, c.rate, Random(9));
    std::vector<float> got(count);
    for (std::size_t at = 0; at < count; at += 1000) stream.Next(got.data() + at, std::min<std::size_t>(1000, count - at));
    const std::vector<double> psd = test::Psd(got, c.rate, 8192);
    const double total = test::BandPower(psd, c.rate, 0, c.rate);
    EXPECT_NEAR(test::Db(total / 0.25), 0, 0.2) << c.rate;
    // Band by band, as the noise made at this rate (four seconds of noise
    // measure a 400 Hz band to about 0.2 dB); above it the raising's
    // images would show from -50 dB.
    for (double low = 400; low < 2600; low += 400) {
      const double want = test::BandPower(expected, c.rate, low, low + 400);
      EXPECT_NEAR(test::Db(test::BandPower(psd, c.rate, low, low + 400) / want), 0, 0.4) << c.rate << " at " << low;
    }
    EXPECT_LT(test::BandPower(psd, c.rate, 3200, c.rate / 2), 1e-7 * total) << c.rate;
  }
}

TEST(FadingStream, GivesFadingGainsRayleighGains) {
  for (double spread : {0.1, 1.0, 7.5}) {
    for (double rate : {8000.0, 44100.0}) {
      const std::size_t count = static_cast<std::size_t>(rate * 20);
      Fading fading;
      fading.kind = FadingKind::kRayleigh;
      fading.spreadHz = spread;
      Random whole(3);
      const std::vector<std::complex<double>> expected = FadingGains(fading, rate, count, whole);
      FadingStream stream(spread, rate, Random(3));
      for (std::size_t n = 0; n < count; ++n) {
        const std::complex<double> g = stream.Next();
        ASSERT_LT(std::abs(g - expected[n]), 1e-12) << spread << " Hz at " << rate << ", gain " << n;
      }
    }
  }
}

// The half-rate Hilbert against the whole filter it stands for: centres odd
// and even, inputs of odd and even length, short and long, in any blocks.
TEST(HilbertStream, GivesTheHilbertFiltersOutput) {
  struct Case {
    std::size_t taps;
    std::size_t count;
    std::size_t block;
  };
  const Case cases[] = {{501, 20000, 1000}, {1379, 20001, 333}, {12001, 100000, 4096}, {1379, 1, 1},
                        {501, 2, 1},        {3001, 3, 2},       {501, 9000, 1}};
  Random random(11);
  for (const Case& c : cases) {
    std::vector<double> x(c.count);
    for (double& v : x) v = static_cast<float>(random.Gaussian());  // the stream takes floats
    const std::vector<double> expected = dsp::Filter(x, dsp::HilbertFir(c.taps));
    const std::vector<float> in(x.begin(), x.end());
    dsp::HilbertStream stream(c.taps);
    std::vector<double> got;
    for (std::size_t at = 0; at < c.count; at += c.block) {
      stream.Push(in.data() + at, std::min(c.block, c.count - at), &got);
    }
    stream.Finish(&got);
    ASSERT_EQ(got.size(), c.count) << c.taps << " taps";
    for (std::size_t n = 0; n < c.count; ++n) {
      ASSERT_NEAR(got[n], expected[n], 1e-9) << c.taps << " taps, " << c.count << " samples, at " << n;
    }
  }
}

// A steady tone through FadedSignal is the faded envelope mixed to the
// tone's pitch, Re{g exp(j w n)}, to the Hilbert filter's accuracy.
TEST(FadedSignal, IsTheToneTimesTheComplexGain) {
  struct Case {
    double rate;
    double pitch;
    double spread;
  };
  const Case cases[] = {{8000, 600, 1}, {8000, 300, 5}, {8000, 3500, 0.5}, {48000, 700, 2}};
  for (const Case& c : cases) {
    const auto count = static_cast<std::size_t>(c.rate * 4);
    const double step = 2 * dsp::kPi * c.pitch / c.rate;
    std::vector<float> tone(count);
    for (std::size_t n = 0; n < count; ++n) tone[n] = static_cast<float>(std::cos(step * static_cast<double>(n)));
    FadedSignal faded(c.spread, c.rate, Random(5));
    std::vector<float> got;
    for (std::size_t at = 0; at < count; at += 1500) {
      faded.Push(tone.data() + at, std::min<std::size_t>(1500, count - at), &got);
    }
    faded.Finish(&got);
    ASSERT_EQ(got.size(), count);
    FadingStream gains(c.spread, c.rate, Random(5));
    // Away from the ends, where the filter sees silence.
    const std::size_t edge = dsp::BandTaps(c.rate);
    double worst = 0;
    for (std::size_t n = 0; n < count; ++n) {
      const std::complex<double> expected = gains.Next() * std::polar(1.0, step * static_cast<double>(n));
      if (n >= edge && n + edge < count) worst = std::max(worst, std::abs(got[n] - expected.real()));
    }
    EXPECT_LT(worst, 0.001) << c.pitch << " Hz at " << c.rate;
  }
}

}  // namespace
}  // namespace tolvane::sim
