// The levels the simulator states are the levels in its audio: SNR, noise
// colour, interferer level and offset, hum, and the output's full scale.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "tests/sim/measure.h"

namespace tolvane::sim::test {
namespace {

const char kText[] = "CQ CQ DE DK5UOW/P DK5UOW/P K|VK2/W1XYZ 5NN TT1";

TEST(Snr, IsTheKeyDownToneOverTheNoiseIn2500HzAsRendered) {
  struct Case {
    const char* name;
    NoiseColour colour;
    FadingKind fading;
    double rate;
    double snrDb;
  };
  const Case cases[] = {
      {"white", NoiseColour::kWhite, FadingKind::kNone, 8000, 10},
      {"white, -6 dB", NoiseColour::kWhite, FadingKind::kNone, 8000, -6},
      {"white, 48 kHz", NoiseColour::kWhite, FadingKind::kNone, 48000, 3},
      {"pink", NoiseColour::kPink, FadingKind::kNone, 8000, 10},
      {"tilted", NoiseColour::kTilted, FadingKind::kNone, 11025, 0},
      {"white, Rayleigh", NoiseColour::kWhite, FadingKind::kRayleigh, 8000, 10},
      {"white, two paths", NoiseColour::kWhite, FadingKind::kTwoPath, 8000, 3},
  };
  for (const Case& c : cases) {
    Scenario s = OneStation(kText, 7);
    s.sampleRate = c.rate;
    s.stations[0].fading.kind = c.fading;
    s.stations[0].fading.delayMs = 2;
    s.stations[0].qsb.depth = 0.3;
    s.receiver.noise.on = true;
    s.receiver.noise.snrDb = c.snrDb;
    s.receiver.noise.colour = c.colour;
    s.receiver.crashes.on = true;  // static is not receiver noise: it must not move the SNR
    s.receiver.agc.on = true;      // and the SNR is set before the AGC
    const Rendered r = Render(s, true);
    const std::vector<float> shape = KeyShape(r.keyings[0], s.stations[0].tx, c.rate, r.wanted.size());
    const double tone = KeyDownPower(r.wanted, shape);
    EXPECT_NEAR(tone, 0.5, 0.01) << c.name;
    // The noise in the passband, from its spectrum.
    const double inBand = BandPower(Psd(r.noise, c.rate), c.rate, 300, 2700);
    const double measured = Db(tone / (inBand / 2400 * 2500));
    // 0.1 dB: tight enough to tell 2500 Hz from the passband's 2400.
    EXPECT_NEAR(measured, c.snrDb, 0.1) << c.name;
  }
}

TEST(Noise, ColourHasTheStatedSlopeAndStaysInThePassband) {
  struct Case {
    NoiseColour colour;
    double tilt;
    double slopeDbPerOctave;
  };
  const Case cases[] = {{NoiseColour::kWhite, 0, 0},
                        {NoiseColour::kPink, 0, -3.01},
                        {NoiseColour::kTilted, -6, -6},
                        {NoiseColour::kTilted, 4, 4}};
  for (const Case& c : cases) {
    Noise noise;
    noise.colour = c.colour;
    noise.tiltDbPerOctave = c.tilt;
    Random random(3);
    const std::vector<float> x = ReceiverNoise(noise, 1.0, 8000, 8000 * 60, random);
    const std::vector<double> psd = Psd(x, 8000);
    const double low = BandPower(psd, 8000, 550, 650) / 100;
    const double high = BandPower(psd, 8000, 2200, 2400) / 200;  // two octaves up, at 2300 Hz
    const double slope = Db(high / low) / std::log2(2300.0 / 600);
    EXPECT_NEAR(slope, c.slopeDbPerOctave, 0.4) << c.tilt;
    // Outside the passband the noise is at least 40 dB down.
    const double inside = BandPower(psd, 8000, 300, 2700) / 2400;
    EXPECT_LT(BandPower(psd, 8000, 0, 150) / 150, inside * 1e-4);
    EXPECT_LT(BandPower(psd, 8000, 2900, 4000) / 1100, inside * 1e-4);
  }
}

TEST(Interferer, HasItsStatedLevelAndOffset) {
  struct Case {
    double offsetHz;
    double levelDb;
  };
  for (const Case& c : {Case{50, -20}, Case{200, 0}, Case{400, 6}}) {
    Scenario s = OneStation("TEST DE W1AW W1AW K", 4);
    Station other;
    other.text = "CQ CQ DE G4ABC G4ABC K";
    other.fist.wpm = 27;
    other.tx.pitchHz = 600 + c.offsetHz;
    other.levelDb = c.levelDb;
    other.startS = 0.8;
    s.stations.push_back(other);
    const Rendered r = Render(s, true);
    // The audio is the sum scaled to full scale: find that scale, and the
    // interferer is what is left.
    double cross = 0;
    double self = 0;
    for (std::size_t i = 0; i < r.audio.size(); ++i) {
      cross += static_cast<double>(r.audio[i]) * r.wanted[i];
      self += static_cast<double>(r.wanted[i]) * r.wanted[i];
    }
    const double scale = cross / self;
    std::vector<float> rest(r.audio.size());
    for (std::size_t i = 0; i < rest.size(); ++i) rest[i] = static_cast<float>(r.audio[i] / scale - r.wanted[i]);
    const std::vector<float> shape = KeyShape(r.keyings[1], other.tx, 8000, rest.size());
    EXPECT_NEAR(Db(KeyDownPower(rest, shape) / 0.5), c.levelDb, 0.3) << c.offsetHz;
    const std::vector<double> psd = Psd(rest, 8000, 8192);
    const auto peak = static_cast<double>(std::max_element(psd.begin(), psd.end()) - psd.begin());
    EXPECT_NEAR(peak * 8000 / 8192, 600 + c.offsetHz, 2) << c.offsetHz;
    EXPECT_EQ(r.keyings[1].text, "CQ CQ DE G4ABC G4ABC K");
  }
}

TEST(Hum, PutsLinesAtTheMainsFrequencyAndItsHarmonics) {
  for (double mains : {50.0, 60.0}) {
    Scenario s = OneStation("");
    s.trailS = 20;
    s.receiver.hum.on = true;
    s.receiver.hum.mainsHz = mains;
    s.receiver.hum.harmonics = 3;
    const Rendered r = Render(s);
    const std::vector<double> psd = Psd(r.audio, 8000, 8192);
    const double fundamental = BandPower(psd, 8000, mains - 3, mains + 3);
    for (int h = 2; h <= 4; ++h) {
      EXPECT_NEAR(Db(BandPower(psd, 8000, mains * h - 3, mains * h + 3) / fundamental), Db(1.0 / (h * h)), 0.5);
    }
    EXPECT_LT(BandPower(psd, 8000, mains * 5 - 3, mains * 5 + 3), fundamental * 1e-6);
    EXPECT_LT(BandPower(psd, 8000, mains * 1.5 - 3, mains * 1.5 + 3), fundamental * 1e-6);
  }
}

TEST(Output, StaysWithinFullScaleAndClipsOnlyWhenAsked) {
  struct Case {
    const char* name;
    bool crashes;
    bool agc;
    bool clip;
  };
  const Case cases[] = {{"clean", false, false, false},
                        {"crashes", true, false, false},
                        {"crashes and AGC", true, true, false},
                        {"clipping", false, false, true}};
  for (const Case& c : cases) {
    Scenario s = OneStation(kText, 9);
    s.receiver.noise.on = true;
    s.receiver.crashes.on = c.crashes;
    s.receiver.crashes.perSecond = 2;
    s.receiver.agc.on = c.agc;
    s.receiver.clipping.on = c.clip;
    s.receiver.clipping.driveDb = 6;
    const Rendered r = Render(s);
    float peak = 0;
    std::size_t atFullScale = 0;
    for (float x : r.audio) {
      peak = std::max(peak, std::abs(x));
      if (std::abs(x) >= 1.0f) ++atFullScale;
    }
    EXPECT_LE(peak, 1.0f) << c.name;
    if (c.clip) {
      // The tone is driven 6 dB over full scale: most of each mark is cut.
      EXPECT_GT(atFullScale, r.audio.size() / 20) << c.name;
    } else {
      EXPECT_EQ(atFullScale, 0u) << c.name;
      EXPECT_NEAR(peak, 0.9f, 1e-4f) << c.name;
    }
  }
}

TEST(Render, IsDeterministicAndKeepsEachPartsNumbersApart) {
  Scenario s = OneStation(kText, 11);
  Random operatorRandom(5);
  s.stations[0].fist = RandomFist(FistKind::kStraight, 22, operatorRandom);
  s.stations[0].fading.kind = FadingKind::kRayleigh;
  s.receiver.noise.on = true;
  const Rendered a = Render(s, true);
  const Rendered b = Render(s, true);
  EXPECT_EQ(a.audio, b.audio);
  s.seed = 12;
  EXPECT_NE(Render(s).audio, a.audio);
  s.seed = 11;
  // Static crashes draw from their own stream: the keying, the fading and
  // the noise stay exactly as they were.
  s.receiver.crashes.on = true;
  const Rendered c = Render(s, true);
  EXPECT_EQ(c.wanted, a.wanted);
  EXPECT_EQ(c.noise, a.noise);
  EXPECT_NE(c.audio, a.audio);
}

TEST(RenderIq, PutsStationsAtTheirOffsetsAndLevels) {
  Scenario s = OneStation("CQ CQ DE K1ABC K1ABC K");
  s.sampleRate = 48000;
  s.stations[0].tx.pitchHz = -3000;
  Station other = s.stations[0];
  other.tx.pitchHz = 5000;
  other.levelDb = -10;
  s.stations.push_back(other);
  s.receiver.noise.on = true;
  s.receiver.noise.snrDb = 20;
  const RenderedIq r = RenderIq(s);
  ASSERT_EQ(r.keyings.size(), 2u);
  // Negative frequencies are kept apart from positive ones: take the
  // spectrum of the complex signal's two halves.
  std::vector<float> re(r.iq.size());
  std::vector<float> shifted(r.iq.size());
  for (std::size_t n = 0; n < r.iq.size(); ++n) {
    re[n] = r.iq[n].real();
    // Moved up by 12 kHz, the band's -12..+12 kHz reads on a real spectrum.
    const std::complex<double> z = std::complex<double>(r.iq[n]) * std::polar(1.0, 2 * dsp::kPi * 12000.0 * static_cast<double>(n) / 48000);
    shifted[n] = static_cast<float>(z.real());
  }
  const std::vector<double> psd = Psd(shifted, 48000, 16384);
  const double wanted = BandPower(psd, 48000, 8990, 9010);
  const double interferer = BandPower(psd, 48000, 16990, 17010);
  const double mirror = BandPower(psd, 48000, 14990, 15010);  // +3000 Hz: nothing there
  EXPECT_GT(wanted, 5 * interferer);
  EXPECT_LT(wanted, 20 * interferer);
  EXPECT_LT(mirror, wanted * 1e-2);
}

}  // namespace
}  // namespace tolvane::sim::test
