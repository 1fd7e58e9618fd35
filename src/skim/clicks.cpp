#include "skim/clicks.h"

#include <algorithm>
#include <cmath>

namespace tolvane::skim {
namespace {

constexpr std::size_t kRecent = 64;      // samples kept for edge amplitudes (a power of two)
constexpr double kBeside = 16;           // samples from an edge to its steady carrier
constexpr float kLevelDecay = 0.9998f;   // per sample: the key-down level follows a fade
constexpr float kClearRatio = 30;        // edges count only this far above the noise
constexpr std::size_t kRing = 512;       // samples of input and residual kept (a power of two)
constexpr double kKeepEdges = 600;       // samples an edge is kept
constexpr int kLearnLimit = 64;          // the template averages this many edges at most
constexpr float kBlank = 0.3f;           // of the key-down power: a click this loud is blanked

Complex Rotate(Complex c, double cycles) {
  const double a = 2 * kPi * cycles;
  return c * Complex(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)));
}

}  // namespace

double EdgeFinder::Crossing(std::int64_t j, float half) const {
  // Between two samples at most a dozen back from j; the state changes a
  // little past the crossing.
  for (std::int64_t back = 0; back < 12; ++back) {
    const float b = std::abs(recent_[static_cast<std::size_t>(j - back) & (kRecent - 1)]);
    const float a = std::abs(recent_[static_cast<std::size_t>(j - back - 1) & (kRecent - 1)]);
    if ((a - half) * (b - half) <= 0 && a != b) {
      return static_cast<double>(j - back) - 1 + static_cast<double>((half - a) / (b - a));
    }
  }
  return static_cast<double>(j);
}

void EdgeFinder::Process(const Complex* y, std::size_t n, std::int64_t first) {
  if (recent_.empty()) recent_.assign(kRecent, Complex{});
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t j = first + static_cast<std::int64_t>(i);
    recent_[static_cast<std::size_t>(j) & (kRecent - 1)] = y[i];
    const float e = std::abs(y[i]);
    if (e <= 0) continue;  // the bank's start, before any input
    const float le = std::log(e);
    if (seen_++ == 0) logFloor_ = le;
    // The 10 % quantile, found quickly at first.
    const float step = seen_ < 2000 ? 0.1f : 0.02f;
    logFloor_ += le > logFloor_ ? 0.1f * step : -0.9f * step;
    level_ = std::max(e, level_ * kLevelDecay);
    const float half = 0.5f * level_;
    // Edges count once the noise is known and the carrier stands well clear of it.
    const bool clear = seen_ > 2000 && level_ > kClearRatio * std::exp(logFloor_);
    // A rising edge's amplitude is measured once the carrier is steady.
    for (Edge& edge : edges_) {
      if (!edge.ready && static_cast<double>(j) >= edge.at + kBeside) {
        edge.amplitude = y[i];
        edge.ready = true;
        edge.steady = std::abs(y[i]) > 0.6f * level_;
        // Timed against this mark's own level, not the running one.
        edge.at = Crossing(j - static_cast<std::int64_t>(kBeside) + 6, 0.5f * std::abs(y[i]));
      }
    }
    const bool down = down_ ? e > 0.45f * level_ : e > 0.55f * level_;
    if (down != down_ && clear) {
      Edge edge;
      edge.rising = down;
      edge.at = Crossing(j, half);
      if (!down) {
        edge.amplitude = recent_[static_cast<std::size_t>(j - static_cast<std::int64_t>(kBeside)) & (kRecent - 1)];
        edge.ready = true;
        edge.steady = std::abs(edge.amplitude) > 0.6f * level_;
        edge.at = Crossing(j, 0.5f * std::abs(edge.amplitude));
      }
      edges_.push_back(edge);
    }
    down_ = down;
  }
  const double now = static_cast<double>(first + static_cast<std::int64_t>(n));
  while (!edges_.empty() && edges_.front().at < now - kKeepEdges) edges_.pop_front();
}

Complex ClickCanceller::At(const std::vector<Complex>& ring, double t) {
  const double f = std::floor(t);
  const auto j = static_cast<std::int64_t>(f);
  const auto w = static_cast<float>(t - f);
  return ring[static_cast<std::size_t>(j) & (kRing - 1)] * (1 - w) + ring[static_cast<std::size_t>(j + 1) & (kRing - 1)] * w;
}

Complex ClickCanceller::Shape(const std::vector<Complex>& c, double tau) {
  // Zero outside the reach, so that every tap that shapes the output is
  // also corrected by it.
  const double x = tau + static_cast<double>(kReach);
  if (x <= 0 || x >= static_cast<double>(2 * kReach)) return {};
  const auto k = static_cast<std::size_t>(x);
  const auto w = static_cast<float>(x - static_cast<double>(k));
  return c[k] * (1 - w) + c[k + 1] * w;
}

void ClickCanceller::Process(Complex* y, std::size_t n, std::int64_t first, const std::vector<Neighbour>& neighbours,
                             float level) {
  if (input_.empty()) {
    input_.assign(kRing, Complex{});
    residual_.assign(kRing, Complex{});
  }
  ++blocks_;
  for (std::size_t i = 0; i < n; ++i) input_[static_cast<std::size_t>(first + static_cast<std::int64_t>(i)) & (kRing - 1)] = y[i];
  const double firstD = static_cast<double>(first);
  const auto delay = static_cast<std::int64_t>(kDelay);
  for (const Neighbour& nb : neighbours) {
    Pair& p = pairs_[nb.serial];
    if (p.rise.empty()) {
      p.rise.assign(2 * kReach + 1, Complex{});
      p.fall.assign(2 * kReach + 1, Complex{});
    }
    p.seen = blocks_;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t j = first - delay + static_cast<std::int64_t>(i);
    Complex r = input_[static_cast<std::size_t>(j) & (kRing - 1)];
    const auto t = static_cast<double>(j);
    float click = 0;
    for (const Neighbour& nb : neighbours) {
      const Pair& p = pairs_[nb.serial];
      for (const Edge& e : nb.edges->edges()) {
        if (!e.ready || std::fabs(t - e.at) >= static_cast<double>(kReach)) continue;
        const Complex u = e.amplitude * Rotate(nb.mixer, nb.turn * (e.at - firstD));
        const Complex c = u * Shape(e.rising ? p.rise : p.fall, t - e.at);
        r -= c;
        click += std::norm(c);
      }
    }
    residual_[static_cast<std::size_t>(j) & (kRing - 1)] = r;
    // Where a click stands within 5 dB of the channel's own key-down level,
    // what learning leaves of it can still pass for a dot: the channel holds
    // its last value across it instead, as a noise blanker does.
    if (click > kBlank * level) {
      r = held_;
    } else {
      held_ = r;
    }
    y[i] = j < 0 ? Complex{} : r;
  }
  // Learn from each edge whose click has passed through the output: the
  // residual left around it, referred to its carrier, corrects its shape.
  const double done = static_cast<double>(first - delay + static_cast<std::int64_t>(n) - 1);
  for (const Neighbour& nb : neighbours) {
    Pair& p = pairs_[nb.serial];
    for (const Edge& e : nb.edges->edges()) {
      if (!e.ready || e.at <= p.learnedUpTo || e.at + static_cast<double>(kReach) > done) continue;
      p.learnedUpTo = e.at;
      // A mark too short to reach its level gives no clean amplitude.
      if (!e.steady) continue;
      if (e.at - static_cast<double>(kReach) < done - static_cast<double>(kRing) + 2) continue;
      const Complex u = e.amplitude * Rotate(nb.mixer, nb.turn * (e.at - firstD));
      if (std::norm(u) <= 0) continue;
      // Least squares over the edges so far (the last few dozen, at their
      // weight): louder edges say more.
      // The first edges move the shape a third of the way each.
      float& weight = e.rising ? p.riseWeight : p.fallWeight;
      weight = std::clamp(weight + std::norm(u), 16 * std::norm(u), static_cast<float>(kLearnLimit) * std::norm(u));
      ++(e.rising ? p.rises : p.falls);
      const Complex gain = std::conj(u) / weight;
      std::vector<Complex>& c = e.rising ? p.rise : p.fall;
      // This channel's own carrier, keyed down across the edge, is steady
      // there where a click turns: the window's mean is taken out first.
      Complex mean;
      for (std::size_t k = 1; k + 1 < c.size(); ++k) mean += At(residual_, e.at + static_cast<double>(k) - static_cast<double>(kReach));
      mean /= static_cast<float>(c.size() - 2);
      // The end taps stay zero.
      for (std::size_t k = 1; k + 1 < c.size(); ++k) {
        const double tau = static_cast<double>(k) - static_cast<double>(kReach);
        c[k] += gain * (At(residual_, e.at + tau) - mean);
      }
    }
  }
  for (auto it = pairs_.begin(); it != pairs_.end();) {
    it = blocks_ - it->second.seen > 100 ? pairs_.erase(it) : std::next(it);
  }
}

std::size_t ClickCanceller::memoryBytes() const {
  return (input_.capacity() + residual_.capacity()) * sizeof(Complex) +
         pairs_.size() * (sizeof(Pair) + 64 + 2 * (2 * kReach + 1) * sizeof(Complex));
}

}  // namespace tolvane::skim
