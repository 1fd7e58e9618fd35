// The receiver: band-limited noise of a chosen colour, static crashes, the
// AGC, and mains hum picked up after it.
#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <utility>

#include "sim/dsp.h"
#include "sim/sim.h"
#include "sim/stream.h"

namespace tolvane::sim {
namespace {

// The passband's amplitude response for a noise colour, relative to the
// passband's geometric centre.
double NoiseAmplitude(const Noise& noise, double hz) {
  if (hz < noise.lowHz || hz > noise.highHz || hz <= 0) return 0;
  const double centre = std::sqrt(noise.lowHz * noise.highHz);
  switch (noise.colour) {
    case NoiseColour::kWhite: return 1;
    case NoiseColour::kPink: return std::sqrt(centre / hz);  // power falls 3 dB per octave
    case NoiseColour::kTilted: return std::pow(10.0, noise.tiltDbPerOctave * std::log2(hz / centre) / 20);
  }
  return 1;
}

// White Gaussian noise of unit variance through `fir`, scaled to `power`.
std::vector<float> Shaped(const std::vector<double>& fir, const std::vector<double>& excitation, double power) {
  double energy = 0;
  for (double h : fir) energy += h * h;
  const std::vector<double> filtered = dsp::Filter(excitation, fir);
  const double scale = energy > 0 ? std::sqrt(power / energy) : 0;
  std::vector<float> out(filtered.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(filtered[i] * scale);
  return out;
}

}  // namespace

std::vector<float> ReceiverNoise(const Noise& noise, double power, double rate, std::size_t count, Random& random) {
  std::vector<double> white(count);
  for (double& x : white) x = random.Gaussian();
  const std::vector<double> fir =
      dsp::DesignFir([&noise](double hz) { return NoiseAmplitude(noise, hz); }, rate, dsp::BandTaps(rate));
  return Shaped(fir, white, power);
}

NoiseStream::NoiseStream(const Noise& noise, double power, double rate, Random random) : random_(random) {
  // The made noise's band must sit well inside the raised rate's passband.
  const double lowest = std::max(kLowestNoiseRate, 4 * noise.highHz);
  const auto factor = rate >= 2 * lowest ? static_cast<std::size_t>(rate / lowest) : std::size_t{1};
  const double madeRate = rate / static_cast<double>(factor);
  const std::vector<double> fir = dsp::DesignFir([&noise](double hz) { return NoiseAmplitude(noise, hz); },
                                                 madeRate, dsp::BandTaps(madeRate));
  double energy = 0;
  for (double h : fir) energy += h * h;
  scale_ = energy > 0 ? std::sqrt(power / energy) : 0;
  filter_ = std::make_unique<dsp::StreamFilter>(fir);
  if (factor > 1) upsampler_ = std::make_unique<dsp::Upsampler>(factor);
  white_.resize(256);
}

NoiseStream::~NoiseStream() = default;

// At least `count` filtered samples at the made rate ready from used_ on.
void NoiseStream::Refill(std::size_t count) {
  if (used_ > 0 && used_ + count > ready_.size()) {
    ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(used_));
    used_ = 0;
  }
  while (ready_.size() - used_ < count) {
    for (double& x : white_) x = random_.Gaussian();
    filter_->Push(white_.data(), white_.size(), &ready_);
  }
}

void NoiseStream::Next(float* out, std::size_t count) {
  if (!upsampler_) {
    Refill(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(ready_[used_ + i] * scale_);
    used_ += count;
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (upsampler_->Hungry()) {
      Refill(1);
      upsampler_->Take(ready_[used_++]);
    }
    out[i] = static_cast<float>(upsampler_->Next() * scale_);
  }
}

std::vector<float> StaticCrashes(const Crashes& crashes, const Noise& band, double referencePower, double rate,
                                 std::size_t count, Random& random, std::vector<double>* times) {
  std::vector<double> excitation(count, 0.0);
  const double duration = static_cast<double>(count) / rate;
  const double decayS = std::max(1e-4, crashes.decayMs / 1000);
  const double riseS = 0.001;
  double t = crashes.perSecond > 0 ? random.Exponential(1 / crashes.perSecond) : duration;
  while (t < duration) {
    if (times != nullptr) times->push_back(t);
    // Each crash's peak scattered +-6 dB (log-uniform) around the level.
    const double peakDb = crashes.levelDb + random.Uniform(-6, 6);
    const double amplitude = std::sqrt(referencePower * std::pow(10.0, peakDb / 10));
    const auto first = static_cast<std::size_t>(t * rate);
    const auto last = std::min(count, static_cast<std::size_t>((t + riseS + 6 * decayS) * rate) + 1);
    for (std::size_t n = first; n < last; ++n) {
      const double age = static_cast<double>(n) / rate - t;
      const double envelope = age < riseS ? age / riseS : std::exp(-(age - riseS) / decayS);
      excitation[n] += amplitude * envelope * random.Gaussian();
    }
    t += random.Exponential(1 / crashes.perSecond);
  }
  // In the passband, with the power the excitation had: white noise of
  // variance P comes out of the filter with variance P.
  Noise plain = band;
  plain.colour = NoiseColour::kWhite;
  const std::vector<double> fir =
      dsp::DesignFir([&plain](double hz) { return NoiseAmplitude(plain, hz); }, rate, dsp::BandTaps(rate));
  return Shaped(fir, excitation, 1.0);
}

void ApplyAgc(const Agc& agc, double target, double rate, std::vector<float>* audio) {
  const double attack = 1 - std::exp(-1 / (std::max(0.01, agc.attackMs) / 1000 * rate));
  const double release = std::exp(-1 / (std::max(0.01, agc.releaseMs) / 1000 * rate));
  const auto hang = static_cast<long>(std::max(0.0, agc.hangMs) / 1000 * rate);
  const double floorLevel = target / std::pow(10.0, agc.maxGainDb / 20);
  // The detector sees the peak of the last cycle of the lowest audio tone
  // (300 Hz), so a steady tone gives a steady level and the attack acts on
  // the envelope, not on each half-cycle.
  const auto window = static_cast<std::size_t>(std::ceil(rate / 300));
  std::deque<std::pair<std::size_t, double>> recent;  // decreasing magnitudes
  std::vector<float>& x = *audio;
  double level = floorLevel;
  long holding = 0;
  for (std::size_t n = 0; n < x.size(); ++n) {
    const double magnitude = std::abs(static_cast<double>(x[n]));
    while (!recent.empty() && recent.back().second <= magnitude) recent.pop_back();
    recent.emplace_back(n, magnitude);
    if (recent.front().first + window <= n) recent.pop_front();
    const double envelope = recent.front().second;
    if (envelope > level) {
      level += attack * (envelope - level);
      holding = hang;
    } else if (holding > 0) {
      --holding;
    } else {
      level = std::max(floorLevel, level * release);
    }
    x[n] = static_cast<float>(x[n] * target / std::max(level, floorLevel));
  }
}

void AddHum(const Hum& hum, double referencePower, double rate, Random& random, std::vector<float>* audio) {
  const double fundamental = std::sqrt(2 * referencePower * std::pow(10.0, hum.levelDb / 10));
  for (int h = 1; h <= hum.harmonics + 1; ++h) {
    const double amplitude = fundamental / h;  // as a rectifier's harmonics fall
    const double phase = random.Uniform(0, 2 * dsp::kPi);
    const double step = 2 * dsp::kPi * hum.mainsHz * h / rate;
    if (hum.mainsHz * h >= rate / 2) break;
    for (std::size_t n = 0; n < audio->size(); ++n) {
      (*audio)[n] += static_cast<float>(amplitude * std::cos(std::fmod(step * static_cast<double>(n), 2 * dsp::kPi) + phase));
    }
  }
}

}  // namespace tolvane::sim
