// The robust recogniser: pitch, narrow-band envelope, tracked thresholds
// with hysteresis, glitch removal, speed tracking and gap classes.
#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "morse/morse.h"
#include "robust/robust.h"

namespace tolvane {
namespace {

constexpr double kRate = kSampleRate;
constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kDecimation = 8;  // baseband: one value per millisecond
const double kSqrt3 = std::sqrt(3.0);

// --- Spectrum ----------------------------------------------------------

// In-place radix-2 FFT; the size must be a power of two.
void Fft(std::vector<std::complex<double>>* data) {
  std::vector<std::complex<double>>& a = *data;
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const double angle = -2 * kPi / static_cast<double>(length);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (std::size_t i = 0; i < n; i += length) {
      std::complex<double> w(1, 0);
      for (std::size_t k = 0; k < length / 2; ++k) {
        const std::complex<double> u = a[i + k];
        const std::complex<double> v = a[i + k + length / 2] * w;
        a[i + k] = u + v;
        a[i + k + length / 2] = u - v;
        w *= step;
      }
    }
  }
}

// --- Helpers -------------------------------------------------------------

// The q-quantile of `values` (reordered).
double Quantile(std::vector<double>* values, double q) {
  if (values->empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(values->size() - 1));
  std::nth_element(values->begin(), values->begin() + static_cast<std::ptrdiff_t>(k), values->end());
  return (*values)[k];
}

double Median(std::vector<double> values) { return Quantile(&values, 0.5); }

// A two-way split of `values` (one-dimensional k-means): starting from the
// centres `low` and `high`, each value joins the nearer, and the centres
// move to their groups' means, until nothing changes or a group empties.
void SplitInTwo(const std::vector<double>& values, int rounds, double* low, double* high) {
  for (int round = 0; round < rounds && *high > *low; ++round) {
    const double middle = (*low + *high) / 2;
    double sums[2] = {0, 0};
    double counts[2] = {0, 0};
    for (double v : values) {
      const int c = v > middle ? 1 : 0;
      sums[c] += v;
      counts[c] += 1;
    }
    if (counts[0] == 0 || counts[1] == 0) break;
    const double nextLow = sums[0] / counts[0];
    const double nextHigh = sums[1] / counts[1];
    if (nextLow == *low && nextHigh == *high) break;
    *low = nextLow;
    *high = nextHigh;
  }
}

// Running sums of the baseband (in phase and quadrature), or of its
// projection on the carrier's phase alone (then `q` is empty).
struct Prefix {
  std::vector<double> i;
  std::vector<double> q;
};

Prefix PrefixSums(const std::vector<float>& inPhase, const std::vector<float>& quadrature) {
  Prefix p;
  p.i.assign(inPhase.size() + 1, 0);
  p.q.assign(inPhase.size() + 1, 0);
  for (std::size_t k = 0; k < inPhase.size(); ++k) {
    p.i[k + 1] = p.i[k] + inPhase[k];
    p.q[k + 1] = p.q[k] + quadrature[k];
  }
  return p;
}

// The magnitude of the baseband averaged over a window of `length[k]` ms
// centred on each millisecond: a filter matched to tones of about that
// length, so its band is as narrow as the keying allows.
std::vector<float> Envelope(const Prefix& p, const std::vector<float>& length) {
  const std::size_t m = p.i.size() - 1;
  std::vector<float> e(m);
  for (std::size_t k = 0; k < m; ++k) {
    const auto l = static_cast<std::size_t>(std::max(1.0f, length[k]));
    const std::size_t lo = k >= l / 2 ? k - l / 2 : 0;
    const std::size_t hi = std::min(m, lo + l);
    const double n = static_cast<double>(hi - lo);
    const double si = p.i[hi] - p.i[lo];
    if (p.q.empty()) {
      e[k] = static_cast<float>(si / n);  // coherent: the projection's mean, signed
    } else {
      const double sq = p.q[hi] - p.q[lo];
      e[k] = static_cast<float>(std::sqrt(si * si + sq * sq) / n);
    }
  }
  return e;
}

// Whether the carrier keeps its phase from one tone to the next, as a
// transmitter's running oscillator does (many generators start each tone
// afresh instead): the mean cosine of the phase step between neighbouring
// tones, which is near 1 for a continuous carrier and near 0 otherwise.
bool PhaseContinues(const std::vector<float>& inPhase, const std::vector<float>& quadrature,
                    const std::vector<KeyRun>& runs) {
  double sum = 0;
  double n = 0;
  bool have = false;
  double previous = 0;
  for (const KeyRun& r : runs) {
    if (!r.on) continue;
    double a = 0;
    double b = 0;
    const std::size_t end = std::min(inPhase.size(), static_cast<std::size_t>(r.start + r.length));
    for (auto k = static_cast<std::size_t>(r.start); k < end; ++k) {
      a += inPhase[k];
      b += quadrature[k];
    }
    const double phase = std::atan2(b, a);
    if (have) {
      sum += std::cos(phase - previous);
      n += 1;
    }
    previous = phase;
    have = true;
  }
  return n == 0 || sum / n > 0.5;
}

// The baseband projected on the carrier's own phase, where the key is
// down as `runs` say. Noise then counts with one component instead of two
// and without the bias an envelope gives it: about 3 dB better where it
// matters. A continuous carrier's phase is found from the tones within
// half a second either side, so a pitch a little off, or drifting, is
// followed; otherwise each tone's own phase is used, and a gap takes the
// phase of the tone nearest to it.
Prefix Coherent(const std::vector<float>& inPhase, const std::vector<float>& quadrature,
                const std::vector<KeyRun>& runs) {
  constexpr std::size_t kReach = 500;
  const std::size_t m = inPhase.size();
  std::vector<float> cr(m, 0);
  std::vector<float> ci(m, 0);
  std::vector<bool> known(m, false);
  if (PhaseContinues(inPhase, quadrature, runs)) {
    std::vector<double> pi(m + 1, 0);
    std::vector<double> pq(m + 1, 0);
    std::size_t run = 0;
    for (std::size_t k = 0; k < m; ++k) {
      while (run + 1 < runs.size() && runs[run].start + runs[run].length <= static_cast<double>(k)) ++run;
      const bool on = run < runs.size() && runs[run].on;
      pi[k + 1] = pi[k] + (on ? inPhase[k] : 0);
      pq[k + 1] = pq[k] + (on ? quadrature[k] : 0);
    }
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t lo = k >= kReach ? k - kReach : 0;
      const std::size_t hi = std::min(m, k + kReach);
      const double a = pi[hi] - pi[lo];
      const double b = pq[hi] - pq[lo];
      const double norm = std::sqrt(a * a + b * b);
      if (norm > 0) {
        cr[k] = static_cast<float>(a / norm);
        ci[k] = static_cast<float>(b / norm);
        known[k] = true;
      }
    }
  } else {
    for (const KeyRun& r : runs) {
      if (!r.on) continue;
      const auto from = static_cast<std::size_t>(r.start);
      const std::size_t to = std::min(m, static_cast<std::size_t>(r.start + r.length));
      double a = 0;
      double b = 0;
      for (std::size_t k = from; k < to; ++k) {
        a += inPhase[k];
        b += quadrature[k];
      }
      const double norm = std::sqrt(a * a + b * b);
      if (norm == 0) continue;
      for (std::size_t k = from; k < to; ++k) {
        cr[k] = static_cast<float>(a / norm);
        ci[k] = static_cast<float>(b / norm);
        known[k] = true;
      }
    }
    // Gaps: the nearer tone's phase, filled from both sides towards the middle.
    std::vector<std::size_t> distance(m, m);
    for (std::size_t k = 0; k < m; ++k) {
      if (known[k]) distance[k] = 0;
    }
    for (std::size_t k = 1; k < m; ++k) {
      if (!known[k] && distance[k - 1] + 1 < distance[k]) {
        distance[k] = distance[k - 1] + 1;
        cr[k] = cr[k - 1];
        ci[k] = ci[k - 1];
      }
    }
    for (std::size_t k = m; k-- > 1;) {
      if (!known[k - 1] && distance[k] + 1 < distance[k - 1]) {
        distance[k - 1] = distance[k] + 1;
        cr[k - 1] = cr[k];
        ci[k - 1] = ci[k];
      }
    }
    for (std::size_t k = 0; k < m; ++k) known[k] = distance[k] < m;
  }
  // Where no tone is near, keep the nearest phase found.
  for (std::size_t k = 1; k < m; ++k) {
    if (!known[k] && known[k - 1]) {
      cr[k] = cr[k - 1];
      ci[k] = ci[k - 1];
      known[k] = true;
    }
  }
  for (std::size_t k = m; k-- > 1;) {
    if (!known[k - 1] && known[k]) {
      cr[k - 1] = cr[k];
      ci[k - 1] = ci[k];
      known[k - 1] = true;
    }
  }
  Prefix p;
  p.i.assign(m + 1, 0);
  for (std::size_t k = 0; k < m; ++k) {
    p.i[k + 1] = p.i[k] + inPhase[k] * cr[k] + quadrature[k] * ci[k];
  }
  return p;
}

// --- Levels and slicing --------------------------------------------------

struct Levels {
  double noise = 0;       // mean envelope with the key up
  double spread = 0;      // its standard deviation
  std::vector<float> signal;  // envelope with the key down, per millisecond
};

// The noise level and spread from the quietest part of the envelope (its
// 5th and 20th percentiles, which lie where the key is up whatever the
// keying and however deep any fading), and the signal level tracked
// through the recording as the median of the values clearly above the
// noise, over windows of `windowMs`, so slow fading is followed. False
// when nothing stands above the noise. `coherent`: the envelope is the
// carrier-phase projection, where noise is Gaussian about zero; otherwise
// it is a magnitude, where noise is Rayleigh-distributed.
bool MeasureLevels(const std::vector<float>& e, double windowMs, bool coherent, Levels* levels) {
  const std::size_t m = e.size();
  const std::size_t stride = std::max<std::size_t>(1, m / 200000);
  std::vector<double> sample;
  for (std::size_t k = 0; k < m; k += stride) sample.push_back(e[k]);
  // Low enough to lie where the key is up even when a wide filter spreads
  // every tone over its neighbouring gaps.
  const double q05 = Quantile(&sample, 0.05);
  const double q20 = Quantile(&sample, 0.2);
  const double high = Quantile(&sample, 0.99);
  if (high <= 0) return false;
  if (coherent) {
    // Gaussian: q05 and q20 lie 1.645 and 0.842 deviations below the mean.
    levels->spread = (q20 - q05) / 0.803;
    levels->noise = q20 + 0.842 * levels->spread;
  } else {
    // Rayleigh with scale s: q20 = 0.668 s, mean 1.253 s, deviation 0.655 s.
    const double scale = q20 / 0.668;
    levels->noise = 1.2533 * scale;
    levels->spread = 0.6551 * scale;
  }
  // In dense, noisy keying a wide filter leaves little pure key-up and the
  // percentiles read high; a two-way split of all the values then knows
  // the noise better. (With deep fading it is the other way round: the
  // split counts the faded tones as noise.) The lower of the two wins.
  double low = q05;
  double upper = high;
  SplitInTwo(sample, 30, &low, &upper);
  if (low < levels->noise) {
    double variance = 0;
    double count = 0;
    for (double v : sample) {
      if (v <= (low + upper) / 2) {
        variance += (v - low) * (v - low);
        count += 1;
      }
    }
    levels->noise = low;
    levels->spread = count > 0 ? std::sqrt(variance / count) : 0;
  }

  // The key-down level of each stretch: the mean of the values above the
  // midpoint between it and the noise, found by iterating from the
  // stretch's loudest values (a two-way split with the noise side fixed,
  // which the quiet end of a fade cannot pull). A stretch whose level does
  // not stand clearly above the noise holds no tone and is filled in from
  // its neighbours.
  const double least = levels->noise + std::max(3 * levels->spread, 1e-3 * high);
  const auto window = std::max<std::size_t>(1, static_cast<std::size_t>(windowMs));
  const std::size_t blocks = (m + window - 1) / window;
  std::vector<double> centre;
  std::vector<double> value;
  std::vector<double> stretch;
  for (std::size_t b = 0; b < blocks; ++b) {
    // Each block looks one window either side, so a sparse stretch still
    // has enough key-down to measure.
    const std::size_t lo = b > 0 ? (b - 1) * window : 0;
    const std::size_t hi = std::min(m, (b + 2) * window);
    stretch.assign(e.begin() + static_cast<std::ptrdiff_t>(lo), e.begin() + static_cast<std::ptrdiff_t>(hi));
    double level = Quantile(&stretch, 0.95);
    for (int iteration = 0; iteration < 20; ++iteration) {
      const double middle = (levels->noise + level) / 2;
      double sum = 0;
      double n = 0;
      for (double v : stretch) {
        if (v > middle) {
          sum += v;
          n += 1;
        }
      }
      if (n < 10) break;
      const double next = sum / n;
      if (std::fabs(next - level) < 1e-6 * std::max(1.0, level)) break;
      level = next;
    }
    if (level > least) {
      centre.push_back((static_cast<double>(b) + 0.5) * static_cast<double>(window));
      value.push_back(level);
    }
  }
  if (value.empty()) return false;
  levels->signal.assign(m, 0);
  std::size_t j = 0;
  for (std::size_t k = 0; k < m; ++k) {
    const auto t = static_cast<double>(k);
    while (j + 1 < centre.size() && centre[j + 1] <= t) ++j;
    double v = value[j];
    if (t > centre[j] && j + 1 < centre.size()) {
      const double f = (t - centre[j]) / (centre[j + 1] - centre[j]);
      v = value[j] + f * (value[j + 1] - value[j]);
    } else if (t < centre[0]) {
      v = value[0];
    }
    levels->signal[k] = static_cast<float>(v);
  }
  return true;
}

constexpr double kOnFraction = 0.6;
constexpr double kOffFraction = 0.4;
// Runs shorter than this fraction of a dot are glitches: jitter of a
// quarter leaves no true dot or gap shorter than three quarters.
constexpr double kGlitch = 0.5;

// Key up and down with hysteresis: the key goes down above 60 % of the way
// from the noise to the signal level, and up again below 40 %. Crossings
// symmetric about the middle keep tone lengths unbiased.
std::vector<KeyRun> Slice(const std::vector<float>& e, const Levels& levels) {
  std::vector<KeyRun> runs;
  bool on = false;
  std::size_t start = 0;
  for (std::size_t k = 0; k < e.size(); ++k) {
    const double span = std::max(0.0, levels.signal[k] - levels.noise);
    const bool next = on ? e[k] >= levels.noise + kOffFraction * span
                         : e[k] > levels.noise + kOnFraction * span && span > 0;
    if (next != on) {
      if (k > start) runs.push_back({on, static_cast<double>(start), static_cast<double>(k - start)});
      on = next;
      start = k;
    }
  }
  runs.push_back({on, static_cast<double>(start), static_cast<double>(e.size() - start)});
  return runs;
}

std::vector<double> Tones(const std::vector<KeyRun>& runs) {
  std::vector<double> tones;
  for (const KeyRun& r : runs) {
    if (r.on) tones.push_back(r.length);
  }
  return tones;
}

// --- Speed ---------------------------------------------------------------

double FitCost(const std::vector<double>& tones, double dot) {
  const double ln3 = std::log(3.0);
  double cost = 0;
  for (double d : tones) {
    const double x = std::log(d / dot);
    cost += std::min({std::fabs(x), std::fabs(x - ln3), 0.8});
  }
  return cost / static_cast<double>(tones.size());
}

// A tone's side of the dot/dash boundary (sqrt 3 units) and its margin.
bool IsDash(double ms, double dot) { return ms > kSqrt3 * dot; }

double Margin(double value, double boundary, double halfWidth) {
  return std::min(1.0, std::fabs(std::log(value / boundary)) / halfWidth);
}

// A unit for every tone, from the dots and dashes around it: a two-way
// split of the neighbours' lengths in the log domain, started from their
// own shortest and longest, so a speed that drifts or changes is followed
// within a few characters. A stretch of only dots or only dashes is read
// against the unit just before it (the recording's own to begin with).
std::vector<double> LocalUnits(const std::vector<double>& tones, double dot) {
  constexpr std::size_t kReach = 12;
  const double ln3 = std::log(3.0);
  std::vector<double> units(tones.size(), dot);
  double previous = std::log(dot);
  std::vector<double> x;
  for (std::size_t i = 0; i < tones.size(); ++i) {
    const std::size_t lo = i >= kReach ? i - kReach : 0;
    const std::size_t hi = std::min(tones.size(), i + kReach + 1);
    x.clear();
    for (std::size_t j = lo; j < hi; ++j) x.push_back(std::log(tones[j]));
    std::vector<double> sorted = x;
    double a = Quantile(&sorted, 0.15);
    double b = Quantile(&sorted, 0.85);
    double u = 0;
    if (b - a > std::log(2.0)) {
      SplitInTwo(x, 10, &a, &b);
      double sum = 0;
      for (double v : x) sum += v > (a + b) / 2 ? v - ln3 : v;
      u = sum / static_cast<double>(x.size());
    } else {
      const double centre = (a + b) / 2;
      u = std::fabs(centre - previous) <= std::fabs(centre - ln3 - previous) ? centre : centre - ln3;
    }
    units[i] = std::exp(u);
    previous = u;
  }
  // A median over five smooths single outliers.
  std::vector<double> smooth(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::size_t lo = i >= 2 ? i - 2 : 0;
    const std::size_t hi = std::min(units.size(), i + 3);
    smooth[i] = Median(std::vector<double>(units.begin() + static_cast<std::ptrdiff_t>(lo),
                                           units.begin() + static_cast<std::ptrdiff_t>(hi)));
  }
  return smooth;
}

// --- Decoding ------------------------------------------------------------

struct Reading {
  std::vector<KeyRun> runs;  // lengths corrected for the filter's bias
  std::vector<double> units;  // per tone
  Levels levels;
  std::size_t glitches = 0;
};

// Levels are measured over windows of about eight units (from the filter
// length, 0.6 of a unit or so): short enough to follow fading, long
// enough to hold several tones.
double LevelWindow(const std::vector<float>& lengthMs) {
  std::vector<double> lengths(lengthMs.begin(), lengthMs.end());
  return std::max(300.0, 12 * Median(lengths));
}

// Envelope, levels, slicing and glitch removal for a filter of `lengthMs`
// per millisecond, then the units. False when nothing stands above the
// noise.
bool Read(const Prefix& p, const std::vector<float>& lengthMs, double glitchFraction, double dotGuess,
          Reading* r) {
  const std::vector<float> e = Envelope(p, lengthMs);
  if (!MeasureLevels(e, LevelWindow(lengthMs), p.q.empty(), &r->levels)) return false;
  r->runs = Slice(e, r->levels);
  // Glitches: shorter than a fraction of a dot at the local speed; the
  // filter's own length sets the floor.
  r->glitches = RemoveGlitches(&r->runs, glitchFraction * dotGuess);
  const std::vector<double> tones = Tones(r->runs);
  if (tones.empty()) return false;
  // Tones come out longer or shorter, and gaps the other way, by the same
  // amount, which depends on the noise; dots and the gaps inside
  // characters, both one unit, show how much, and it is taken off.
  const double dot = EstimateDotMs(tones);
  std::vector<double> excess;
  for (std::size_t i = 0; i < r->runs.size(); ++i) {
    const KeyRun& run = r->runs[i];
    if (run.on && !IsDash(run.length, dot)) excess.push_back(run.length - dot);
    if (!run.on && i > 0 && i + 1 < r->runs.size() && run.length < kSqrt3 * dot) {
      excess.push_back(dot - run.length);
    }
  }
  const double bias = excess.empty() ? 0 : std::clamp(Median(excess), -0.4 * dot, 0.4 * dot);
  for (std::size_t i = 0; i < r->runs.size(); ++i) {
    KeyRun& run = r->runs[i];
    // Leading and trailing silence keep their lengths.
    if (run.on) {
      run.length = std::max(1.0, run.length - bias);
    } else if (i > 0 && i + 1 < r->runs.size()) {
      run.length = std::max(1.0, run.length + bias);
    }
    if (i > 0) run.start = r->runs[i - 1].start + r->runs[i - 1].length;
  }
  const std::vector<double> corrected = Tones(r->runs);
  r->units = LocalUnits(corrected, EstimateDotMs(corrected));
  return true;
}

// The local units, held within the range the recording's speeds span
// (from its 10th to its 90th percentile, with some room) so a stray
// estimate cannot set a filter far from the rest.
std::vector<double> SteadyUnits(const std::vector<double>& units) {
  std::vector<double> sorted = units;
  const double lo = 0.7 * Quantile(&sorted, 0.1);
  const double hi = 1.4 * Quantile(&sorted, 0.9);
  std::vector<double> steady(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) steady[i] = std::clamp(units[i], lo, hi);
  return steady;
}

// The filter length for each millisecond: a fraction of the local unit,
// taken from the nearest tone (with factor 1, the local unit itself).
std::vector<float> FilterLengths(const Reading& r, std::size_t m, double factor) {
  std::vector<float> length(m, 20);
  const std::vector<double> units = SteadyUnits(r.units);
  std::vector<double> at;
  for (const KeyRun& run : r.runs) {
    if (run.on) at.push_back(run.start + run.length / 2);
  }
  std::size_t tone = 0;
  for (std::size_t k = 0; k < m; ++k) {
    while (tone + 1 < at.size() && std::fabs(at[tone + 1] - static_cast<double>(k)) <=
                                       std::fabs(at[tone] - static_cast<double>(k))) {
      ++tone;
    }
    const double u = at.empty() ? 60 : units[tone];
    length[k] = static_cast<float>(factor == 1.0 ? u : std::clamp(factor * u, 4.0, 150.0));
  }
  return length;
}

// --- Segmentation by timing ------------------------------------------------
//
// The most likely keying of the whole recording, given for each
// millisecond the log-likelihood ratio of key down over key up (the
// evidence) and the local unit: a Viterbi search over runs of key-down and key-up, each scored by
// how well the samples fit it (a tone's score is a matched filter over its
// whole length) and by how well its length fits Morse timing (1 or 3 units
// for tones and for gaps inside words; anything from about 4.5 units up
// for the gaps between letters and words, Farnsworth's included). A burst
// of noise, a dip inside a dash or a gap lost in noise is then weighed
// against the whole run, not decided sample by sample.
std::vector<KeyRun> SegmentByTiming(const std::vector<double>& evidence, const std::vector<double>& unitMs,
                                    double stepMs) {
  const std::size_t m = evidence.size();
  const auto step = static_cast<std::size_t>(std::max(1.0, std::round(stepMs)));
  const std::size_t t = (m + step - 1) / step;
  // Per step: the log-likelihood ratio of key down over key up, and the unit.
  std::vector<double> gain(t + 1, 0);
  std::vector<double> unit(t, 1);
  for (std::size_t j = 0; j < t; ++j) {
    double g = 0;
    const std::size_t end = std::min(m, (j + 1) * step);
    for (std::size_t k = j * step; k < end; ++k) g += evidence[k];
    gain[j + 1] = gain[j] + g;
    unit[j] = unitMs[std::min(m - 1, j * step + step / 2)] / static_cast<double>(step);
  }
  // The spread of tone and gap lengths about 1 and 3 units, in the log
  // domain: tight, since it is what lets timing outweigh noise. Where the
  // samples are clear, as with hand keying in quiet, they outweigh it.
  constexpr double kSpread = 0.12;
  constexpr double kLongGap = 4.5;  // units; letter and word gaps are longer
  constexpr double kLongPenalty = 1.0;
  const double ln3 = std::log(3.0);
  // Log prior of a run's length: near 1 or 3 units.
  auto timing = [&](double units) {
    const double x = std::log(units);
    const double d = std::min(std::fabs(x), std::fabs(x - ln3));
    return -d * d / (2 * kSpread * kSpread);
  };
  const double none = -std::numeric_limits<double>::infinity();
  // best[s][j]: the best score of a keying of steps [0, j) whose last run
  // is key down (s = 1) or key up (s = 0) and ends at j; from[s][j]: where
  // that run began.
  std::vector<double> best[2] = {std::vector<double>(t + 1, none), std::vector<double>(t + 1, none)};
  std::vector<std::uint32_t> from[2] = {std::vector<std::uint32_t>(t + 1, 0), std::vector<std::uint32_t>(t + 1, 0)};
  // The recording may begin with silence of any length or with a tone.
  best[0][0] = 0;
  best[1][0] = 0;
  // The best key-down end at or before j - kLongGap units, for long gaps:
  // kept as a running maximum over a window that only moves forward.
  double longBest = none;
  std::uint32_t longFrom = 0;
  std::size_t longScan = 0;
  for (std::size_t j = 1; j <= t; ++j) {
    const double u = unit[j - 1];
    const auto shortest = static_cast<std::size_t>(std::max(1.0, std::floor(0.3 * u)));
    const auto longest = static_cast<std::size_t>(std::ceil(kLongGap * u));
    // Key down, from 0.3 to 4.5 units.
    for (std::size_t d = shortest; d <= std::min(longest, j); ++d) {
      const std::size_t i = j - d;
      if (best[0][i] == none) continue;
      const double score = best[0][i] + (gain[j] - gain[i]) + timing(static_cast<double>(d) / u);
      if (score > best[1][j]) {
        best[1][j] = score;
        from[1][j] = static_cast<std::uint32_t>(i);
      }
    }
    // Key up inside a word (1 or 3 units); silence from the very start
    // has no expected length.
    for (std::size_t d = shortest; d <= std::min(longest, j); ++d) {
      const std::size_t i = j - d;
      if (best[1][i] == none) continue;
      const double score = best[1][i] + (i == 0 ? 0 : timing(static_cast<double>(d) / u));
      if (score > best[0][j]) {
        best[0][j] = score;
        from[0][j] = static_cast<std::uint32_t>(i);
      }
    }
    // Key up between letters or words: any length from 4.5 units.
    while (longScan + longest <= j) {
      if (best[1][longScan] != none && best[1][longScan] - (longScan == 0 ? 0 : kLongPenalty) > longBest) {
        longBest = best[1][longScan] - (longScan == 0 ? 0 : kLongPenalty);
        longFrom = static_cast<std::uint32_t>(longScan);
      }
      ++longScan;
    }
    if (longBest > best[0][j]) {
      best[0][j] = longBest;
      from[0][j] = longFrom;
    }
  }
  // The recording may end anywhere in a tone or a gap: the last run is
  // scored without its length, from wherever it began.
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
  std::vector<KeyRun> runs;
  std::size_t j = t;
  std::size_t i = lastFrom;
  for (;;) {
    const double startMs = static_cast<double>(i * step);
    const double endMs = static_cast<double>(std::min(m, j * step));
    if (endMs > startMs) {
      if (!runs.empty() && runs.back().on == (state == 1)) {
        runs.back().start = startMs;
        runs.back().length += endMs - startMs;
      } else {
        runs.push_back({state == 1, startMs, endMs - startMs});
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

// How well a reading fits Morse timing: the mean distance, in the log
// domain, of each tone from 1 or 3 local units and of each gap inside a
// word from 1 or 3 units. Noise that splits or merges elements, and a
// filter that smears them, both show here. Lower is better.
double Quality(const Reading& r) {
  const double ln3 = std::log(3.0);
  double cost = 0;
  double n = 0;
  std::size_t tone = 0;
  for (std::size_t i = 0; i < r.runs.size(); ++i) {
    const KeyRun& run = r.runs[i];
    if (run.on) {
      const double x = std::log(run.length / r.units[tone++]);
      cost += std::min({std::fabs(x), std::fabs(x - ln3), 0.8});
      n += 1;
    } else if (tone > 0 && tone < r.units.size()) {
      const double x = std::log(run.length / r.units[tone]);
      if (x < std::log(5.0)) {
        cost += std::min({std::fabs(x), std::fabs(x - ln3), 0.8});
        n += 1;
      }
    }
  }
  // A filter that merges a whole character into one long tone fits
  // perfectly; the fewer tones a reading finds, the more that is likely.
  return n > 0 ? cost / n + 1.0 / static_cast<double>(tone + 1) : std::numeric_limits<double>::infinity();
}

}  // namespace

double EstimatePitch(const std::int16_t* samples, std::size_t count) {
  constexpr std::size_t kSize = 2048;
  constexpr std::size_t kMaxFrames = 1024;
  if (count == 0) return 0;
  std::vector<double> window(kSize);
  for (std::size_t i = 0; i < kSize; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / kSize);
  }
  std::vector<double> power(kSize / 2 + 1, 0);
  std::vector<std::complex<double>> frame(kSize);
  const std::size_t frames = std::max<std::size_t>(1, count / kSize);
  const std::size_t used = std::min(frames, kMaxFrames);
  for (std::size_t f = 0; f < used; ++f) {
    const std::size_t start = (f * frames / used) * kSize;
    for (std::size_t i = 0; i < kSize; ++i) {
      const double x = start + i < count ? samples[start + i] : 0;
      frame[i] = x * window[i];
    }
    Fft(&frame);
    for (std::size_t b = 0; b <= kSize / 2; ++b) power[b] += std::norm(frame[b]);
  }
  const auto lo = static_cast<std::size_t>(std::ceil(200.0 * kSize / kRate));
  const auto hi = static_cast<std::size_t>(2000.0 * kSize / kRate);
  std::size_t peak = lo;
  for (std::size_t b = lo; b <= hi; ++b) {
    if (power[b] > power[peak]) peak = b;
  }
  if (power[peak] <= 0) return 0;
  // A parabola through the log powers around the peak finds it between bins.
  const double a = std::log(power[peak - 1] + 1e-12);
  const double b = std::log(power[peak] + 1e-12);
  const double c = std::log(power[peak + 1] + 1e-12);
  const double bend = a - 2 * b + c;
  const double offset = bend < 0 ? 0.5 * (a - c) / bend : 0;
  return (static_cast<double>(peak) + std::clamp(offset, -0.5, 0.5)) * kRate / kSize;
}

void Demodulate(const std::int16_t* samples, std::size_t count, double pitchHz,
                std::vector<float>* inPhase, std::vector<float>* quadrature) {
  const std::size_t m = (count + kDecimation - 1) / kDecimation;
  inPhase->assign(m, 0);
  quadrature->assign(m, 0);
  const double step = -2 * kPi * pitchHz / kRate;
  const double wr = std::cos(step);
  const double wi = std::sin(step);
  double zr = 1;
  double zi = 0;
  for (std::size_t k = 0; k < m; ++k) {
    double si = 0;
    double sq = 0;
    const std::size_t end = std::min(count, (k + 1) * kDecimation);
    for (std::size_t n = k * kDecimation; n < end; ++n) {
      si += samples[n] * zr;
      sq += samples[n] * zi;
      const double r = zr * wr - zi * wi;
      zi = zr * wi + zi * wr;
      zr = r;
    }
    // Keep the oscillator on the unit circle despite rounding.
    const double norm = std::hypot(zr, zi);
    zr /= norm;
    zi /= norm;
    (*inPhase)[k] = static_cast<float>(si / kDecimation);
    (*quadrature)[k] = static_cast<float>(sq / kDecimation);
  }
}

std::size_t RemoveGlitches(std::vector<KeyRun>* runs, double shortestMs) {
  // Shortest first: merging a run joins its two neighbours, which share a
  // state, into one, which may itself still be too short. A heap of the
  // short runs and links between live runs keep this n log n.
  std::vector<KeyRun>& r = *runs;
  const std::size_t n = r.size();
  if (n < 2) return 0;
  std::vector<std::size_t> prev(n);
  std::vector<std::size_t> next(n);
  std::vector<bool> alive(n, true);
  const std::size_t none = n;
  for (std::size_t i = 0; i < n; ++i) {
    prev[i] = i == 0 ? none : i - 1;
    next[i] = i + 1 == n ? none : i + 1;
  }
  using Entry = std::pair<double, std::size_t>;
  std::vector<Entry> heap;
  auto push = [&](std::size_t i) {
    if (r[i].length < shortestMs) {
      heap.emplace_back(r[i].length, i);
      std::push_heap(heap.begin(), heap.end(), std::greater<>());
    }
  };
  for (std::size_t i = 0; i < n; ++i) push(i);
  std::size_t removed = 0;
  std::size_t live = n;
  while (!heap.empty() && live > 1) {
    std::pop_heap(heap.begin(), heap.end(), std::greater<>());
    const auto [length, i] = heap.back();
    heap.pop_back();
    if (!alive[i] || length != r[i].length) continue;  // merged or grown since
    const std::size_t p = prev[i];
    const std::size_t q = next[i];
    std::size_t keep = 0;
    if (p == none) {  // the first run joins the next
      r[q].start = r[i].start;
      r[q].length += r[i].length;
      alive[i] = false;
      prev[q] = none;
      keep = q;
      --live;
    } else if (q == none) {  // the last joins the one before
      r[p].length += r[i].length;
      alive[i] = false;
      next[p] = none;
      keep = p;
      --live;
    } else {
      r[p].length += r[i].length + r[q].length;
      alive[i] = false;
      alive[q] = false;
      next[p] = next[q];
      if (next[q] != none) prev[next[q]] = p;
      keep = p;
      live -= 2;
    }
    ++removed;
    push(keep);
  }
  std::size_t w = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (alive[i]) r[w++] = r[i];
  }
  r.resize(w);
  return removed;
}

double EstimateDotMs(const std::vector<double>& toneMs) {
  if (toneMs.empty()) return 60;
  // Candidates from 120 WPM (10 ms) to 3 WPM (400 ms).
  constexpr int kSteps = 400;
  const double lo = std::log(10.0);
  const double hi = std::log(400.0);
  double best = 60;
  double bestCost = std::numeric_limits<double>::infinity();
  for (int s = 0; s <= kSteps; ++s) {
    const double dot = std::exp(lo + (hi - lo) * s / kSteps);
    const double wpm = 1200 / dot;
    // The preference only tips the balance where the fit is the same, as
    // when every tone is alike and could be dots or dashes.
    const double prior = 0.05 * std::pow(std::log(wpm / 20) / std::log(2.5), 2);
    const double cost = FitCost(toneMs, dot) + prior;
    if (cost < bestCost) {
      bestCost = cost;
      best = dot;
    }
  }
  // Refine: the median of the dots and the dashes' thirds, which stray
  // fragments of tones cannot pull far.
  std::vector<double> units;
  units.reserve(toneMs.size());
  for (double d : toneMs) units.push_back(IsDash(d, best) ? d / 3 : d);
  return Median(units);
}

namespace {

// The best reading: first with a few fixed filter lengths, then with
// filters that follow the local speed at a few fractions of the unit, on
// the envelope and on the carrier-phase projection. The reading that
// fits Morse timing best wins; noise that splits or merges elements and a
// filter that smears them both fit badly. False when no tone is found.
bool ChooseReading(const Prefix& prefix, const std::vector<float>& inPhase,
                   const std::vector<float>& quadrature, Reading* reading, double* filterMs) {
  const std::size_t m = inPhase.size();
  double best = std::numeric_limits<double>::infinity();
  auto consider = [&](const Prefix& source, const std::vector<float>& lengths, double glitchFraction,
                      double dot) {
    Reading trial;
    if (!Read(source, lengths, glitchFraction, dot, &trial)) return;
    const double quality = Quality(trial);
    if (quality < best) {
      best = quality;
      *reading = std::move(trial);
      *filterMs = *std::min_element(lengths.begin(), lengths.end());
    }
  };
  for (float length : {8.0f, 16.0f, 32.0f, 64.0f, 128.0f}) {
    consider(prefix, std::vector<float>(m, length), kGlitch, length);
  }
  if (reading->runs.empty()) return false;
  for (int round = 0; round < 3; ++round) {
    const Reading base = *reading;
    std::vector<double> sorted = base.units;
    const double shortDot = Quantile(&sorted, 0.1);
    const Prefix coherent = Coherent(inPhase, quadrature, base.runs);
    for (double factor : {0.5, 0.7, 1.0}) {
      const std::vector<float> lengths = FilterLengths(base, m, factor);
      if (round == 0) consider(prefix, lengths, kGlitch, shortDot);
      consider(coherent, lengths, kGlitch, shortDot);
    }
  }
  return true;
}

// The keying as a whole, found by timing and matched filters together on
// the carrier-phase projection (SegmentByTiming), with levels, noise and
// units taken from `base`. Leaves `reading` as it is if that fails.
// ln I0(x), the modified Bessel function of order 0 (Abramowitz and
// Stegun 9.8.1 and 9.8.2), for the likelihood of a tone of unknown phase.
double LogBesselI0(double x) {
  if (x < 3.75) {
    const double t = (x / 3.75) * (x / 3.75);
    return std::log(1 + t * (3.5156229 + t * (3.0899424 + t * (1.2067492 + t * (0.2659732 +
                                                                          t * (0.0360768 + t * 0.0045813))))));
  }
  const double t = 3.75 / x;
  return x - 0.5 * std::log(x) +
         std::log(0.39894228 + t * (0.01328592 + t * (0.00225319 + t * (-0.00157565 + t * (0.00916281 +
             t * (-0.02057706 + t * (0.02635537 + t * (-0.01647633 + t * 0.00392377))))))));
}

// The keying as a whole, found by timing and matched filters together
// (SegmentByTiming), with levels, noise and units taken from `reading`.
// The evidence is the carrier-phase projection where the phase carries
// from tone to tone; where each tone starts afresh, the magnitude, whose
// likelihood allows for any phase. Leaves `reading` as it is if that fails.
void TimeReading(const std::vector<float>& inPhase, const std::vector<float>& quadrature,
                 Reading* reading) {
  const std::size_t m = inPhase.size();
  const bool coherent = PhaseContinues(inPhase, quadrature, reading->runs);
  std::vector<double> y(m);
  Prefix source;
  if (coherent) {
    source = Coherent(inPhase, quadrature, reading->runs);
    for (std::size_t k = 0; k < m; ++k) y[k] = source.i[k + 1] - source.i[k];
  } else {
    source = PrefixSums(inPhase, quadrature);
    for (std::size_t k = 0; k < m; ++k) y[k] = std::hypot(inPhase[k], quadrature[k]);
  }
  const std::vector<float> lengths = FilterLengths(*reading, m, 0.7);
  Levels levels;
  if (!MeasureLevels(Envelope(source, lengths), LevelWindow(lengths), coherent, &levels)) return;
  // The noise per millisecond, where the key is up: the projection's
  // deviation, or the deviation of each component of the baseband.
  double sum = 0;
  double squares = 0;
  double n = 0;
  for (const KeyRun& r : reading->runs) {
    if (r.on) continue;
    const std::size_t end = std::min(m, static_cast<std::size_t>(r.start + r.length));
    for (auto k = static_cast<std::size_t>(r.start); k < end; ++k) {
      sum += y[k];
      squares += y[k] * y[k];
      n += 1;
    }
  }
  double variance = 0;
  if (n > 1) variance = coherent ? std::max(0.0, squares / n - (sum / n) * (sum / n)) : squares / n / 2;
  // A clean recording has next to no noise; keep the ratios finite.
  const double level = static_cast<double>(levels.signal[m / 2]);
  variance = std::max(variance, 1e-6 * level * level + 1e-12);
  const std::vector<float> unitsPerMs = FilterLengths(*reading, m, 1.0);
  std::vector<double> sorted = reading->units;
  // Five steps to the shortest dot: fine enough for lengths, coarse enough
  // to be quick.
  const double stepMs = std::max(1.0, 0.2 * Quantile(&sorted, 0.1));
  std::vector<double> evidence(m, 0);
  if (coherent) {
    for (std::size_t k = 0; k < m; ++k) {
      const double a = levels.signal[k];
      evidence[k] = (a * y[k] - 0.5 * a * a) / variance;
    }
  } else {
    // Without a phase to rely on, each step's baseband is summed as it is
    // (the phase holds within a tone) and its magnitude weighed: summing
    // first keeps most of what a known phase would give.
    const auto step = static_cast<std::size_t>(std::max(1.0, std::round(stepMs)));
    for (std::size_t k0 = 0; k0 < m; k0 += step) {
      const std::size_t end = std::min(m, k0 + step);
      double a = 0;
      double zi = 0;
      double zq = 0;
      for (std::size_t k = k0; k < end; ++k) {
        a += levels.signal[k];
        zi += inPhase[k];
        zq += quadrature[k];
      }
      const double length = static_cast<double>(end - k0);
      a /= length;
      evidence[k0] = LogBesselI0(a * std::hypot(zi, zq) / variance) - 0.5 * length * a * a / variance;
    }
  }
  Reading timed;
  timed.runs = SegmentByTiming(evidence, std::vector<double>(unitsPerMs.begin(), unitsPerMs.end()), stepMs);
  const std::vector<double> tones = Tones(timed.runs);
  if (tones.empty()) return;
  timed.units = LocalUnits(tones, EstimateDotMs(tones));
  timed.levels = std::move(levels);
  timed.glitches = reading->glitches;
  *reading = std::move(timed);
}

// Gaps between the first tone and the last, in local units (0 elsewhere).
std::vector<double> GapUnits(const Reading& r) {
  std::vector<double> gaps(r.runs.size(), 0);
  std::size_t tone = 0;
  for (std::size_t i = 0; i < r.runs.size(); ++i) {
    if (r.runs[i].on) {
      ++tone;
    } else if (tone > 0 && tone < r.units.size()) {
      gaps[i] = r.runs[i].length / ((r.units[tone - 1] + r.units[tone]) / 2);
    }
  }
  return gaps;
}

// The boundary between letter and word gaps, in units: between the two
// groups the long gaps form where there are two (Farnsworth spacing
// stretches both), else the usual one between 3 and 7 units, placed so
// that a single group of gaps nearer 3 reads as letters and one nearer 7
// as words.
double WordGapUnits(const std::vector<double>& gapUnits) {
  const double usual = std::sqrt(21.0);
  std::vector<double> longGaps;
  for (double g : gapUnits) {
    if (g >= kSqrt3) longGaps.push_back(std::log(g));
  }
  if (longGaps.empty()) return usual;
  std::vector<double> sorted = longGaps;
  double a = Quantile(&sorted, 0.1);
  double b = Quantile(&sorted, 0.9);
  SplitInTwo(longGaps, 30, &a, &b);
  if (b - a > std::log(1.6)) return std::exp((a + b) / 2);
  const double centre = std::exp((a + b) / 2);
  return centre < usual ? std::max(usual, 2 * centre) : std::min(usual, 0.5 * centre);
}

bool IsCode(const std::string& code) {
  const char* known = LookupCode(LookupChar(code.c_str()));
  return known != nullptr && code == known;
}

// Characters from the runs. A code no character has is revised where one
// of its tones, the least certain, read the other way makes a code that
// does exist.
std::string Assemble(const Reading& r, double wordGap, const std::vector<double>& gapUnits,
                     std::vector<RobustCharacter>* characters) {
  const double halfWidth = std::log(kSqrt3);
  std::string out;
  std::string code;
  std::vector<double> margins;  // of the tones of the code
  double confidence = 1;
  double startMs = 0;
  auto flush = [&] {
    if (code.empty()) return;
    if (!IsCode(code) && code.size() <= kMaxCodeLength + 1) {
      std::size_t weakest = 0;
      for (std::size_t i = 1; i < margins.size(); ++i) {
        if (margins[i] < margins[weakest]) weakest = i;
      }
      std::string revised = code;
      revised[weakest] = revised[weakest] == '.' ? '-' : '.';
      if (IsCode(revised)) {
        code = revised;
        confidence = std::min(confidence, 0.5 * margins[weakest]);
      } else {
        confidence = 0;
      }
    } else if (!IsCode(code)) {
      confidence = 0;
    }
    RobustCharacter c;
    c.code = code.size() > kMaxCodeLength + 1 ? code.substr(0, kMaxCodeLength + 1) + "..." : code;
    c.character = LookupChar(code.c_str());
    c.confidence = static_cast<float>(confidence);
    c.seconds = startMs / 1000;
    out.push_back(c.character);
    characters->push_back(c);
    code.clear();
    margins.clear();
    confidence = 1;
  };
  std::size_t tone = 0;
  for (std::size_t i = 0; i < r.runs.size(); ++i) {
    const KeyRun& run = r.runs[i];
    if (run.on) {
      const double u = r.units[tone++];
      if (code.empty()) startMs = run.start;
      code.push_back(IsDash(run.length, u) ? '-' : '.');
      margins.push_back(Margin(run.length, kSqrt3 * u, halfWidth));
      confidence = std::min(confidence, margins.back());
    } else if (tone > 0 && tone < r.units.size()) {
      const double g = gapUnits[i];
      confidence = std::min(confidence, Margin(g, kSqrt3, halfWidth));
      if (g >= kSqrt3) {
        flush();
        if (g >= wordGap) out.push_back(' ');
      }
    }
  }
  flush();  // the recording may end right after the last tone
  return out;
}

// The levels, the SNR and the speed over time, for --explain.
void Describe(const Reading& r, const std::int16_t* samples, std::size_t count, RobustReport* rep) {
  rep->noiseLevel = r.levels.noise;
  std::vector<double> onLevels;
  for (const KeyRun& run : r.runs) {
    const auto k = static_cast<std::size_t>(run.start + run.length / 2);
    if (run.on && k < r.levels.signal.size()) onLevels.push_back(r.levels.signal[k]);
  }
  rep->signalLevel = onLevels.empty() ? 0 : Median(onLevels);
  rep->onFraction = kOnFraction;
  rep->offFraction = kOffFraction;
  rep->glitches = r.glitches;
  // The tone's power from its baseband level (half its amplitude), the
  // noise's from the samples while the key is up (the middle half of each
  // gap, clear of the tones' edges), in 2500 Hz.
  double noisePower = 0;
  double noiseCount = 0;
  for (const KeyRun& run : r.runs) {
    if (run.on) continue;
    const auto from = static_cast<std::size_t>(run.start + run.length / 4) * kDecimation;
    const std::size_t to =
        std::min(count, static_cast<std::size_t>(run.start + 3 * run.length / 4) * kDecimation);
    for (std::size_t n = from; n < to; ++n) noisePower += static_cast<double>(samples[n]) * samples[n];
    noiseCount += static_cast<double>(to > from ? to - from : 0);
  }
  const double tonePower = 2 * rep->signalLevel * rep->signalLevel;
  const double bandNoise = noiseCount > 0 ? noisePower / noiseCount * 2500 / (kRate / 2) : 0;
  rep->snrDb = bandNoise > 0 && tonePower > 0 ? std::min(99.0, 10 * std::log10(tonePower / bandNoise)) : 99.0;
  std::size_t tone = 0;
  double next = 0;
  for (const KeyRun& run : r.runs) {
    if (!run.on) continue;
    if (run.start >= next) {
      rep->speed.push_back({run.start / 1000, 1200 / r.units[tone]});
      next = run.start + 5000;
    }
    ++tone;
  }
}

}  // namespace

bool DecodeRobust(const std::int16_t* samples, std::size_t count, std::string* text,
                  RobustReport* report, DecodeFailure* why) {
  if (count < 1) return Fail(why, DecodeError::kNoSamples);
  bool silent = true;
  for (std::size_t i = 0; i < count && silent; ++i) silent = samples[i] == 0;
  if (silent) return Fail(why, DecodeError::kSilent);
  try {
    RobustReport local;
    RobustReport& rep = report != nullptr ? *report : local;
    rep = RobustReport{};
    rep.pitchHz = EstimatePitch(samples, count);
    if (rep.pitchHz <= 0) return Fail(why, DecodeError::kNoTone);
    std::vector<float> inPhase;
    std::vector<float> quadrature;
    Demodulate(samples, count, rep.pitchHz, &inPhase, &quadrature);
    Reading reading;
    if (!ChooseReading(PrefixSums(inPhase, quadrature), inPhase, quadrature, &reading, &rep.filterMs)) {
      return Fail(why, DecodeError::kNoTone);
    }
    TimeReading(inPhase, quadrature, &reading);
    const std::vector<double> gapUnits = GapUnits(reading);
    rep.wordGapUnits = WordGapUnits(gapUnits);
    *text = Assemble(reading, rep.wordGapUnits, gapUnits, &rep.characters);
    Describe(reading, samples, count, &rep);
  } catch (const std::bad_alloc&) {
    return Fail(why, DecodeError::kOutOfMemory);
  }
  return true;
}

}  // namespace tolvane
