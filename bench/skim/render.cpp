// The band, block by block: each station's overs keyed and scheduled as
// rendering reaches them, faded and mixed to its offset, over noise and
// clutter.
#include <algorithm>
#include <cmath>

#include "band.h"
#include "texts.h"

namespace skimbench {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kGainRate = 50;  // fading gains per second, interpolated

// Peak amplitude of a tone (real) or phasor (I/Q) whose power stands
// `db` over unit-power noise measured in 2500 Hz.
double Amplitude(double db, double rate, bool iq) {
  const double snr = std::pow(10.0, db / 10);
  return iq ? std::sqrt(snr * 2500 / rate) : std::sqrt(snr * 10000 / rate);
}

double Ramp(double x, double edge) {
  if (x <= 0) return 0;
  if (x >= edge) return 1;
  return 0.5 - 0.5 * std::cos(kPi * x / edge);
}

struct StationState {
  const BandStation* station = nullptr;
  sim::Random words{1}, carrier{1}, channel{1};
  double amplitude = 0;
  bool active = false, done = false;
  sim::Keying over;
  std::size_t mark = 0;
  double nextStart = 0;
  double edge = 0.005;
  std::complex<double> phasor{1, 0};
  std::vector<std::complex<double>> gains;
  double qsbPhase = 0;
};

// Voiced syllables: a pulse train with a wandering pitch through three
// formant resonators that move from syllable to syllable.
class Speech {
 public:
  Speech(double rate, std::uint64_t seed) : rate_(rate), random_(sim::Random::Stream(seed, 77)) { NewSyllable(); }
  double Next() {
    t_ += 1 / rate_;
    if (t_ >= until_) {
      voiced_ = !voiced_;
      if (voiced_) NewSyllable();
      until_ = t_ + (voiced_ ? random_.Uniform(0.12, 0.3) : (random_.Uniform() < 0.25 ? random_.Uniform(0.3, 0.8) : random_.Uniform(0.05, 0.15)));
      start_ = t_;
    }
    const double f0 = 115 + 40 * std::sin(2 * kPi * 0.5 * t_) + 25 * std::sin(2 * kPi * 1.7 * t_ + 1);
    phase_ += f0 / rate_;
    double e = 0;
    if (phase_ >= 1) {
      phase_ -= 1;
      e = voiced_ ? Ramp(t_ - start_, 0.02) * Ramp(until_ - t_, 0.02) : 0;
    }
    const double glide = std::min(1.0, (t_ - start_) / 0.05);
    for (int k = 0; k < 3; ++k) {
      const double f = from_[k] + glide * (to_[k] - from_[k]);
      const double r = std::exp(-kPi * (80 + 40 * k) / rate_);
      const double y = (1 - r) * e + 2 * r * std::cos(2 * kPi * f / rate_) * y1_[k] - r * r * y2_[k];
      y2_[k] = y1_[k];
      y1_[k] = y;
      e = y;
    }
    return e;
  }

 private:
  void NewSyllable() {
    for (int k = 0; k < 3; ++k) from_[k] = to_[k];
    to_[0] = random_.Uniform(300, 800);
    to_[1] = random_.Uniform(900, 2200);
    to_[2] = random_.Uniform(2300, 2900);
  }
  double rate_;
  sim::Random random_;
  double t_ = 0, until_ = 0.2, start_ = 0, phase_ = 0;
  bool voiced_ = false;
  double from_[3] = {500, 1500, 2500}, to_[3] = {500, 1500, 2500};
  double y1_[3] = {0, 0, 0}, y2_[3] = {0, 0, 0};
};

}  // namespace

struct BandRenderer::Impl {
  explicit Impl(const Band& b) : band(b), noise(sim::Random::Stream(b.seed, 1)), clutterRandom(sim::Random::Stream(b.seed, 2)) {
    total = static_cast<std::int64_t>(std::ceil(b.seconds * b.rate));
    sent.resize(b.stations.size());
    for (std::size_t i = 0; i < b.stations.size(); ++i) {
      StationState s;
      s.station = &b.stations[i];
      s.words = sim::Random::Stream(b.seed, 100 + 4 * i);
      s.carrier = sim::Random::Stream(b.seed, 101 + 4 * i);
      s.channel = sim::Random::Stream(b.seed, 102 + 4 * i);
      s.amplitude = Amplitude(s.station->snrDb, b.rate, b.iq);
      s.nextStart = s.station->firstS;
      s.edge = std::max(1e-4, s.station->edgeMs / 1000);
      s.qsbPhase = s.channel.Uniform(0, 2 * kPi);
      states.push_back(std::move(s));
    }
    const Clutter& c = b.clutter;
    for (double hz : c.carriersHz) {
      carriers.push_back({hz, std::polar(1.0, clutterRandom.Uniform(0, 2 * kPi))});
    }
    if (c.speech) {
      // The level: the syllables' mean power, measured on a stretch first.
      Speech probe(b.rate, b.seed);
      double power = 0;
      const auto n = static_cast<std::size_t>(30 * b.rate);
      for (std::size_t i = 0; i < n; ++i) {
        const double v = probe.Next();
        power += v * v;
      }
      speechGain = std::sqrt(std::pow(10.0, c.speechDb / 10) * 5000 / b.rate / (power / static_cast<double>(n)));
      speech = std::make_unique<Speech>(b.rate, b.seed);
    }
    nextToggle = c.slowKeyed ? clutterRandom.Uniform(1, 4) : 1e300;
  }

  void Schedule(StationState& s, double now) {
    while (!s.active && !s.done && s.nextStart <= now) {
      const std::string text = OverText(*s.station, s.words);
      s.over = sim::Key(text, s.station->fist, s.words, s.nextStart);
      if (s.over.end + s.edge > band.seconds - 1) {
        s.done = true;
        break;
      }
      Sent& out = sent[static_cast<std::size_t>(&s - states.data())];
      if (!out.text.empty()) out.text += ' ';
      out.text += s.over.text;
      out.times.push_back(s.over.marks.front().start);
      out.times.push_back(s.over.end);
      s.mark = 0;
      s.active = true;
      s.phasor = std::polar(1.0, s.carrier.Uniform(0, 2 * kPi));
      const double length = s.over.end + s.edge - s.nextStart;
      const auto count = static_cast<std::size_t>(std::ceil(length * kGainRate)) + 2;
      s.gains = sim::FadingGains(s.station->fading, kGainRate, count, s.channel);
    }
  }

  double Envelope(StationState& s, double t) {
    const std::vector<sim::Mark>& marks = s.over.marks;
    while (s.mark < marks.size() && marks[s.mark].end + s.edge < t) ++s.mark;
    double v = 0;
    for (std::size_t m = s.mark; m < marks.size() && marks[m].start < t; ++m) {
      v = std::max(v, Ramp(t - marks[m].start, s.edge) * (1 - Ramp(t - marks[m].end, s.edge)));
    }
    return v;
  }

  void AddStation(StationState& s, std::int64_t first, std::size_t n) {
    const double rate = band.rate;
    const BandStation& st = *s.station;
    // The drift is slow: one frequency per block.
    const double f = st.offsetHz + st.driftHzPerMin * static_cast<double>(first) / rate / 60;
    const std::complex<double> step = std::polar(1.0, 2 * kPi * f / rate);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(first + static_cast<std::int64_t>(i)) / rate;
      if (!s.active) {
        Schedule(s, t);
        if (!s.active) {
          if (s.done) return;
          const auto skip = static_cast<std::int64_t>(std::ceil(s.nextStart * rate)) - first;
          if (skip >= static_cast<std::int64_t>(n)) return;
          i = static_cast<std::size_t>(std::max<std::int64_t>(static_cast<std::int64_t>(i), skip - 1));
          continue;
        }
      }
      s.phasor *= step;
      const double env = Envelope(s, t);
      if (env > 0) {
        const double x = (t - s.nextStart) * kGainRate;
        const auto k = std::min(static_cast<std::size_t>(x), s.gains.size() - 2);
        const double w = std::min(1.0, x - static_cast<double>(k));
        const std::complex<double> g = s.gains[k] * (1 - w) + s.gains[k + 1] * w;
        const double q = st.qsb.depth < 1 && st.qsb.periodS > 0
                             ? st.qsb.depth + (1 - st.qsb.depth) * (0.5 + 0.5 * std::cos(2 * kPi * t / st.qsb.periodS + s.qsbPhase))
                             : 1.0;
        mix[i] += s.amplitude * env * q * g * s.phasor;
      }
      if (t > s.over.end + s.edge) {
        s.active = false;
        s.phasor /= std::abs(s.phasor);
        s.nextStart = t + s.words.Uniform(st.pauseMinS, st.pauseMaxS);
      }
    }
    s.phasor /= std::abs(s.phasor);
  }

  void AddClutter(std::int64_t first, std::size_t n) {
    const Clutter& c = band.clutter;
    const double rate = band.rate;
    const double a = Amplitude(c.carrierDb, rate, band.iq);
    for (std::size_t k = 0; k < carriers.size(); ++k) {
      Carrier& carrier = carriers[k];
      const double hz = carrier.hz + c.carrierDriftHzPerMin * static_cast<double>(first) / rate / 60;
      const std::complex<double> step = std::polar(1.0, 2 * kPi * hz / rate);
      for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(first + static_cast<std::int64_t>(i)) / rate;
        carrier.phasor *= step;
        double level = 1;
        if (k == 0 && c.slowKeyed) {
          if (t >= nextToggle) {
            keyedOn = !keyedOn;
            toggledAt = t;
            nextToggle = t + (keyedOn ? clutterRandom.Uniform(3, 8) : clutterRandom.Uniform(2, 6));
          }
          level = keyedOn ? Ramp(t - toggledAt, 0.005) : 1 - Ramp(t - toggledAt, 0.005);
        }
        mix[i] += a * level * carrier.phasor;
      }
      carrier.phasor /= std::abs(carrier.phasor);
    }
    double hum[16] = {};
    for (int h = 1; h <= 15; ++h) hum[h] = Amplitude(c.humDb - 3.0 * (h - 1), rate, false);
    const double sweep = Amplitude(c.sweepDb, rate, band.iq);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(first + static_cast<std::int64_t>(i)) / rate;
      double v = 0;
      if (c.hum) {
        for (int h = 1; h <= 15; ++h) v += hum[h] * std::sin(2 * kPi * 50 * h * t + h);
      }
      if (c.sweep) {
        sweepPhase += (200 + 2600 * std::fmod(t / 3, 1.0)) / rate;
        v += sweep * std::sin(2 * kPi * sweepPhase);
      }
      if (speech) v += speechGain * speech->Next();
      mix[i] += v;
    }
  }

  std::size_t Render(float* out, std::size_t frames) {
    const std::int64_t left = total - position;
    const std::size_t n = static_cast<std::size_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(left, static_cast<std::int64_t>(frames))));
    mix.assign(n, std::complex<double>(0, 0));
    if (band.noise) {
      for (auto& z : mix) z = band.iq ? noise.ComplexGaussian() : std::complex<double>(noise.Gaussian(), 0);
    }
    for (StationState& s : states) AddStation(s, position, n);
    AddClutter(position, n);
    for (std::size_t i = 0; i < n; ++i) {
      if (band.iq) {
        out[2 * i] = static_cast<float>(mix[i].real());
        out[2 * i + 1] = static_cast<float>(mix[i].imag());
      } else {
        out[i] = static_cast<float>(mix[i].real());
      }
    }
    position += static_cast<std::int64_t>(n);
    return n;
  }

  struct Carrier {
    double hz;
    std::complex<double> phasor;
  };

  const Band& band;
  sim::Random noise, clutterRandom;
  std::vector<StationState> states;
  std::vector<Sent> sent;
  std::vector<Carrier> carriers;
  std::unique_ptr<Speech> speech;
  double speechGain = 0;
  double sweepPhase = 0;
  bool keyedOn = false;
  double toggledAt = -1, nextToggle = 0;
  std::vector<std::complex<double>> mix;
  std::int64_t total = 0, position = 0;
};

BandRenderer::BandRenderer(const Band& band) : impl_(std::make_unique<Impl>(band)) {}
BandRenderer::~BandRenderer() = default;
std::size_t BandRenderer::Render(float* out, std::size_t frames) { return impl_->Render(out, frames); }
std::int64_t BandRenderer::totalFrames() const { return impl_->total; }
const std::vector<Sent>& BandRenderer::sent() const { return impl_->sent; }

}  // namespace skimbench
