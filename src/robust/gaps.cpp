// The timing model's gaps: inside characters, between letters and between
// words, fitted to the kept gaps and followed one at a time.
#include <algorithm>
#include <cmath>

#include "robust/lengths.h"
#include "robust/timing.h"

namespace tolvane::robust {
namespace {

// Letter and word gaps seen before the word gaps are followed one by one.
constexpr int kBetweenToFollow = 12;
// A gap within this (in logs) above the letter-word boundary is no sure
// word gap: it does not pull the word gaps toward it.
constexpr double kUnsure = 0.1;
// Letter gaps vary by a fifth or so; a gap this many letter gaps long is
// none, whatever side of the boundary it falls.
constexpr double kBeyondLetters = 1.3;
// How far each such gap moves the word gaps' length toward it (in logs).
constexpr double kShorterWords = 0.25;
// Letters in a row without a word gap among them, beyond any usual word.
constexpr int kLettersWithoutWord = 10;

}  // namespace

// The first long gaps, too few to cluster. Several alike are letter gaps,
// however long (Farnsworth spacing stretches them): at the standard spacing
// a word gap comes with letter gaps of three dots beside it. Two groups
// apart: the shorter are letters, the longer words. True when that guess
// took alike gaps for stretched letter gaps: single-letter words (A B C)
// look the same until a word of two letters shows a letter gap.
bool TimingTracker::FewLongGaps(std::vector<double> longGaps, TimingModel* m) {
  const auto [lo, hi] = std::minmax_element(longGaps.begin(), longGaps.end());
  const bool alike = *hi < 1.7 * *lo;
  // One gap alone is a letter gap only where no word gap is that long; a
  // single-letter word ("A B") has one long gap as well.
  // Until a second says more, the boundary sits between a stretched letter
  // gap of about five dots and a word gap of seven.
  if (alike && longGaps.size() == 1 && *lo < 12 * m->dot) {
    m->letterGap = std::max(3 * m->dot, 2 * m->elementGap);
    m->wordGap = 10 * m->dot;
    return false;
  }
  const double split = alike ? *hi * 2 : std::sqrt(*lo * *hi);
  std::vector<double> letters, words;
  for (double g : longGaps) (g < split ? letters : words).push_back(g);
  m->letterGapSeen = true;
  m->letterGap = Quantile(&letters, 0.5);
  m->wordGap = words.empty() ? 7.0 / 3 * m->letterGap : Quantile(&words, 0.0);
  return words.empty() && m->ShortestLetterGap() < m->letterGap;
}

void TimingTracker::KnowSpacing() {
  // The word gaps are followed from the model's at once: seen already.
  betweenSeen_ = kBetweenToFollow;
  wordLog_ = std::log(model_.wordGap);
}

void TimingTracker::FollowSpacing(double length) {
  if (!model_.letterGapSeen) return;
  // Letter gaps are common enough for the kept gaps' own fit; word gaps,
  // a few among them, are followed one at a time once a dozen letter and
  // word gaps have been seen.
  const double letter = std::log(model_.letterGap);
  if (length >= 1.8 * model_.elementGap) ++betweenSeen_;
  if (betweenSeen_ < kBetweenToFollow) {
    wordLog_ = std::log(model_.wordGap);
    return;
  }
  const double g = std::log(length);
  const double middle = (letter + wordLog_) / 2;
  if (length >= 1.8 * model_.elementGap && g <= wordLog_ + std::log(1.5)) {
    lettersSinceWord_ = g > middle + kUnsure ? 0 : lettersSinceWord_ + 1;
  }
  // Gaps inside characters and pauses between exchanges say nothing here,
  // nor one close to the boundary, which would pull it across.
  if (length >= 1.8 * model_.elementGap && g <= wordLog_ + std::log(1.5) && g > middle + kUnsure) {
    wordLog_ += 0.25 * (g - wordLog_);
  } else if (lettersSinceWord_ >= kLettersWithoutWord && g > letter + std::log(kBeyondLetters) &&
             g <= middle + kUnsure) {
    // No sure word gap for ten letters, and a gap well beyond the letter
    // gaps that the boundary still calls one: the word gaps are shorter
    // than thought (an operator spacing words at one and a half letters,
    // seen first beside a pause). While words keep coming, a stretched
    // letter gap moves nothing.
    wordLog_ += kShorterWords * (g - wordLog_);
  }
  // Operators leave between one and a half and five letter gaps between
  // words: beyond those, pauses would push the boundary up, or letter gaps
  // taken for words pull it down.
  wordLog_ = std::clamp(wordLog_, letter + std::log(1.5), letter + std::log(5.0));
  model_.wordGap = std::exp(wordLog_);
}

bool TimingTracker::FitGapsTo(const std::vector<double>& x, TimingModel* model, bool firstReading) {
  bool stretchedGuess = false;
  TimingModel& m = *model;
  // Gaps inside characters last about a dot, lighter or heavier as the fist
  // weights its marks; the marks anchor them, so a model whose gaps are
  // off by a factor still finds them.
  // Light dots come with long gaps: a weighting of 30 % keys gaps of nearly
  // three dots inside characters. The most common short gaps are the
  // element gaps, wherever they fall against the dot.
  const double lnDot = std::log(m.dot);
  double upper = lnDot + std::log(1.9);
  std::vector<double> usable;
  for (double v : x) {
    if (v > lnDot - std::log(kHeavyGap)) usable.push_back(v);
  }
  if (usable.size() >= 5) {
    // Only with letter gaps beyond them: gaps all alike are a run of
    // one-tone letters (EEEE), whose letter gaps are no element gaps.
    const double shortest = std::min(Quantile(&usable, 0.2), lnDot + std::log(3.0));
    const double longest = Quantile(&usable, 1.0);
    if (longest > shortest + std::log(1.6)) upper = std::max(upper, shortest + std::log(1.6));
  }
  std::vector<double> inside;
  for (double v : x) {
    if (v > lnDot - std::log(kHeavyGap) && v < upper) inside.push_back(v);
  }
  if (inside.size() >= 3) {
    m.elementGap = std::exp(MiddleMean(inside));
    m.gapSpread = std::clamp(Spread(inside, std::log(m.elementGap)), 0.08, 0.35);
  }
  // Letter and word gaps. Letter gaps are the more common, so a single
  // group is letters (Farnsworth's included); the word gaps' length is
  // taken from the short end of their group, so pauses between exchanges
  // do not push the boundary up.
  const double lower = std::log(1.8 * m.elementGap);
  std::vector<double> between;
  for (double v : x) {
    if (v >= lower) between.push_back(v);
  }
  if (between.size() >= 3) {
    std::vector<double> sorted = between;
    double low = Quantile(&sorted, 0.1);
    double high = Quantile(&sorted, 0.9);
    std::vector<double> letters, words;
    if (high - low > std::log(1.7) && SplitInTwo(between, &low, &high)) {
      for (double v : between) (v > (low + high) / 2 ? words : letters).push_back(v);
      // Groups four times apart are letters-and-words against pauses: the
      // lower group is split again if it holds both.
      if (high - low > std::log(4.0) && letters.size() >= 4) {
        const std::vector<double> shorter = letters;
        std::vector<double> sortedLower = shorter;
        double a = Quantile(&sortedLower, 0.1);
        double b = Quantile(&sortedLower, 0.9);
        if (b - a > std::log(1.6) && SplitInTwo(shorter, &a, &b)) {
          letters.clear();
          words.clear();
          for (double v : shorter) (v > (a + b) / 2 ? words : letters).push_back(v);
        }
      }
    } else if (!firstReading && m.letterGapSeen && m.letterGap <= 4 * std::max(m.dot, m.elementGap) &&
               std::exp(Quantile(&sorted, 0.5)) >= m.WordBoundary()) {
      // One group as long as the word gaps already known, beside letter
      // gaps of the usual length: words of one letter (I I I), not letters
      // stretched.
      words = between;
    } else {
      letters = between;
    }
    stretchedGuess = words.empty();
    m.letterGapSeen = true;
    if (!letters.empty()) m.letterGap = std::exp(Quantile(&letters, 0.5));
    m.wordGap = words.size() >= 2 ? std::exp(Quantile(&words, 0.25)) : std::max(m.wordGap, 7.0 / 3 * m.letterGap);
  } else if (firstReading && !between.empty()) {
    std::vector<double> lengths;
    lengths.reserve(between.size());
    for (double v : between) lengths.push_back(std::exp(v));
    stretchedGuess = FewLongGaps(lengths, &m);
  }
  m.letterGap = std::max(m.letterGap, 1.5 * m.elementGap);
  m.wordGap = std::max(m.wordGap, 1.5 * m.letterGap);
  return stretchedGuess && m.ShortestLetterGap() < m.letterGap;
}

}  // namespace tolvane::robust
