// The front end's pitch search on hand-built bands: which keyed tone it
// offers to lock on, where it puts it, and what it never offers.
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "robust/front_end.h"
#include "robust/pitch_search.h"
#include "sim/sim.h"

namespace tolvane::robust {
namespace {

constexpr double kWorking = 8000;
constexpr double kPi = 3.14159265358979323846;

enum class Keying {
  kMorse,   // 20 WPM
  kSteady,  // a carrier
  kSlow,    // a carrier switched off for half a second every three
  kFast,    // 60 WPM, keyed hard
  kLater,   // 20 WPM, seven units behind kMorse
  kSyllables,  // on and off as a voice's syllables come, 150-350 ms each
};

struct Tone {
  double hz;
  double amplitude;
  Keying keying;
};

// Marks and spaces in 60 ms units: "PARIS " over and over.
bool MorseDown(std::size_t sample) {
  static const int kUnits[] = {1, 1, 3, 1, 3, 1, 1, 3, 1, 1, 3, 3, 1, 1, 3, 1, 1, 3, 1, 1, 1, 3, 1, 1, 1, 1, 1, 7};
  constexpr std::size_t kUnitSamples = 480;
  std::size_t total = 0;
  for (int u : kUnits) total += static_cast<std::size_t>(u);
  std::size_t at = (sample / kUnitSamples) % total;
  for (std::size_t i = 0; i < sizeof kUnits / sizeof kUnits[0]; ++i) {
    const auto u = static_cast<std::size_t>(kUnits[i]);
    if (at < u) return i % 2 == 0;
    at -= u;
  }
  return false;
}

// Syllables and the pauses between them, of irregular lengths.
bool SyllableDown(std::size_t sample) {
  std::size_t at = 0;
  for (std::size_t k = 0;; ++k) {
    const std::size_t on = (150 + (k * 73) % 200) * 8;
    const std::size_t off = (80 + (k * 131) % 300) * 8;
    if (sample < at + on) return true;
    if (sample < at + on + off) return false;
    at += on + off;
  }
}

bool Down(Keying keying, std::size_t i) {
  switch (keying) {
    case Keying::kMorse: return MorseDown(i);
    case Keying::kSteady: return true;
    case Keying::kSlow: return i % 24000 < 20000;
    case Keying::kFast: return MorseDown(3 * i);
    case Keying::kLater: return MorseDown(i + 7 * 480);
    case Keying::kSyllables: return SyllableDown(i);
  }
  return false;
}

// Pushes `seconds` of the tones in noise of RMS `noiseLevel`; real, or I/Q
// with each tone at its (signed) offset. Answers the last frame's best, as
// Hz, and whether any was found.
struct Heard {
  bool found = false;
  double hz = 0;
};

Heard Listen(PitchSearch* search, const std::vector<Tone>& tones, double noiseLevel, bool complex, double seconds) {
  sim::Random random(7);
  auto noise = [&] { return static_cast<float>(noiseLevel * random.Gaussian()); };
  const auto count = static_cast<std::size_t>(seconds * kWorking);
  for (std::size_t i = 0; i < count; ++i) {
    Complex w(noise(), complex ? noise() : 0.0f);
    for (const Tone& t : tones) {
      if (!Down(t.keying, i)) continue;
      const double phase = 2 * kPi * t.hz * static_cast<double>(i) / kWorking;
      w += complex ? Complex(static_cast<float>(t.amplitude * std::cos(phase)),
                             static_cast<float>(t.amplitude * std::sin(phase)))
                   : Complex(static_cast<float>(t.amplitude * std::cos(phase)), 0.0f);
    }
    search->Push(w);
  }
  Heard heard;
  heard.found = search->best() < search->size();
  if (heard.found) heard.hz = search->RefinedHz(search->StrongestWithin(search->best(), 60));
  return heard;
}

// Noise alone may now and then key a bin often enough to be offered (the
// engine's squelch judges it); a row that expects nothing asks only that
// none of its tones is offered, and digital silence that nothing is.
TEST(PitchSearch, OffersTheKeyedToneAskedForAndNoCarrier) {
  constexpr double kNoise = 0.003;
  struct Case {
    std::string name;
    RobustOptions listen;
    std::vector<Tone> tones;
    double noise;
    bool found;  // a tone at `hz`; or none of the tones
    double hz;
  };
  RobustOptions audio;
  RobustOptions iq;
  iq.complex = true;
  RobustOptions pitch1200 = audio;
  pitch1200.pitchGiven = true;
  pitch1200.pitchHz = 1200;
  RobustOptions band = audio;
  band.bandLoHz = 1500;
  band.bandHiHz = 2500;
  const Case cases[] = {
      {"one keyed tone", audio, {{700, 0.3, Keying::kMorse}}, kNoise, true, 700},
      {"between two bins", audio, {{1003.9, 0.3, Keying::kMorse}}, kNoise, true, 1003.9},
      {"digital silence", audio, {}, 0, false, 0},
      {"a steady carrier alone", audio, {{1000, 0.3, Keying::kSteady}}, kNoise, false, 0},
      {"a carrier switched on and off", audio, {{1000, 0.3, Keying::kSlow}}, kNoise, false, 0},
      {"keying beside a louder carrier", audio, {{1000, 0.6, Keying::kSteady}, {600, 0.2, Keying::kMorse}}, kNoise,
       true, 600},
      {"the louder of two keyed tones", audio, {{900, 0.03, Keying::kMorse}, {1700, 0.3, Keying::kMorse}}, kNoise,
       true, 1700},
      {"the pitch given, not the louder", pitch1200, {{600, 0.3, Keying::kMorse}, {1210, 0.05, Keying::kMorse}},
       kNoise, true, 1210},
      {"nothing near the pitch given", pitch1200, {{600, 0.3, Keying::kMorse}}, kNoise, false, 0},
      {"inside the band only", band, {{800, 0.3, Keying::kMorse}, {2000, 0.1, Keying::kMorse}}, kNoise, true, 2000},
      {"I/Q below the centre", iq, {{-500, 0.3, Keying::kMorse}}, kNoise, true, -500},
      {"I/Q above the centre", iq, {{1500, 0.3, Keying::kMorse}}, kNoise, true, 1500},
  };
  for (const Case& c : cases) {
    PitchSearch search(c.listen, kWorking, 1);
    const Heard heard = Listen(&search, c.tones, c.noise, c.listen.complex, 6);
    if (!c.found) {
      bool offered = heard.found && c.noise == 0;
      for (const Tone& t : c.tones) offered = offered || (heard.found && std::fabs(heard.hz - t.hz) < 60);
      EXPECT_FALSE(offered) << c.name << ": found at " << heard.hz << " Hz";
      continue;
    }
    EXPECT_TRUE(heard.found) << c.name;
    if (!heard.found) continue;
    EXPECT_NEAR(heard.hz, c.hz, 3) << c.name;
    // The peak offered is the strongest keying about it, so a lock there
    // stays where it is.
    const std::size_t best = search.best();
    EXPECT_TRUE(search.keyedPower(best) > 0) << c.name;
    EXPECT_EQ(search.Follow(best), best) << c.name;
    EXPECT_EQ(search.Follow(best + 1), best) << c.name;
    EXPECT_EQ(search.Follow(best - 1), best) << c.name;
  }
}

// A voice's harmonics come and go together, a pitch apart; the keyed tone
// locked on is watched for that. Keying's own sidebands, a station beside
// it and a carrier beside it are not in step with it that way.
TEST(PitchSearch, TellsAVoicesHarmonicsFromKeying) {
  struct Case {
    std::string name;
    std::vector<Tone> tones;
    bool voiced;
  };
  const Case cases[] = {
      {"a voice's harmonics", {{300, 0.2, Keying::kSyllables}, {450, 0.3, Keying::kSyllables},
                              {600, 0.1, Keying::kSyllables}}, true},
      {"one harmonic alone", {{450, 0.3, Keying::kSyllables}}, false},
      {"Morse keyed hard at 60 WPM", {{700, 0.3, Keying::kFast}}, false},
      {"two stations 150 Hz apart", {{700, 0.3, Keying::kMorse}, {850, 0.3, Keying::kLater}}, false},
      {"keying beside a carrier", {{700, 0.3, Keying::kMorse}, {900, 0.3, Keying::kSteady}}, false},
  };
  for (const Case& c : cases) {
    PitchSearch search(RobustOptions{}, kWorking, 1);
    Listen(&search, c.tones, 0.003, false, 2);
    ASSERT_LT(search.best(), search.size()) << c.name;
    search.Watch(search.best());
    Listen(&search, c.tones, 0.003, false, 6);
    EXPECT_EQ(search.voiced(), c.voiced) << c.name;
    // A voice is taken to go on through its pauses, but not for ever.
    Listen(&search, {}, 0.003, false, 8);
    EXPECT_EQ(search.voiced(), c.voiced) << c.name << ", 8 s after";
    Listen(&search, {}, 0.003, false, 3);
    EXPECT_FALSE(search.voiced()) << c.name << ", 11 s after";
  }
}

// Frames of 1024 working samples, one every 512; the floors are trusted
// after half a second of them.
TEST(PitchSearch, FramesAndSettles) {
  PitchSearch search(RobustOptions{}, kWorking, 1);
  std::size_t frames = 0;
  for (std::size_t i = 1; i <= std::size_t{5} * 1024; ++i) {
    const bool frame = search.Push(Complex(0.0f, 0.0f));
    EXPECT_EQ(frame, i >= 1024 && i % 512 == 0) << i;
    if (!frame) continue;
    ++frames;
    EXPECT_EQ(search.frames(), static_cast<std::int64_t>(frames));
    EXPECT_EQ(search.settled(), frames >= 7) << frames;  // 1024 + 6 x 512 >= 4000
  }
  EXPECT_DOUBLE_EQ(search.framesPerSecond(), kWorking / 512);
}

// A followed signal stays near the pitch asked for, or in the band searched:
// low-frequency noise's slope once drew the channel from 100 Hz down to 1 Hz.
TEST(FrontEnd, FollowsOnlyWithinTheBandSearched) {
  struct Case {
    const char* name;
    RobustOptions listen;
    double hz, allowed;
  };
  RobustOptions audio;
  RobustOptions band = audio;
  band.bandLoHz = 300;
  band.bandHiHz = 900;
  RobustOptions pitch = audio;
  pitch.pitchGiven = true;
  pitch.pitchHz = 600;
  RobustOptions iq;
  iq.complex = true;
  iq.sampleRate = 8000;
  const Case cases[] = {
      {"audio, below 100 Hz", audio, 1, 100},       {"audio, inside", audio, 700, 700},
      {"audio, above the top", audio, 3900, 3600},  {"band, below it", band, 250, 300},
      {"band, above it", band, 950, 900},           {"pitch, far above", pitch, 700, 600 + kFollowToleranceHz},
      {"pitch, near", pitch, 610, 610},             {"I/Q, negative", iq, -2000, -2000},
      {"I/Q, past the edge", iq, 3900, 0.45 * 8000},
  };
  for (const Case& c : cases) {
    const FrontEnd front(c.listen);
    EXPECT_DOUBLE_EQ(front.Allowed(c.hz), c.allowed) << c.name;
  }
}

}  // namespace
}  // namespace tolvane::robust
