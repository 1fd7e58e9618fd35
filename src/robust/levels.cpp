#include "robust/levels.h"

#include <algorithm>
#include <cmath>

namespace tolvane::robust {

PowerHistogram::PowerHistogram(double memorySamples)
    : counts_(kBins, 0.0f), growth_(std::exp(1 / std::max(1.0, memorySamples))) {}

void PowerHistogram::Add(double power) {
  const double db = 10 * std::log10(std::max(power, 1e-30));
  const int bin = std::clamp(static_cast<int>((db - kLowestDb) * 2), 0, kBins - 1);
  counts_[static_cast<std::size_t>(bin)] += static_cast<float>(weight_);
  total_ += weight_;
  weight_ *= growth_;
  if (weight_ > 1e20) {
    // Rescale before the weights lose precision.
    for (float& c : counts_) c = static_cast<float>(c / weight_);
    total_ /= weight_;
    weight_ = 1;
  }
}

double PowerHistogram::Quantile(double q) const {
  if (total_ <= 0) return 0;
  double seen = 0;
  for (int b = 0; b < kBins; ++b) {
    seen += counts_[static_cast<std::size_t>(b)];
    if (seen >= q * total_) return std::pow(10.0, (kLowestDb + (b + 0.5) / 2) / 10);
  }
  return std::pow(10.0, (kLowestDb + kBins / 2.0) / 10);
}

void PowerHistogram::Clear() {
  std::fill(counts_.begin(), counts_.end(), 0.0f);
  weight_ = 1;
  total_ = 0;
}

namespace {

constexpr double kSlowChange = 0.15;
// Fading below this (0 steady to 1 Rayleigh) is read as a steady level.
constexpr double kFadingRead = 0.05;
// A step's own level is read over this many steps either side: about a
// dot and a half in all, short of what fading changes.
constexpr int kLocalReach = 3;
// Under fading, the share of the key-down reading that takes a tone's level
// from its own surroundings rather than from its neighbours'.
constexpr double kLocalShare = 0.5;
// Below this key-down power over noise per step, a level read from a few
// steps is mostly noise, and would find tones in it.
constexpr double kLocalLeastSnr = 6;

// Two-sided exponential smoothing with decay `r` per step, of `value`
// where `weight` is set: sums of weighted values and of weights.
void Smooth(const std::vector<double>& value, const std::vector<bool>& weight, double r,
            std::vector<double>* sumValue, std::vector<double>* sumWeight) {
  // The forward sums go straight into the outputs; the backward pass adds
  // to them in place.
  const std::size_t n = value.size();
  sumValue->assign(n, 0);
  sumWeight->assign(n, 0);
  double av = 0, aw = 0;
  for (std::size_t j = 0; j < n; ++j) {
    av = av * r + value[j];
    aw = aw * r + (weight[j] ? 1 : 0);
    (*sumValue)[j] = av;
    (*sumWeight)[j] = aw;
  }
  av = 0;
  aw = 0;
  for (std::size_t j = n; j-- > 0;) {
    (*sumValue)[j] += av;
    (*sumWeight)[j] += aw;
    av = av * r + value[j] * r;
    aw = aw * r + (weight[j] ? r : 0);
  }
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// ln I0(x), for the likelihood of a tone of unknown phase: the series for
// small x, the asymptote beyond.
double LogBesselI0(double x) {
  if (x < 15) {
    double sum = 1, term = 1;
    for (int k = 1; k < 60; ++k) {
      term *= (x / (2 * k)) * (x / (2 * k));
      sum += term;
      if (term < 1e-10 * sum) break;
    }
    return std::log(sum);
  }
  return x - 0.5 * std::log(2 * kPi * x) + std::log1p(1 / (8 * x));
}

// The power about each step itself, less the noise, whatever any reading
// made of it: what a tone there would have, however deep a fade.
std::vector<double> OwnPower(const std::vector<StepObservation>& steps, double noise) {
  const std::size_t n = steps.size();
  std::vector<double> own(n);
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0, w = 0;
    for (int d = -kLocalReach; d <= kLocalReach; ++d) {
      const auto k = static_cast<std::ptrdiff_t>(j) + d;
      if (k < 0 || k >= static_cast<std::ptrdiff_t>(n)) continue;
      const double near = kLocalReach + 1 - std::abs(d);
      sum += near * std::norm(steps[static_cast<std::size_t>(k)].sum);
      w += near;
    }
    own[j] = std::max(sum / w - noise, noise);
  }
  return own;
}

}  // namespace

std::vector<bool> FirstReading(const std::vector<StepObservation>& steps, double noise, std::size_t reach) {
  const std::size_t n = steps.size();
  std::vector<double> p(n);
  for (std::size_t j = 0; j < n; ++j) p[j] = std::norm(steps[j].sum);
  // Averaged over about half a dot (five steps), as a filter matched to
  // the shortest tones would.
  std::vector<double> smooth(n);
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0, w = 0;
    for (std::size_t k = j >= 2 ? j - 2 : 0; k <= std::min(n - 1, j + 2); ++k) {
      const double weight = k == j ? 2.0 : (k + 1 == j || j + 1 == k ? 1.5 : 1.0);
      sum += weight * p[k];
      w += weight;
    }
    smooth[j] = sum / w;
  }
  // Hysteresis between the noise and the loudest steps near each.
  std::vector<bool> down(n, false);
  bool on = false;
  for (std::size_t j = 0; j < n; ++j) {
    double loudest = 0;
    for (std::size_t k = j >= reach ? j - reach : 0; k <= std::min(n - 1, j + reach); ++k) {
      loudest = std::max(loudest, smooth[k]);
    }
    // Fading can take a tone 10 dB or more below its neighbours; one that
    // still stands 10 dB clear of the noise is a tone all the same.
    const double span = loudest - noise;
    if (loudest <= 6 * noise) {
      on = false;
    } else if (on) {
      on = smooth[j] > noise + 0.3 * span || smooth[j] > 6 * noise;
    } else {
      on = smooth[j] > noise + 0.5 * span || smooth[j] > 10 * noise;
    }
    down[j] = on;
  }
  // Runs of one step are glitches: they join their neighbours.
  for (std::size_t j = 1; j + 1 < n; ++j) {
    if (down[j] != down[j - 1] && down[j] != down[j + 1]) down[j] = down[j - 1];
  }
  return down;
}

Levels MeasureLevels(const std::vector<StepObservation>& steps, const std::vector<bool>& down, double noise,
                     double phaseSteps, double floorPower) {
  const std::size_t n = steps.size();
  Levels levels;
  levels.noise = noise;
  levels.amplitude.assign(n, 0);
  levels.phase.assign(n, Complex(1, 0));
  if (n == 0) return levels;
  // The per-step signal-to-noise ratio sets how many steps to average.
  std::vector<double> onPower;
  for (std::size_t j = 0; j < n; ++j) {
    if (down[j]) onPower.push_back(std::norm(steps[j].sum) - noise);
  }
  const double snr = onPower.empty() ? 0 : std::max(0.0, Median(onPower)) / noise;
  levels.stepSnr = snr;
  const double tau = std::clamp(100 / std::max(snr, 1e-3), 1.5, 80.0);
  // Each average lives only as long as it is read: an engine's peak heap
  // is the sum of what lives here at once.
  const std::vector<bool>& weight = down;
  {
    std::vector<double> power(n);
    for (std::size_t j = 0; j < n; ++j) power[j] = down[j] ? std::norm(steps[j].sum) - noise : 0;
    // A long average where no key-down step is near.
    std::vector<double> lp, lw;
    Smooth(power, weight, std::exp(-1 / 200.0), &lp, &lw);
    const double fallback = onPower.empty() ? 4 * noise : std::max(2 * noise, Median(onPower));
    // The long average stands in only where no key-down step is near: it
    // weighs as a twentieth of one step, so that near tones the level is
    // theirs, faded or not.
    auto longAverage = [&](std::size_t j) { return lw[j] > 1e-6 ? lp[j] / lw[j] : fallback; };
    {
      std::vector<double> sp, sw;
      Smooth(power, weight, std::exp(-1 / tau), &sp, &sw);
      for (std::size_t j = 0; j < n; ++j) {
        const double num = sp[j] + 0.05 * longAverage(j);
        const double den = sw[j] + 0.05;
        const double a2 = num / den;
        levels.amplitude[j] = static_cast<float>(std::sqrt(std::max({a2, 2 * noise, floorPower})));
      }
    }
    // The key-down power over a few tenths of a second, for reading a tone
    // whose level fading has taken away: what a fading channel gives on
    // average there.
    std::vector<double> mp, mw;
    Smooth(power, weight, std::exp(-1 / (2.7 * phaseSteps)), &mp, &mw);
    levels.meanPower.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) {
      const double num = mp[j] + 0.05 * longAverage(j);
      const double den = mw[j] + 0.05;
      levels.meanPower[j] = static_cast<float>(std::max({num / den, 2 * noise, floorPower}));
    }
  }
  // How fast the key-down power wanders: within each long tone, the log of
  // its first half's power over its second's, beyond what noise makes it.
  // A steady tone keeps its level through a dash; a fading path can take
  // several decibels from it in a tenth of a second. 0 steady, 1 fading.
  std::vector<double> change;
  double noiseChange = 0;
  for (std::size_t j = 0; j < n;) {
    if (!down[j]) {
      ++j;
      continue;
    }
    const std::size_t first = j;
    while (j < n && down[j]) ++j;
    if (j - first < 8) continue;
    const std::size_t half = (j - first - 2) / 2;
    double p1 = 0, p2 = 0;
    for (std::size_t k = 0; k < half; ++k) {
      p1 += std::norm(steps[first + 1 + k].sum) - noise;
      p2 += std::norm(steps[j - 2 - k].sum) - noise;
    }
    if (p1 <= 0 || p2 <= 0) continue;
    change.push_back(std::fabs(std::log(p1 / p2)));
    const double perStep = (p1 + p2) / (2 * static_cast<double>(half));
    noiseChange += 2 * std::sqrt(2 * noise / (perStep * static_cast<double>(half)));
  }
  if (change.size() >= 3) {
    noiseChange /= static_cast<double>(change.size());
    // Less than 0.15 (0.7 dB) a half-dash is slow fading the levels follow
    // anyway, or the tone's own ramps; no reason to doubt every step.
    levels.fading = std::clamp((Median(change) - 0.6745 * noiseChange - kSlowChange) / 0.5, 0.0, 1.0);
  }

  // The carrier's phase, from the key-down steps within about 150 ms either
  // side: a residual frequency error turns the phasors either side equally,
  // so their sum still points the right way, only shorter.
  std::vector<double> sr, si, sw;  // the weights' sums are the same for both parts
  const double r2 = std::exp(-1 / phaseSteps);
  {
    std::vector<double> part(n);
    for (std::size_t j = 0; j < n; ++j) part[j] = down[j] ? steps[j].sum.real() : 0;
    Smooth(part, weight, r2, &sr, &sw);
    for (std::size_t j = 0; j < n; ++j) part[j] = down[j] ? steps[j].sum.imag() : 0;
    Smooth(part, weight, r2, &si, &sw);
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double m = std::hypot(sr[j], si[j]);
    if (m > 0) levels.phase[j] = Complex(static_cast<float>(sr[j] / m), static_cast<float>(si[j] / m));
  }
  // Whether the phase carries from tone to tone: each tone's phase against
  // the one its neighbours predict (the reference without the tone's own
  // steps), weighted by how sure both are.
  double cosSum = 0, wSum = 0;
  int tonesSeen = 0;
  for (std::size_t j = 0; j < n;) {
    if (!down[j]) {
      ++j;
      continue;
    }
    const std::size_t a = j;
    std::complex<double> z;
    while (j < n && down[j]) z += std::complex<double>(steps[j++].sum);
    const std::size_t c = (a + j) / 2;
    std::complex<double> own;
    for (std::size_t k = a; k < j; ++k) {
      own += std::pow(r2, std::fabs(static_cast<double>(k) - static_cast<double>(c))) * std::complex<double>(steps[k].sum);
    }
    const std::complex<double> others = std::complex<double>(sr[c], si[c]) - own;
    const double w = std::sqrt(std::norm(z) * std::norm(others));
    if (w > 0) {
      cosSum += w * std::cos(std::arg(z) - std::arg(others));
      wSum += w;
    }
    ++tonesSeen;
  }
  // Too few tones say nothing of it.
  levels.coherent = tonesSeen >= 4 && wSum > 0 && cosSum / wSum > 0.5;
  levels.agreement = cosSum;
  levels.agreementWeight = wSum;
  return levels;
}

std::vector<float> Evidence(const std::vector<StepObservation>& steps, const Levels& levels, double guardFloor,
                            double independence) {
  const std::size_t n = steps.size();
  std::vector<float> e(n, 0.0f);
  const double var = std::max(levels.noise, 1e-30);
  std::vector<bool> crash(n, false);
  for (std::size_t j = 0; j < n; ++j) {
    crash[j] = UnderCrash(steps[j], guardFloor);
  }
  const double local =
      levels.fading > kFadingRead && levels.localTrusted && levels.stepSnr >= kLocalLeastSnr ? kLocalShare : 0;
  const std::vector<double> ownPower = local > 0 ? OwnPower(steps, var) : std::vector<double>();
  for (std::size_t j = 0; j < n; ++j) {
    if (crash[j] || (j > 0 && crash[j - 1]) || (j + 1 < n && crash[j + 1])) continue;
    const double a = levels.amplitude[j];
    const Complex o = steps[j].sum;
    double llr = 0;
    if (levels.coherent) {
      const double projected = o.real() * levels.phase[j].real() + o.imag() * levels.phase[j].imag();
      llr = (2 * a * projected - a * a) / var;
    } else {
      llr = LogBesselI0(2 * a * std::abs(o) / var) - a * a / var;
    }
    if (levels.fading > kFadingRead) {
      // Under fading the level is not known step by step: the tone is
      // complex Gaussian about the local mean power, or as loud as the
      // steps about it are (a fade takes a whole element down, so a faded
      // dot between strong ones is read at its own level, not theirs). The
      // readings are mixed by how much the level wanders.
      const double p = levels.meanPower[j];
      const double rayleigh = std::log(var / (var + p)) + std::norm(o) * p / (var * (var + p));
      const double al = local > 0 ? std::sqrt(ownPower[j]) : 0;
      const double own = local > 0 ? LogBesselI0(2 * al * std::abs(o) / var) - al * al / var : 0;
      const double w = std::min(levels.fading, 0.95);
      const double top = std::max({llr, rayleigh, local > 0 ? own : rayleigh});
      llr = top + std::log((1 - w) * std::exp(llr - top) + w * (1 - local) * std::exp(rayleigh - top) +
                           w * local * std::exp(own - top));
    }
    e[j] = static_cast<float>(independence * llr);
  }
  return e;
}

}  // namespace tolvane::robust
