// The timing stage on hand-built lengths and evidence: the model it fits
// and the keying the sequence search finds.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "robust/timing.h"

namespace tolvane::robust {
namespace {

TEST(EstimateDot, ClustersDotsAndDashesAndPrefersCommonSpeedsWhenAlike) {
  struct Case {
    std::vector<double> tones;  // samples at 1 kHz
    double dot;
  };
  const Case cases[] = {
      {{60, 180, 60, 60, 180, 180, 60}, 60},     // 20 WPM
      {{240, 720, 240}, 240},                    // 5 WPM, both kinds present
      {{20, 60, 20, 20, 60}, 20},                // 60 WPM
      {{180, 180, 180}, 60},                     // alike: dashes at 20 WPM, not dots at 7
      {{60, 180, 9, 60, 180, 400, 60, 180}, 60}, // a fragment and a merged pair do not pull it
  };
  for (const Case& c : cases) EXPECT_NEAR(EstimateDot(c.tones, 1000), c.dot, 0.06 * c.dot) << c.tones.size();
}

TEST(TimingTracker, FitsWeightedFistsAndFollowsASpeedChange) {
  // A bug: light dots (0.84 units), heavy dashes (3.6), long gaps after
  // them (1.2), letter gaps of 2.5 units: four classes kept apart.
  TimingTracker bug;
  bug.Seed({50, 216, 50, 216}, {}, 1000);
  const double tones[] = {50, 216, 50, 50, 216, 216, 50, 50};
  for (int round = 0; round < 4; ++round) {
    for (double t : tones) {
      bug.AddTone(t);
      bug.AddGap(72);
    }
    bug.AddGap(150);
    bug.AddGap(150);
    bug.AddGap(420);
  }
  EXPECT_NEAR(bug.model().dot, 50, 3);
  EXPECT_NEAR(bug.model().dash, 216, 10);
  EXPECT_NEAR(bug.model().elementGap, 72, 4);
  EXPECT_NEAR(bug.model().letterGap, 150, 8);
  EXPECT_GT(bug.model().WordBoundary(), 200);
  EXPECT_LT(bug.model().WordBoundary(), 420);
  // 15 WPM for a while, then 30: the model looking ahead into the window
  // follows at once, where the committed one lags.
  TimingTracker change;
  change.Seed({80, 240, 80}, {}, 1000);
  for (int i = 0; i < 12; ++i) change.AddTone(i % 3 == 0 ? 240 : 80);
  const TimingModel local = change.Local({40, 120, 40, 40, 120, 40, 120, 40, 40, 120}, {40, 40, 120, 40});
  EXPECT_NEAR(local.dot, 40, 4);
  EXPECT_NEAR(local.dash, 120, 10);
}

// A first model from a few lengths (ms at 1 kHz): dots or dashes where
// every tone is alike, light fists' long element gaps, stretched letter
// gaps against a single-letter word's gap.
TEST(TimingTracker, SeedsFromTheFirstCharacters) {
  struct Case {
    const char* name;
    std::vector<double> tones, gaps;
    double dot;
    double elementGap;                // 0: not checked
    double letterGap, wordGap;        // a gap of each kind, classified as such; 0: not checked
    bool ambiguous;
  };
  const Case cases[] = {
      {"H at 10 WPM", {120, 120, 120, 120}, {120, 120, 120, 360}, 120, 120, 360, 0, false},
      {"TTTT at 30 WPM", {120, 120, 120, 120}, {120, 120, 120, 280}, 40, 0, 120, 280, false},
      {"H, no letter gap yet", {120, 120, 120, 120}, {120, 120, 120}, 0, 0, 0, 0, true},
      {"light fist (cw -k 30)", {34, 106, 34, 106, 34, 106}, {92, 92, 182, 92, 92}, 34, 92, 182, 0, false},
      {"heavy fist (cw -k 70)", {102, 312, 312, 102, 102, 312}, {40, 40, 228, 40, 40}, 102, 40, 228, 0, false},
      // Alike long gaps and no other: stretched letter gaps or one-letter
      // words (A B C); held until a gap of another length says which.
      {"Farnsworth 20/10", {60, 180, 60, 60, 60, 60, 60}, {60, 60, 650, 60, 60, 640}, 60, 60, 650, 0, true},
      {"one-letter words, then a letter gap", {60, 60, 60, 60, 60, 60, 60, 180, 180, 180},
       {60, 600, 60, 600, 60, 600, 60, 180, 60}, 60, 60, 180, 600, false},
      {"a single-letter word", {60, 180, 180, 60, 60, 60}, {60, 600, 60, 60}, 60, 60, 0, 600, false},
  };
  for (const Case& c : cases) {
    TimingTracker t;
    t.Seed(c.tones, c.gaps, 1000);
    const TimingModel& m = t.model();
    EXPECT_EQ(t.ambiguous(), c.ambiguous) << c.name;
    if (c.dot > 0) {
      EXPECT_NEAR(m.dot, c.dot, 0.1 * c.dot) << c.name;
    }
    if (c.elementGap > 0) {
      EXPECT_NEAR(m.elementGap, c.elementGap, 0.15 * c.elementGap) << c.name;
      EXPECT_LT(c.elementGap, m.LetterBoundary()) << c.name;
    }
    if (c.letterGap > 0) {
      EXPECT_GT(c.letterGap, m.LetterBoundary()) << c.name;
      EXPECT_LT(c.letterGap, m.WordBoundary()) << c.name;
    }
    if (c.wordGap > 0) {
      EXPECT_GT(c.wordGap, m.WordBoundary()) << c.name;
    }
  }
}

// Letter gaps stretched or not, a gap of three units ends a letter: a
// model that took long gaps for letter gaps must not read the standard
// ones as gaps inside a letter (E F as one code).
TEST(TimingModel, ThreeUnitsEndALetterHoweverStretchedTheLetterGaps) {
  struct Case {
    const char* name;
    double dot, elementGap, letterGap, wordGap;
    double inside, between;  // a gap of each kind
  };
  const Case cases[] = {
      {"standard", 60, 60, 180, 420, 60, 180},
      {"Farnsworth 20/10", 60, 60, 650, 1500, 60, 180},
      {"Farnsworth 25/5", 48, 48, 1300, 3000, 48, 144},
      {"light fist (cw -k 30)", 34, 92, 182, 420, 92, 182},
      {"heavy fist (cw -k 70)", 102, 40, 228, 530, 40, 228},
  };
  for (const Case& c : cases) {
    TimingModel m;
    m.dot = c.dot;
    m.dash = 3 * c.dot;
    m.elementGap = c.elementGap;
    m.letterGap = c.letterGap;
    m.wordGap = c.wordGap;
    EXPECT_LT(c.inside, m.LetterBoundary()) << c.name;
    EXPECT_GT(c.between, m.LetterBoundary()) << c.name;
    EXPECT_LT(c.between, m.WordBoundary()) << c.name;
  }
}

TEST(TimingTracker, OneLetterWordsKeepTheirWordGaps) {
  // Known letter gaps of three units, then only one-letter words: their
  // gaps, all alike, stay word gaps.
  TimingTracker t;
  t.Seed({60, 180, 60, 180, 60}, {60, 180, 60, 600}, 1000);
  for (int i = 0; i < 4; ++i) {
    t.AddTone(60);
    t.AddGap(60);
    t.AddTone(60);
    t.AddGap(600);
  }
  EXPECT_LT(t.model().WordBoundary(), 600);
  EXPECT_GT(t.model().LetterBoundary(), 60);
}

TEST(TimingTracker, PausesBetweenExchangesDoNotMoveTheWordBoundary) {
  TimingTracker t;
  t.Seed({60, 180, 60}, {}, 1000);
  for (int i = 0; i < 6; ++i) {
    t.AddTone(60);
    t.AddGap(60);
    t.AddTone(180);
    t.AddGap(180);
    t.AddTone(60);
    t.AddGap(i % 2 == 0 ? 420 : 2500);  // word gaps, and pauses of 2.5 s
  }
  EXPECT_LT(t.model().WordBoundary(), 420);
  EXPECT_GT(t.model().WordBoundary(), 180);
}

// An operator whose word gaps are only one and a half times their letter
// gaps, each jittered, with pauses between exchanges: every gap stays on
// its side of the word boundary, though the few word gaps among the kept
// gaps change from one to the next.
TEST(TimingTracker, CloseWordAndLetterGapsStayApart) {
  TimingTracker t;
  t.Seed({60, 180, 60, 180, 60}, {60, 200, 60, 320}, 1000);
  std::mt19937 random(5);
  std::uniform_real_distribution<double> jitter(0.88, 1.12);
  std::uniform_int_distribution<int> letters(2, 5);
  int wrong = 0, judged = 0;
  for (int word = 0; word < 60; ++word) {
    const int count = letters(random);
    for (int letter = 0; letter < count; ++letter) {
      for (int element = 0; element < 3; ++element) {
        t.AddTone((element == 1 ? 180 : 60) * jitter(random));
        if (element < 2) t.AddGap(60 * jitter(random));
      }
      const bool wordEnds = letter + 1 == count;
      const double gap = (wordEnds ? (word % 4 == 3 ? 1500 : 320) : 200) * jitter(random);
      if (word >= 6 && gap < 1000) {
        ++judged;
        if ((gap > t.model().WordBoundary()) != wordEnds) ++wrong;
      }
      t.AddGap(gap);
    }
  }
  EXPECT_GT(judged, 150);
  EXPECT_EQ(wrong, 0);
}

// The same kind of operator, but the tracker first takes a pause for a
// word gap: the word gaps it then hears fall under its boundary, and it
// must come down to them rather than run every word together.
TEST(TimingTracker, ComesDownToWordGapsShorterThanFirstThought) {
  TimingTracker t;
  t.Seed({60, 180, 60, 180, 60}, {60, 320, 60, 900}, 1000);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(0.92, 1.08);
  int wrong = 0, judged = 0;
  for (int word = 0; word < 40; ++word) {
    for (int letter = 0; letter < 3; ++letter) {
      for (int element = 0; element < 3; ++element) {
        t.AddTone((element == 1 ? 180 : 60) * jitter(random));
        if (element < 2) t.AddGap(60 * jitter(random));
      }
      const bool wordEnds = letter == 2;
      const double gap = (wordEnds ? 470 : 320) * jitter(random);
      if (word >= 25) {
        ++judged;
        if ((gap > t.model().WordBoundary()) != wordEnds) ++wrong;
      }
      t.AddGap(gap);
    }
  }
  EXPECT_EQ(judged, 45);
  EXPECT_EQ(wrong, 0) << t.model().letterGap << " " << t.model().wordGap;
}

// Evidence for a keying given as (on, steps) pairs: +level per step on,
// -level off, with Gaussian noise.
std::vector<float> Evidence(const std::vector<std::pair<bool, int>>& keying, double level, double noise,
                            unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0, 1);
  std::vector<float> e;
  for (auto [on, steps] : keying) {
    for (int i = 0; i < steps; ++i) e.push_back(static_cast<float>((on ? level : -level) + noise * gauss(random)));
  }
  return e;
}

// Whether `runs` has the same runs as `truth` with every edge within a step.
bool Near(const std::vector<StepRun>& runs, const std::vector<std::pair<bool, int>>& truth) {
  if (runs.size() != truth.size()) return false;
  int at = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].on != truth[i].first || std::abs(static_cast<int>(runs[i].start) - at) > 1) return false;
    at += truth[i].second;
  }
  return true;
}

std::string Shape(const std::vector<StepRun>& runs) {
  std::string out;
  for (const StepRun& r : runs) out += (r.on ? "+" : "-") + std::to_string(r.length) + " ";
  return out;
}

TEST(SegmentWindow, WeighsWholeRunsAgainstTheirTiming) {
  TimingModel m;  // in steps: dot 5, dash 15, gaps 5, 15, 35
  m.dot = 5;
  m.dash = 15;
  m.elementGap = 5;
  m.letterGap = 15;
  m.wordGap = 35;
  struct Case {
    std::string name;
    std::vector<float> evidence;
    std::string runs;
  };
  std::vector<Case> cases;
  // A-N: .- / -.
  cases.push_back({"clean", Evidence({{false, 10}, {true, 5}, {false, 5}, {true, 15}, {false, 15}, {true, 15},
                                      {false, 5}, {true, 5}, {false, 20}}, 2, 0, 1),
                   "-10 +5 -5 +15 -15 +15 -5 +5 -20 "});
  // A dip of two steps inside a dash is no gap: a dash is far likelier
  // than two dots a fifth of a dot apart.
  std::vector<float> dip = Evidence({{false, 10}, {true, 15}, {false, 10}}, 2, 0, 1);
  dip[16] = dip[17] = -2;
  cases.push_back({"dip inside a dash", dip, "-10 +15 -10 "});
  // A one-step burst in a gap is no dot.
  std::vector<float> burst = Evidence({{false, 10}, {true, 5}, {false, 15}, {true, 5}, {false, 10}}, 2, 0, 1);
  burst[22] = 3;
  cases.push_back({"burst in a gap", burst, "-10 +5 -15 +5 -10 "});
  for (const Case& c : cases) EXPECT_EQ(Shape(SegmentWindow(c.evidence, m, WindowStart::kFree)), c.runs) << c.name;
  // Noisy evidence, a step at a time barely above the noise: the timing
  // carries most windows where thresholding each step would not.
  const std::vector<std::pair<bool, int>> keying = {{false, 10}, {true, 15}, {false, 5}, {true, 5},
                                                    {false, 15}, {true, 5}, {false, 10}};
  int exact = 0;
  int thresholdExact = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    const std::vector<float> e = Evidence(keying, 1.0, 1.0, seed);
    exact += Near(SegmentWindow(e, m, WindowStart::kFree), keying) ? 1 : 0;
    std::vector<StepRun> thresholded;
    for (std::size_t j = 0; j < e.size(); ++j) {
      const bool on = e[j] > 0;
      if (thresholded.empty() || thresholded.back().on != on) thresholded.push_back({on, j, 0});
      ++thresholded.back().length;
    }
    thresholdExact += Near(thresholded, keying) ? 1 : 0;
  }
  EXPECT_GE(exact, 30);
  EXPECT_LE(thresholdExact, 5);
}

TEST(SegmentWindow, StartsAsTheLastCommitLeftIt) {
  TimingModel m;
  m.dot = 5;
  m.dash = 15;
  m.elementGap = 5;
  m.letterGap = 15;
  m.wordGap = 35;
  // Evidence that begins with a tone; a window that must begin with a gap
  // (the last committed run was a tone) reads a short gap first.
  const std::vector<float> e = Evidence({{true, 5}, {false, 5}, {true, 5}, {false, 20}}, 2, 0, 1);
  EXPECT_EQ(Shape(SegmentWindow(e, m, WindowStart::kFree)), "+5 -5 +5 -20 ");
  const std::vector<StepRun> gapFirst = SegmentWindow(e, m, WindowStart::kGap);
  ASSERT_FALSE(gapFirst.empty());
  EXPECT_FALSE(gapFirst.front().on);
}

}  // namespace
}  // namespace tolvane::robust
