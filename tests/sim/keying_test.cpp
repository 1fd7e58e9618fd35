// Operators' timing, the truth the keyer reports, and the on-air texts.
#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "morse/morse.h"
#include "sim/sim.h"

namespace tolvane::sim {
namespace {

TEST(RandomFist, StaysInTheHumanRangesAndKeepsGapsApart) {
  for (FistKind kind : {FistKind::kStraight, FistKind::kBug, FistKind::kPaddle}) {
    Random random(31);
    for (int i = 0; i < 500; ++i) {
      const Fist f = RandomFist(kind, 20, random);
      SCOPED_TRACE(FistName(kind));
      EXPECT_GE(f.dashDot, 2.5);
      EXPECT_LE(f.dashDot, 4.5);
      EXPECT_GE(f.weight, 0.8);
      EXPECT_LE(f.weight, 1.25);
      EXPECT_GE(f.elementGap, 0.75);
      EXPECT_LE(f.elementGap, 1.2);
      EXPECT_GE(f.letterGap, 2);
      EXPECT_LE(f.letterGap, 5);
      EXPECT_GE(f.wordGap, 5);
      EXPECT_LE(f.wordGap, 10);
      EXPECT_GE(f.jitter, 0.05);
      EXPECT_LE(f.jitter, 0.2);
      EXPECT_LE(f.speedDrift, 0.15);
      EXPECT_TRUE(Readable(f));
    }
  }
}

struct Measured {
  std::vector<double> dots, dashes, elementGaps, letterGaps, wordGaps;
};

// Every mark and gap of `k`, sorted by what the text says it is.
Measured Measure(const Keying& k) {
  Measured m;
  std::size_t mark = 0;
  double lastEnd = -1;
  bool wordStart = false;
  for (char c : k.text) {
    if (c == ' ') {
      wordStart = true;
      continue;
    }
    const std::string code = LookupCode(c);
    for (std::size_t e = 0; e < code.size(); ++e, ++mark) {
      const Mark& x = k.marks.at(mark);
      if (lastEnd >= 0) {
        const double gap = x.start - lastEnd;
        (e > 0 ? m.elementGaps : wordStart ? m.wordGaps : m.letterGaps).push_back(gap);
      }
      (code[e] == '-' ? m.dashes : m.dots).push_back(x.end - x.start);
      lastEnd = x.end;
    }
    wordStart = false;
  }
  EXPECT_EQ(mark, k.marks.size());
  return m;
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

TEST(Key, MachineKeyingHasTheFistsLengths) {
  struct Case {
    Fist fist;
    double letterUnits;  // after Farnsworth stretching
    double wordUnits;
  };
  Fist weighted;
  weighted.wpm = 25;
  weighted.dashDot = 3.6;
  weighted.weight = 1.2;
  weighted.elementGap = 0.8;
  weighted.letterGap = 2.5;
  weighted.wordGap = 6;
  Fist farnsworth;
  farnsworth.wpm = 20;
  farnsworth.farnsworthWpm = 10;
  const double stretch = (60.0 * 20 - 37.2 * 10) / (20 * 10) / 19.0 / 0.06;
  for (const Case& c : {Case{Fist{}, 3, 7}, Case{weighted, 2.5, 6}, Case{farnsworth, 3 * stretch, 7 * stretch}}) {
    Random random(32);
    const Keying k = Key("PARIS CQ DE W1AW 73", c.fist, random, 0.25);
    const double unit = 1.2 / c.fist.wpm;
    const Measured m = Measure(k);
    EXPECT_NEAR(k.marks.front().start, 0.25, 1e-12);
    for (double x : m.dots) EXPECT_NEAR(x, c.fist.weight * unit, 1e-9);
    for (double x : m.dashes) EXPECT_NEAR(x, c.fist.dashDot * c.fist.weight * unit, 1e-9);
    for (double x : m.elementGaps) EXPECT_NEAR(x, c.fist.elementGap * unit, 1e-9);
    for (double x : m.letterGaps) EXPECT_NEAR(x, c.letterUnits * unit, 1e-9);
    for (double x : m.wordGaps) EXPECT_NEAR(x, c.wordUnits * unit, 1e-9);
  }
}

TEST(Key, HandFistsTimeWhatTheirKeyLeavesToTheHand) {
  struct Case {
    FistKind kind;
    bool dotsExact;
    bool dashesExact;
  };
  for (const Case& c : {Case{FistKind::kStraight, false, false}, Case{FistKind::kBug, true, false},
                        Case{FistKind::kPaddle, true, true}}) {
    Random random(33);
    Fist f = RandomFist(c.kind, 20, random);
    f.speedDrift = 0;
    const Keying k = Key(MakeText(TextKind::kOnAir, random, 200), f, random);
    const Measured m = Measure(k);
    const double unit = 1.2 / f.wpm;
    auto spread = [](const std::vector<double>& v) {
      return *std::max_element(v.begin(), v.end()) / *std::min_element(v.begin(), v.end());
    };
    SCOPED_TRACE(FistName(c.kind));
    EXPECT_EQ(spread(m.dots) < 1 + 1e-9, c.dotsExact);
    EXPECT_EQ(spread(m.dashes) < 1 + 1e-9, c.dashesExact);
    EXPECT_GT(spread(m.letterGaps), 1.05);  // spacing is always by hand
    // On average each length is what the fist says.
    EXPECT_NEAR(Mean(m.dots) / unit, f.weight, 0.03 * f.weight);
    EXPECT_NEAR(Mean(m.dashes) / Mean(m.dots), f.dashDot, 0.05 * f.dashDot);
    EXPECT_NEAR(Mean(m.letterGaps) / unit, f.letterGap, 0.05 * f.letterGap);
    // However the hand wavers, every gap stays in its class.
    EXPECT_LT(*std::max_element(m.elementGaps.begin(), m.elementGaps.end()),
              *std::min_element(m.letterGaps.begin(), m.letterGaps.end()));
    EXPECT_LT(*std::max_element(m.letterGaps.begin(), m.letterGaps.end()),
              *std::min_element(m.wordGaps.begin(), m.wordGaps.end()));
  }
}

TEST(Key, GapsStayInTheirClassHoweverHeavyTheJitter) {
  // Gaps this close, with this much jitter, would overlap if left alone.
  Fist f;
  f.kind = FistKind::kStraight;
  f.elementGap = 1.2;
  f.letterGap = 2;
  f.wordGap = 3.5;
  f.jitter = 0.45;
  Random random(39);
  const Measured m = Measure(Key(MakeText(TextKind::kRagchew, random, 300), f, random));
  EXPECT_LT(*std::max_element(m.elementGaps.begin(), m.elementGaps.end()),
            *std::min_element(m.letterGaps.begin(), m.letterGaps.end()));
  EXPECT_LT(*std::max_element(m.letterGaps.begin(), m.letterGaps.end()),
            *std::min_element(m.wordGaps.begin(), m.wordGaps.end()));
}

TEST(Key, SpeedWandersWithinTheDrift) {
  Fist f;
  f.kind = FistKind::kPaddle;  // exact marks, so each dot shows the speed
  f.speedDrift = 0.15;
  Random random(34);
  const Keying k = Key(MakeText(TextKind::kRagchew, random, 600), f, random);
  const std::vector<double> dots = Measure(k).dots;
  const double unit = 1.2 / f.wpm;
  const auto [low, high] = std::minmax_element(dots.begin(), dots.end());
  EXPECT_GE(*low, unit / 1.15 - 1e-9);
  EXPECT_LE(*high, unit / 0.85 + 1e-9);
  EXPECT_GT(*high / *low, 1.1);  // over minutes it does wander
}

TEST(Key, PausesBetweenExchangesAndReportsTheTruth) {
  Fist f;
  f.pauseMinS = 0.5;
  f.pauseMaxS = 3;
  Random random(35);
  const Keying k = Key("cq  test  dl1abc|dl1abc 5nn tt1 |  | tu", f, random, 1);
  EXPECT_EQ(k.text, "CQ TEST DL1ABC DL1ABC 5NN TT1 TU");
  EXPECT_EQ(k.exchangeStarts, (std::vector<std::size_t>{0, 15, 30}));
  std::string letters;
  for (char c : k.text) letters += c == ' ' ? "" : std::string(1, c);
  ASSERT_EQ(k.characters.size(), letters.size());
  std::size_t mark = 0;
  for (std::size_t i = 0; i < k.characters.size(); ++i) {
    const CharTime& c = k.characters[i];
    EXPECT_EQ(c.character, letters[i]);
    EXPECT_EQ(c.start, k.marks[mark].start);
    mark += std::string(LookupCode(c.character)).size();
    EXPECT_EQ(c.end, k.marks[mark - 1].end);
    if (i > 0) {
      const double gap = c.start - k.characters[i - 1].end;
      const bool exchange = i == 12 || i == 24;  // the first letters of "DL1ABC 5NN" and "TU"
      EXPECT_EQ(gap >= 0.5 && gap <= 3, exchange) << i << " " << gap;
    }
  }
  EXPECT_EQ(k.end, k.marks.back().end);
}

TEST(Texts, NormaliseLikeAListener) {
  const std::pair<const char*, const char*> cases[] = {
      {"  cq  de\tw1aw  ", "CQ DE W1AW"}, {"5nn#tt1", "5NN TT1"}, {"VK2/W1XYZ|K", "VK2/W1XYZ K"}, {"", ""},
      {"\xC3\xA9t\xC3\xA9", "T"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(NormaliseText(in), out) << in;
}

TEST(Texts, AreLongEnoughDeterministicAndOnAir) {
  for (TextKind kind : {TextKind::kRandom, TextKind::kCq, TextKind::kContest, TextKind::kPileup,
                        TextKind::kRagchew, TextKind::kAlphabet, TextKind::kOnAir}) {
    Random a(36);
    Random b(36);
    const std::string text = MakeText(kind, a, 80);
    EXPECT_GE(NormaliseText(text).size(), 80u) << text;
    EXPECT_EQ(text, MakeText(kind, b, 80));
    for (char c : NormaliseText(text)) EXPECT_TRUE(c == ' ' || LookupCode(c) != nullptr) << text;
  }
  Random random(37);
  const std::string alphabet = MakeText(TextKind::kAlphabet, random, 60);
  EXPECT_EQ(std::set<char>(alphabet.begin(), alphabet.end()).size() - 1, kMorseTableSize);  // and spaces
  for (int i = 0; i < 50; ++i) {
    const std::string message = NormaliseText(ShortMessage(random));
    EXPECT_LE(std::count(message.begin(), message.end(), ' '), 2) << message;
    EXPECT_FALSE(message.empty());
  }
}

TEST(Texts, CallsignsIncludePortableAndPrefixedForms) {
  Random random(38);
  int portable = 0;
  int prefixed = 0;
  for (int i = 0; i < 500; ++i) {
    const std::string call = Callsign(random);
    EXPECT_EQ(NormaliseText(call), call);
    const std::size_t slash = call.find('/');
    if (call.size() > 2 && call.compare(call.size() - 2, 2, "/P") == 0) ++portable;
    if (slash != std::string::npos && slash < 4 && std::isdigit(static_cast<unsigned char>(call[slash - 1]))) ++prefixed;
  }
  EXPECT_GT(portable, 15);
  EXPECT_GT(prefixed, 10);
}

}  // namespace
}  // namespace tolvane::sim
