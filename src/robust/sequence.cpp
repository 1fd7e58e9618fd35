// The sequence search: the most likely keying of a window, whole runs
// weighed by the evidence they cover and by how well their lengths fit the
// timing model.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "robust/timing.h"

namespace tolvane::robust {

std::vector<StepRun> SegmentWindow(const std::vector<float>& evidence, const TimingModel& m, WindowStart start,
                                   double* totalScore) {
  const std::size_t t = evidence.size();
  std::vector<StepRun> runs;
  if (t == 0) return runs;
  std::vector<double> gain(t + 1, 0);
  for (std::size_t j = 0; j < t; ++j) gain[j + 1] = gain[j] + evidence[j];

  const double lnDot = std::log(m.dot);
  const double lnDash = std::log(m.dash);
  const double lnElement = std::log(m.elementGap);
  const double lnLetter = std::log(m.letterGap);
  const double markVar = 2 * m.markSpread * m.markSpread;
  const double gapVar = 2 * m.gapSpread * m.gapSpread;
  // Letter gaps vary more than the gaps inside letters.
  const double letterSpread = std::max(0.18, 1.5 * m.gapSpread);
  const double letterVar = 2 * letterSpread * letterSpread;
  constexpr double kLongPenalty = 1.0;
  // Tones longer than any dash cost this, whatever their length: a speed
  // the model has not caught up with yet, or a carrier.
  constexpr double kLongTonePenalty = 4.0;
  auto tonePrior = [&](double d) {
    const double x = std::log(d);
    return -std::min((x - lnDot) * (x - lnDot), (x - lnDash) * (x - lnDash)) / markVar;
  };
  auto gapPrior = [&](double d) {
    const double x = std::log(d);
    // A gap inside a character, one between letters, or anything longer
    // than a letter gap (word gaps, pauses) at a flat price: gaps between a
    // dot's and a letter gap's length are the unlikely ones.
    double p = std::max(-(x - lnElement) * (x - lnElement) / gapVar, -(x - lnLetter) * (x - lnLetter) / letterVar);
    if (x >= lnLetter + 2 * letterSpread) p = std::max(p, -kLongPenalty);
    return p;
  };
  const auto shortest = static_cast<std::size_t>(std::max(1.0, std::floor(0.3 * std::min(m.dot, m.elementGap))));
  const auto longestTone = static_cast<std::size_t>(std::ceil(1.7 * m.dash));
  // Gaps past here all score the flat long-gap prior; shorter ones are
  // weighed one by one.
  const auto longGap = static_cast<std::size_t>(std::ceil(m.letterGap * std::exp(2 * letterSpread)) + 1);

  // The priors by length, once per window rather than once per trial.
  std::vector<double> toneTable(longestTone + 1, 0);
  for (std::size_t d = 1; d <= longestTone; ++d) toneTable[d] = tonePrior(static_cast<double>(d));
  std::vector<double> gapTable(longGap + 1, 0);
  for (std::size_t d = 1; d <= longGap; ++d) gapTable[d] = gapPrior(static_cast<double>(d));
  const double none = -std::numeric_limits<double>::infinity();
  std::vector<double> best[2] = {std::vector<double>(t + 1, none), std::vector<double>(t + 1, none)};
  std::vector<std::uint32_t> from[2] = {std::vector<std::uint32_t>(t + 1, 0), std::vector<std::uint32_t>(t + 1, 0)};
  // best[1][j]: the best keying of steps [0, j) whose last run is a tone
  // ending at j; best[0][j] likewise for a gap.
  switch (start) {
    case WindowStart::kFree:
      best[0][0] = 0;
      best[1][0] = 0;
      break;
    case WindowStart::kTone:  // a tone begins at 0: as if a gap ended there
      best[0][0] = 0;
      break;
    case WindowStart::kGap:
    case WindowStart::kLongGap:
      best[1][0] = 0;
      break;
  }
  // A gap from the very start has no expected length when the window
  // starts free or inside a long gap.
  const bool freeFirstGap = start == WindowStart::kFree || start == WindowStart::kLongGap;
  double longBest = none;
  std::uint32_t longFrom = 0;
  std::size_t longScan = 0;
  double toneBest = none;  // best of best[0][i] - gain[i] over i <= j - longestTone - 1
  std::uint32_t toneFrom = 0;
  std::size_t toneScan = 0;
  for (std::size_t j = 1; j <= t; ++j) {
    for (std::size_t d = shortest; d <= std::min(longestTone, j); ++d) {
      const std::size_t i = j - d;
      if (best[0][i] == none) continue;
      const double score = best[0][i] + (gain[j] - gain[i]) + toneTable[d];
      if (score > best[1][j]) {
        best[1][j] = score;
        from[1][j] = static_cast<std::uint32_t>(i);
      }
    }
    while (toneScan + longestTone < j) {
      if (best[0][toneScan] != none && best[0][toneScan] - gain[toneScan] > toneBest) {
        toneBest = best[0][toneScan] - gain[toneScan];
        toneFrom = static_cast<std::uint32_t>(toneScan);
      }
      ++toneScan;
    }
    if (toneBest != none && toneBest + gain[j] - kLongTonePenalty > best[1][j]) {
      best[1][j] = toneBest + gain[j] - kLongTonePenalty;
      from[1][j] = toneFrom;
    }
    for (std::size_t d = shortest; d <= std::min(longGap, j); ++d) {
      const std::size_t i = j - d;
      if (best[1][i] == none) continue;
      const double score = best[1][i] + (i == 0 && freeFirstGap ? 0 : gapTable[d]);
      if (score > best[0][j]) {
        best[0][j] = score;
        from[0][j] = static_cast<std::uint32_t>(i);
      }
    }
    // Gaps longer than `longGap`: any length, one flat prior, kept as a
    // running maximum over a window that only moves forward.
    while (longScan + longGap < j) {
      if (best[1][longScan] != none) {
        const double score = best[1][longScan] - (longScan == 0 && freeFirstGap ? 0 : kLongPenalty);
        if (score > longBest) {
          longBest = score;
          longFrom = static_cast<std::uint32_t>(longScan);
        }
      }
      ++longScan;
    }
    if (longBest > best[0][j]) {
      best[0][j] = longBest;
      from[0][j] = longFrom;
    }
  }
  // The window may end anywhere in a tone or a gap: the last run is scored
  // without its length, from wherever it began.
  int state = best[1][t] > best[0][t] ? 1 : 0;
  double endScore = std::max(best[0][t], best[1][t]);
  std::size_t lastFrom = from[state][t];
  for (int s = 0; s < 2; ++s) {
    for (std::size_t i = 0; i < t; ++i) {
      if (best[1 - s][i] == none) continue;
      const double score = best[1 - s][i] + (s == 1 ? gain[t] - gain[i] : 0);
      if (score > endScore) {
        endScore = score;
        state = s;
        lastFrom = i;
      }
    }
  }
  if (totalScore != nullptr) *totalScore = endScore;
  std::size_t j = t;
  std::size_t i = lastFrom;
  for (;;) {
    if (j > i) {
      if (!runs.empty() && runs.back().on == (state == 1)) {
        runs.back().start = i;
        runs.back().length += j - i;
      } else {
        runs.push_back({state == 1, i, j - i});
      }
    }
    if (i == 0) break;
    j = i;
    state = 1 - state;
    i = from[state][j];
  }
  std::reverse(runs.begin(), runs.end());
  return runs;
}

}  // namespace tolvane::robust
