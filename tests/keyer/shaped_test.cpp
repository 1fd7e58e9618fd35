// The keyer the tool uses: the library's samples with the library's sound,
// timing rules to the sample, shaped tones, and constant-memory streaming.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "support/test_support.h"

namespace tolvane {
namespace {

class Collect : public SampleSink {
 public:
  bool Write(const std::int16_t* samples, std::size_t count) override {
    ++blocks;
    if (failAfter >= 0 && blocks > failAfter) return false;
    all.insert(all.end(), samples, samples + count);
    return true;
  }
  std::vector<std::int16_t> all;
  int blocks = 0;
  int failAfter = -1;
};

std::vector<std::int16_t> Key(const std::string& text, const KeyingSound& sound, const TimingRules& rules,
                              Spacing spacing = Spacing::kEachSpace) {
  Collect sink;
  MorseKeyer keyer(sound, MakeTiming(rules, sound.sampleRate), &sink);
  TextOptions options;
  options.spacing = spacing;
  TextCoder coder(options);
  EXPECT_TRUE(coder.Feed(text.data(), text.size(), &keyer) && coder.Finish(&keyer) && keyer.Finish());
  EXPECT_EQ(keyer.samples(), sink.all.size());
  return sink.all;
}

TEST(MorseKeyer, WithTheLibrarySoundWritesTheLibrarysSamples) {
  test::TempDir dir;
  std::mt19937 random(7);
  std::vector<std::string> texts = {"", "E", "SOS", "HELLO WORLD", "  E  ", "é#%", "e\x80z", "cq de w1aw 73",
                                    std::string(3000, 'T')};
  const std::string alphabet = "ABCXYZ0189.,?/@ #%\x01\xC3\xA9\xFF";
  for (int n = 0; n < 40; ++n) {
    std::string text;
    for (std::size_t k = random() % 60; k > 0; --k) text += alphabet[random() % alphabet.size()];
    texts.push_back(text);
  }
  for (int unitMs : {1, 20, 60, 200}) {
    TimingRules rules;
    rules.unitSeconds = unitMs / 1000.0;
    for (const std::string& text : texts) {
      const std::string path = dir.File("lib.wav");
      ASSERT_TRUE(KeyTextToWav(text, path.c_str(), unitMs));
      EXPECT_EQ(Key(text, KeyingSound{}, rules), test::SamplesAfterHeader(test::ReadBytes(path)))
          << unitMs << " ms: " << text;
    }
  }
}

TEST(MakeTiming, FollowsTheUnitFarnsworthWordGapAndWeight) {
  struct Case {
    const char* name;
    double wpm;
    double farnsworth;
    double wordGap;
    double weight;
    int rate;
    KeyingTiming expected;  // samples
  };
  // ARRL: ta = 60/s - 37.2/c seconds, letter gap 3ta/19, word gap 7ta/19.
  const double ta = 60.0 / 10 - 37.2 / 20;  // 4.14 s at 20/10 WPM
  const Case cases[] = {
      {"library", 20, 0, 10, 50, 8000, {480, 1440, 480, 1440, 3360}},
      {"word gap 7", 20, 0, 7, 50, 8000, {480, 1440, 480, 1440, 1920}},
      {"48 kHz", 20, 0, 7, 50, 48000, {2880, 8640, 2880, 8640, 11520}},
      {"odd unit", 13, 0, 7, 50, 44100, {1.2 / 13 * 44100, 3.6 / 13 * 44100, 1.2 / 13 * 44100,
                                         3.6 / 13 * 44100, 4.8 / 13 * 44100}},
      {"Farnsworth 20/10", 20, 10, 7, 50, 8000,
       {480, 1440, 480, 3 * ta / 19 * 8000, 4 * ta / 19 * 8000}},
      {"Farnsworth at the letter speed", 20, 20, 7, 50, 8000, {480, 1440, 480, 1440, 1920}},
      {"weight 80", 20, 0, 7, 80, 8000, {768, 1728, 192, 1152, 1920}},
      {"weight 20", 20, 0, 7, 20, 8000, {192, 1152, 768, 1728, 1920}},
  };
  for (const Case& c : cases) {
    TimingRules rules;
    rules.unitSeconds = 1.2 / c.wpm;
    rules.farnsworthWpm = c.farnsworth;
    rules.wordGapUnits = c.wordGap;
    rules.weightPercent = c.weight;
    const KeyingTiming t = MakeTiming(rules, c.rate);
    EXPECT_NEAR(t.dot, c.expected.dot, 1e-6) << c.name;
    EXPECT_NEAR(t.dash, c.expected.dash, 1e-6) << c.name;
    EXPECT_NEAR(t.symbolGap, c.expected.symbolGap, 1e-6) << c.name;
    EXPECT_NEAR(t.letterGap, c.expected.letterGap, 1e-6) << c.name;
    EXPECT_NEAR(t.wordExtra, c.expected.wordExtra, 1e-6) << c.name;
  }
  // PARIS and a word gap take 60/s seconds at the effective speed.
  TimingRules rules;
  rules.unitSeconds = 0.06;
  rules.farnsworthWpm = 10;
  rules.wordGapUnits = 7;
  const KeyingTiming t = MakeTiming(rules, 8000);
  EXPECT_NEAR(31 * 480 + 4 * t.letterGap + t.letterGap + t.wordExtra, 6.0 * 8000, 1e-6);
}

// Runs of tone (any sample not zero, single zero samples at a crossing
// bridged) as [start, end) sample indices.
std::vector<std::pair<std::size_t, std::size_t>> Marks(const std::vector<std::int16_t>& s) {
  std::vector<std::pair<std::size_t, std::size_t>> marks;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == 0) continue;
    if (!marks.empty() && marks.back().second + 1 >= i) {
      marks.back().second = i + 1;
    } else {
      marks.emplace_back(i, i + 1);
    }
  }
  return marks;
}

TEST(MorseKeyer, EveryEdgeIsWithinOneSampleOfItsExactTime) {
  // 13 WPM at 44.1 kHz: 4070.77 samples per unit, Farnsworth 13/7 and
  // weight 60, so no length is whole; an hour's drift would show here too.
  KeyingSound sound;
  sound.sampleRate = 44100;
  sound.pitchHz = 701.3;
  sound.peak = 20000;
  TimingRules rules;
  rules.unitSeconds = 1.2 / 13;
  rules.farnsworthWpm = 7;
  rules.wordGapUnits = 7;
  rules.weightPercent = 60;
  const std::string text = "PARIS PARIS QZ 73 PARIS";
  const std::vector<std::int16_t> samples = Key(text, sound, rules);
  // The expected edges, from the rules directly.
  const double u = rules.unitSeconds * 44100;
  const double ta = (60.0 / 7 - 31 * rules.unitSeconds) * 44100;
  const double extra = 0.2 * u;
  std::vector<double> edges;  // start, end, start, end, ...
  double t = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') {
      t += 4 * ta / 19;
      continue;
    }
    const std::string code = LookupCode(text[i]);
    for (std::size_t k = 0; k < code.size(); ++k) {
      edges.push_back(t);
      t += (code[k] == '-' ? 3 * u : u) + extra;
      edges.push_back(t);
      t += (k + 1 == code.size() ? 3 * ta / 19 : u) - extra;
    }
  }
  const auto marks = Marks(samples);
  ASSERT_EQ(marks.size() * 2, edges.size());
  for (std::size_t m = 0; m < marks.size(); ++m) {
    // Rounding to the nearest sample, and a tone that starts at a zero
    // crossing (the first) reads one sample late here.
    EXPECT_LE(std::abs(static_cast<double>(marks[m].first) - edges[2 * m]), 1.0) << "start of mark " << m;
    EXPECT_LE(std::abs(static_cast<double>(marks[m].second) - edges[2 * m + 1]), 1.0) << "end of mark " << m;
  }
  EXPECT_NEAR(static_cast<double>(samples.size()), t, 0.5);
}

TEST(MorseKeyer, ShapedMarksRiseAndFallInsideThemAndReachThePeak) {
  KeyingSound sound;
  sound.sampleRate = 48000;
  sound.pitchHz = 700;
  sound.peak = 32767 * std::pow(10.0, -3.0 / 20);
  sound.riseSeconds = 0.005;
  TimingRules rules;
  const std::vector<std::int16_t> samples = Key("T", sound, rules);  // one dash of 8640 samples
  ASSERT_EQ(samples.size(), 6u * 2880);
  // The envelope, as the RMS over ten cycles of the tone (686 samples)
  // times the square root of 2; near a ramp's half-way point over one cycle.
  auto envelope = [&](std::size_t from, std::size_t length = 69) {
    double sum = 0;
    for (std::size_t i = from; i < from + length; ++i) sum += 1.0 * samples[i] * samples[i];
    return std::sqrt(2 * sum / static_cast<double>(length)) / sound.peak;
  };
  EXPECT_LT(std::abs(samples[0]), 5);                   // starts at silence
  EXPECT_NEAR(envelope(120 - 34), 0.5, 0.05);           // half way at 2.5 ms
  EXPECT_NEAR(envelope(8640 - 120 - 34), 0.5, 0.05);    // and 2.5 ms before the end
  EXPECT_NEAR(envelope(4000, 686), 1.0, 0.002);              // full level between
  EXPECT_LT(std::abs(samples[8639]), 5);                // ends at silence
  for (std::size_t i = 8640; i < samples.size(); ++i) ASSERT_EQ(samples[i], 0) << i;
  int peak = 0;
  for (std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_NEAR(peak, sound.peak, 1.0);
}

TEST(MorseKeyer, CountsWithoutASinkAndStopsWhenTheSinkFails) {
  KeyingSound sound;
  sound.sampleRate = 22050;
  sound.riseSeconds = 0.004;
  TimingRules rules;
  rules.farnsworthWpm = 11;
  rules.wordGapUnits = 7;
  const std::string text = "THE QUICK BROWN FOX 0123456789";
  MorseKeyer counter(sound, MakeTiming(rules, sound.sampleRate), nullptr);
  TextCoder coder{TextOptions{}};
  ASSERT_TRUE(coder.Feed(text.data(), text.size(), &counter) && coder.Finish(&counter) && counter.Finish());
  EXPECT_EQ(counter.samples(), Key(text, sound, rules).size());

  Collect failing;
  failing.failAfter = 2;
  MorseKeyer keyer(sound, MakeTiming(rules, sound.sampleRate), &failing);
  TextCoder again{TextOptions{}};
  EXPECT_FALSE(again.Feed(text.data(), text.size(), &keyer));
  EXPECT_EQ(failing.blocks, 3);
}

TEST(LibraryTone, CopiesTheRecurrenceAcrossAnyBlockSizes) {
  std::vector<std::int16_t> expected(20000);
  TonePhase phase;
  SynthesizeTone(&phase, expected.data(), expected.size());
  std::vector<std::int16_t> copied(expected.size());
  LibraryToneState state;
  std::mt19937 random(3);
  for (std::size_t at = 0; at < copied.size();) {
    const std::size_t n = std::min<std::size_t>(random() % 97 + 1, copied.size() - at);
    LibraryTone(&state, copied.data() + at, n);
    at += n;
  }
  EXPECT_EQ(copied, expected);
}

}  // namespace
}  // namespace tolvane
