#include "robust/timing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolvane::robust {
namespace {

const double kLn7 = std::log(7.0);
// A heavy fist (a weighting of 70 % and more) keys gaps inside characters
// down to this fraction of its dots; shorter ones are a tone broken up.
constexpr double kHeavyGap = 3.5;

const double kLn3 = std::log(3.0);

// The q-quantile of `values` (reordered).
double Quantile(std::vector<double>* values, double q) {
  if (values->empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(values->size() - 1));
  std::nth_element(values->begin(), values->begin() + static_cast<std::ptrdiff_t>(k), values->end());
  return (*values)[k];
}

// Letter gaps this many times longer or shorter than the tracker's are
// another spacing, not the same one drifting.
constexpr double kOtherSpacing = 1.6;
// Letter and word gaps seen before the word gaps are followed one by one.
constexpr int kBetweenToFollow = 12;
// A gap within this (in logs) of the letter-word boundary moves nothing.
constexpr double kUnsure = 0.1;

// Two groups of log lengths (one-dimensional k-means from the given
// centres); false when a group empties.
bool SplitInTwo(const std::vector<double>& x, double* low, double* high) {
  for (int round = 0; round < 20; ++round) {
    const double middle = (*low + *high) / 2;
    double sums[2] = {0, 0};
    double counts[2] = {0, 0};
    for (double v : x) {
      const int c = v > middle ? 1 : 0;
      sums[c] += v;
      counts[c] += 1;
    }
    if (counts[0] == 0 || counts[1] == 0) return false;
    const double nextLow = sums[0] / counts[0];
    const double nextHigh = sums[1] / counts[1];
    if (nextLow == *low && nextHigh == *high) break;
    *low = nextLow;
    *high = nextHigh;
  }
  return true;
}

// A robust spread of `x` about `centre`: 1.48 times the median absolute
// deviation.
double Spread(std::vector<double> x, double centre) {
  if (x.size() < 3) return 0;
  for (double& v : x) v = std::fabs(v - centre);
  return 1.4826 * Quantile(&x, 0.5);
}

std::vector<double> Logs(const std::vector<double>& lengths, std::size_t newest) {
  const std::size_t from = lengths.size() > newest ? lengths.size() - newest : 0;
  std::vector<double> x;
  for (std::size_t i = from; i < lengths.size(); ++i) x.push_back(std::log(lengths[i]));
  return x;
}

// The first long gaps, too few to cluster. Several alike are letter gaps,
// however long (Farnsworth spacing stretches them): at the standard spacing
// a word gap comes with letter gaps of three dots beside it. Two groups
// apart: the shorter are letters, the longer words. True when that guess
// took alike gaps for stretched letter gaps: single-letter words (A B C)
// look the same until a word of two letters shows a letter gap.
bool FewLongGaps(std::vector<double> longGaps, TimingModel* m) {
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

// The median, refined by the mean of the lengths near it: robust, yet
// lengths measured on a coarse grid average out between its points instead
// of sticking to one. Logs, so "near" is within a quarter either way.
double MiddleMean(std::vector<double> x) {
  const double median = Quantile(&x, 0.5);
  double sum = 0, n = 0;
  for (double v : x) {
    if (std::fabs(v - median) < 0.22) {
      sum += v;
      n += 1;
    }
  }
  return n > 0 ? sum / n : median;
}

// Where every tone is alike, they are dots or dashes by the gaps between
// them: gaps like the tones are element gaps between dots or letter gaps
// between dashes, and the next longer ones three times as long (letter
// gaps after dots) or seven thirds (word gaps after dashes). Lengths read
// long or short by a few milliseconds cancel out of the ratio.
double AlikeTonesDot(std::vector<double> tones, const std::vector<double>& gaps, double estimate, double byTones,
                     bool* ambiguous) {
  *ambiguous = false;
  if (tones.empty()) return estimate;
  const auto [lo, hi] = std::minmax_element(tones.begin(), tones.end());
  if (*hi > 1.6 * *lo) return estimate;
  *ambiguous = true;
  const double tone = Quantile(&tones, 0.5);
  double alike = 0, alikeCount = 0;
  double shortestLong = std::numeric_limits<double>::infinity();
  for (double g : gaps) {
    if (g > tone / kHeavyGap && g < 1.6 * tone) {
      alike += g;
      alikeCount += 1;
    }
    if (g > 2 * tone) shortestLong = std::min(shortestLong, g);
  }
  if (alikeCount == 0 && std::isfinite(shortestLong)) {
    // No gap as short as a tone: one-tone letters, E E E or T T T, which
    // their gaps cannot tell apart (letter gaps after dots, word gaps after
    // dashes); the usual speeds decide.
    *ambiguous = false;
    return byTones;
  }
  if (alikeCount == 0 || !std::isfinite(shortestLong)) return estimate;
  std::vector<double> longer;
  for (double g : gaps) {
    if (g >= shortestLong && g < 1.5 * shortestLong) longer.push_back(g);
  }
  *ambiguous = false;
  const double unit = (tone + alike / alikeCount) / 2;
  // Three against seven thirds; gaps read a step short pull the ratio down.
  return Quantile(&longer, 0.5) / unit > 2.5 ? tone : tone / 3;
}

}  // namespace

double TimingModel::DashBoundary() const { return std::sqrt(dot * dash); }
double TimingModel::ShortestLetterGap() const {
  const double unit = std::max(dot, elementGap);
  return letterGap > 4 * unit ? 3 * unit : letterGap;
}
double TimingModel::LetterBoundary() const { return std::sqrt(elementGap * ShortestLetterGap()); }
double TimingModel::WordBoundary() const { return std::sqrt(letterGap * wordGap); }

double EstimateDot(const std::vector<double>& tones, double unitsPerSecond, const std::vector<double>& gaps) {
  if (tones.empty()) return 0.06 * unitsPerSecond;
  // Candidates from 120 WPM (10 ms) to 3 WPM (400 ms).
  constexpr int kSteps = 200;
  const double lo = std::log(0.010 * unitsPerSecond);
  const double hi = std::log(0.400 * unitsPerSecond);
  double best = 0.06 * unitsPerSecond;
  double bestCost = std::numeric_limits<double>::infinity();
  for (int s = 0; s <= kSteps; ++s) {
    const double dot = std::exp(lo + (hi - lo) * s / kSteps);
    const double wpm = 1.2 * unitsPerSecond / dot;
    double cost = 0;
    for (double d : tones) {
      const double x = std::log(d / dot);
      cost += std::min({std::fabs(x), std::fabs(x - kLn3), 0.8});
    }
    cost /= static_cast<double>(tones.size());
    // Gaps of one, three or seven dots, more loosely: where every tone is
    // alike, dots with a letter gap after them (H, 5) are told from dashes
    // (TTTT), whose letter gaps would match the tones and whose word gaps
    // would be nine of their dots.
    if (!gaps.empty()) {
      double gapCost = 0;
      for (double g : gaps) {
        const double x = std::log(g / dot);
        gapCost += std::min({std::fabs(x), std::fabs(x - kLn3), std::fabs(x - kLn7), 0.3});
      }
      cost += gapCost / static_cast<double>(gaps.size());
    }
    // The preference only tips the balance where the fit is the same, as
    // when every tone is alike and could be dots or dashes.
    cost += 0.01 * std::pow(std::log(wpm / 20) / std::log(2.5), 2);
    if (cost < bestCost) {
      bestCost = cost;
      best = dot;
    }
  }
  // Refine: the median of the dots and the dashes' thirds.
  std::vector<double> units;
  units.reserve(tones.size());
  for (double d : tones) units.push_back(d > std::sqrt(3.0) * best ? d / 3 : d);
  return Quantile(&units, 0.5);
}

void TimingTracker::Seed(const std::vector<double>& tones, const std::vector<double>& gaps, double rate) {
  // The committed lengths and the window's first reading together; only
  // the committed ones are kept.
  std::vector<double> allTones = tones_;
  allTones.insert(allTones.end(), tones.begin(), tones.end());
  std::vector<double> allGaps = gaps_;
  allGaps.insert(allGaps.end(), gaps.begin(), gaps.end());
  const double dot =
      AlikeTonesDot(allTones, allGaps, EstimateDot(allTones, rate, allGaps), EstimateDot(allTones, rate), &ambiguous_);
  const TimingModel before = model_;
  model_ = TimingModel{};
  model_.letterGapSeen = false;
  model_.dot = dot;
  model_.dash = 3 * dot;
  model_.elementGap = dot;
  model_.letterGap = 3 * dot;
  model_.wordGap = 7 * dot;
  const std::vector<double> keptTones = tones_;
  const std::vector<double> keptGaps = gaps_;
  tones_ = allTones;
  FitTones();
  // A first reading's gaps are the least reliable of its lengths: used only
  // where there are enough of them, else three and seven dots it is.
  GapsFromDot();
  if (gaps_.size() + gaps.size() >= 8) {
    gaps_.insert(gaps_.end(), gaps.begin(), gaps.end());
    if (FitGapsTo(Logs(gaps_, kKeep), &model_, true)) ambiguous_ = true;
  } else {
    std::vector<double> real;
    for (const std::vector<double>* from : {&keptGaps, &gaps}) {
      for (double g : *from) {
        if (g > model_.dot / kHeavyGap) real.push_back(g);
      }
    }
    // Light dots (a weighting of 30 %) keep gaps of two or three dots inside
    // characters, heavy ones (70 %) of less than half a dot: the shortest
    // gaps, several alike, where dots and dashes both show.
    const auto [shortTone, longTone] = std::minmax_element(allTones.begin(), allTones.end());
    if (!real.empty() && *longTone > 2 * *shortTone) {
      std::sort(real.begin(), real.end());
      std::vector<double> alike;
      for (double g : real) {
        if (g < 1.3 * real.front()) alike.push_back(g);
      }
      const bool weighted = real.front() > 1.6 * model_.dot || real.front() < 0.7 * model_.dot;
      // Letter gaps beyond them too: gaps all alike are a run of one-tone
      // letters (EEEE), not weighted element gaps.
      const bool letters = real.back() > 1.6 * real.front();
      if (alike.size() >= 2 && weighted && letters && real.front() < 3 * model_.dot) {
        model_.elementGap = Quantile(&alike, 0.5);
      }
    }
    std::vector<double> longGaps;
    for (double g : real) {
      if (g > std::max(2 * model_.dot, 1.6 * model_.elementGap)) longGaps.push_back(g);
    }
    // A window without any keeps what the last one found.
    if (longGaps.empty() && seeded_) {
      model_.letterGap = before.letterGap;
      model_.wordGap = before.wordGap;
      model_.letterGapSeen = before.letterGapSeen;
    } else if (!longGaps.empty()) {
      if (FewLongGaps(longGaps, &model_)) ambiguous_ = true;
    }
  }
  tones_ = keptTones;
  gaps_ = keptGaps;
  seeded_ = true;
}

TimingModel TimingTracker::Local(const std::vector<double>& tonesAhead, const std::vector<double>& gapsAhead) const {
  TimingModel local = model_;
  std::vector<double> tones = Logs(tones_, 4);
  for (double t : tonesAhead) tones.push_back(std::log(t));
  std::vector<double> gaps = Logs(gaps_, 8);
  for (double g : gapsAhead) gaps.push_back(std::log(g));
  FitTonesTo(tones, true, &local);
  FitGapsTo(gaps, &local);
  // The few word gaps in so short a stretch say little: the tracker's,
  // scaled to the speed here, are the better guess; unless the letter gaps
  // here are another spacing altogether (stretched letters giving way to
  // the standard ones).
  const double scale = std::sqrt(local.dot * local.elementGap / (model_.dot * model_.elementGap));
  if (std::fabs(std::log(local.letterGap / (model_.letterGap * scale))) < std::log(kOtherSpacing)) {
    local.wordGap = std::max(model_.wordGap * scale, 1.5 * local.letterGap);
  }
  return local;
}

void TimingTracker::GapsFromDot() {
  model_.elementGap = model_.dot;
  model_.letterGap = 3 * model_.dot;
  model_.wordGap = 7 * model_.dot;
}

void TimingTracker::AddTone(double length) {
  if (length <= 0) return;
  tones_.push_back(length);
  if (tones_.size() > kKeep) tones_.erase(tones_.begin());
  ++toneCount_;
  FitTones();
}

void TimingTracker::AddGap(double length) {
  if (length <= 0) return;
  gaps_.push_back(length);
  if (gaps_.size() > kKeep) gaps_.erase(gaps_.begin());
  FitGaps();
  FollowSpacing(length);
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
  // Gaps inside characters and pauses between exchanges say nothing here,
  // nor one close to the boundary, which would pull it across.
  if (length >= 1.8 * model_.elementGap && g <= wordLog_ + std::log(1.5) && g > (letter + wordLog_) / 2 + kUnsure) {
    wordLog_ += 0.25 * (g - wordLog_);
  }
  // Operators leave between one and a half and five letter gaps between
  // words: beyond those, pauses would push the boundary up, or letter gaps
  // taken for words pull it down.
  wordLog_ = std::clamp(wordLog_, letter + std::log(1.5), letter + std::log(5.0));
  model_.wordGap = std::exp(wordLog_);
}

void TimingTracker::FitTones() { FitTonesTo(Logs(tones_, 24), false, &model_); }

void TimingTracker::FitTonesTo(const std::vector<double>& x, bool keepRatio, TimingModel* model) {
  if (x.size() < 2) return;
  TimingModel& m = *model;
  // The dot length and dash ratio that explain the recent tones best, each
  // tone's cost clipped so that fragments and merged tones cannot pull the
  // fit; near the last model, so one odd character does not move it far.
  const double lastDot = std::log(m.dot);
  const double lastRatio = std::log(std::clamp(m.dash / m.dot, 2.4, 4.8));
  const double clip = 0.45 * 0.45;
  double bestCost = std::numeric_limits<double>::infinity();
  double bestDot = lastDot;
  double bestRatio = lastRatio;
  for (double ratio : {2.4, 2.7, 3.0, 3.4, 3.8, 4.3, 4.8}) {
    // An operator's dash ratio is his own: a local fit keeps it and finds
    // only the speed.
    const double lr = keepRatio ? lastRatio : std::log(ratio);
    for (int k = -40; k <= 40; ++k) {
      const double d = lastDot + 0.03 * k;
      double cost = 0;
      for (double v : x) cost += std::min({(v - d) * (v - d), (v - d - lr) * (v - d - lr), clip});
      cost = cost / static_cast<double>(x.size()) + 0.05 * (d - lastDot) * (d - lastDot) +
             0.01 * (lr - lastRatio) * (lr - lastRatio) + 0.004 * std::pow(lr - kLn3, 2) / 0.01;
      if (cost < bestCost) {
        bestCost = cost;
        bestDot = d;
        bestRatio = lr;
      }
    }
  }
  // The groups' middles, once the fit has said which is which.
  const double boundary = bestDot + bestRatio / 2;
  std::vector<double> dots, dashes;
  for (double v : x) {
    if (std::fabs(v - bestDot) < 0.45) dots.push_back(v);
    if (std::fabs(v - bestDot - bestRatio) < 0.45) dashes.push_back(v);
  }
  m.dot = std::exp(dots.size() >= 2 ? MiddleMean(dots) : bestDot);
  m.dash = std::exp(dashes.size() >= 2 ? MiddleMean(dashes) : bestDot + bestRatio);
  if (m.dash < 2 * m.dot) m.dash = 2 * m.dot;
  std::vector<double> residual;
  for (double v : x) {
    const double r = v > boundary ? v - std::log(m.dash) : v - std::log(m.dot);
    if (std::fabs(r) < 0.45) residual.push_back(r);
  }
  if (residual.size() >= 6) m.markSpread = std::clamp(Spread(residual, 0), 0.08, 0.35);
}

void TimingTracker::FitGaps() { FitGapsTo(Logs(gaps_, kKeep), &model_); }

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
