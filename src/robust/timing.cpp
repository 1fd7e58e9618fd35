#include "robust/timing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "robust/lengths.h"

namespace tolvane::robust {
namespace {

const double kLn7 = std::log(7.0);

const double kLn3 = std::log(3.0);

// Letter gaps this many times longer or shorter than the tracker's are
// another spacing, not the same one drifting.
constexpr double kOtherSpacing = 1.6;

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

void TimingTracker::Prime(const TimingModel& model) {
  *this = TimingTracker();
  model_ = model;
  // Four dots and four dashes, as many gaps inside letters and between
  // them: enough that the speed counts as known, few enough that the
  // signal's own lengths soon replace them. The word gaps are followed
  // from the model's, not fitted afresh: beside so few kept gaps a fit
  // takes the pauses between exchanges for them.
  for (int i = 0; i < 4; ++i) {
    AddTone(model.dot);
    AddGap(model.elementGap);
    AddTone(model.dash);
    AddGap(model.letterGap);
  }
  model_.letterGapSeen = true;
  model_.wordGap = std::max(model.wordGap, 1.5 * model_.letterGap);
  KnowSpacing();
  seeded_ = true;
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

}  // namespace tolvane::robust
