// A whole scenario: every station keyed, faded and mixed, then the
// receiver's noise, static, AGC, hum and output level.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/dsp.h"
#include "sim/sim.h"

namespace tolvane::sim {
namespace {

struct Stations {
  std::vector<Keying> keyings;
  std::size_t count = 0;
};

Stations KeyAll(const Scenario& scenario) {
  Stations s;
  double end = 0;
  for (std::size_t i = 0; i < scenario.stations.size(); ++i) {
    const Station& station = scenario.stations[i];
    Random random = Random::Stream(scenario.seed, StationStream(i, 0));
    s.keyings.push_back(Key(station.text, station.fist, random, station.startS));
    const double edge = station.tx.clicks ? 0 : station.tx.edgeMs / 1000;
    end = std::max(end, s.keyings.back().end + edge);
  }
  s.count = static_cast<std::size_t>(std::ceil((end + std::max(0.0, scenario.trailS)) * scenario.sampleRate));
  return s;
}

// Station i's complex envelope, with its key-down power set to its level
// (the wanted station's to 1).
std::vector<Complex> Envelope(const Scenario& scenario, std::size_t i, const Keying& keying, std::size_t count) {
  const Station& station = scenario.stations[i];
  const double rate = scenario.sampleRate;
  Random carrier = Random::Stream(scenario.seed, StationStream(i, 1));
  Random channel = Random::Stream(scenario.seed, StationStream(i, 2));
  std::vector<Complex> b = StationBaseband(keying, station.tx, rate, count, carrier);
  ApplyChannel(station.fading, station.qsb, rate, channel, &b);
  SetKeyDownPower(KeyShape(keying, station.tx, rate, count), std::pow(10.0, (i == 0 ? 0 : station.levelDb) / 10), &b);
  return b;
}

void Append(std::string* out, const char* format, double a = 0, double b = 0, double c = 0) {
  char line[160];
  std::snprintf(line, sizeof line, format, a, b, c);
  *out += line;
}

}  // namespace

Rendered Render(const Scenario& scenario, bool keepComponents) {
  Rendered r;
  r.sampleRate = scenario.sampleRate;
  const double rate = scenario.sampleRate;
  Stations stations = KeyAll(scenario);
  const std::size_t count = stations.count;
  std::vector<float> mix(count, 0.0f);
  for (std::size_t i = 0; i < scenario.stations.size(); ++i) {
    const std::vector<Complex> b = Envelope(scenario, i, stations.keyings[i], count);
    if (i == 0 && keepComponents) {
      r.wanted.assign(count, 0.0f);
      MixReal(b, scenario.stations[i].tx.pitchHz, 1.0, rate, &r.wanted);
    }
    MixReal(b, scenario.stations[i].tx.pitchHz, 1.0, rate, &mix);
  }
  // The wanted tone has amplitude 1, so its key-down power is 1/2.
  constexpr double kTonePower = 0.5;
  const Receiver& rx = scenario.receiver;
  if (rx.noise.on) {
    Random random = Random::Stream(scenario.seed, kNoiseStream);
    const double perHz = kTonePower / std::pow(10.0, rx.noise.snrDb / 10) / 2500;
    std::vector<float> noise = ReceiverNoise(rx.noise, perHz * (rx.noise.highHz - rx.noise.lowHz), rate, count, random);
    for (std::size_t n = 0; n < count; ++n) mix[n] += noise[n];
    if (keepComponents) r.noise = std::move(noise);
  }
  if (rx.crashes.on) {
    Random random = Random::Stream(scenario.seed, kCrashStream);
    const std::vector<float> crashes = StaticCrashes(rx.crashes, rx.noise, kTonePower, rate, count, random, &r.crashTimes);
    for (std::size_t n = 0; n < count; ++n) mix[n] += crashes[n];
  }
  if (rx.agc.on) ApplyAgc(rx.agc, 1.0, rate, &mix);
  if (rx.hum.on) {
    Random random = Random::Stream(scenario.seed, kHumStream);
    AddHum(rx.hum, kTonePower, rate, random, &mix);
  }
  if (rx.clipping.on) {
    const auto drive = static_cast<float>(std::pow(10.0, rx.clipping.driveDb / 20));
    for (float& x : mix) x = std::clamp(x * drive, -1.0f, 1.0f);
  } else {
    float peak = 0;
    for (float x : mix) peak = std::max(peak, std::abs(x));
    if (peak > 0) {
      const float gain = 0.9f / peak;
      for (float& x : mix) x *= gain;
    }
  }
  r.audio = std::move(mix);
  r.keyings = std::move(stations.keyings);
  return r;
}

RenderedIq RenderIq(const Scenario& scenario) {
  RenderedIq r;
  r.sampleRate = scenario.sampleRate;
  const double rate = scenario.sampleRate;
  Stations stations = KeyAll(scenario);
  const std::size_t count = stations.count;
  r.iq.assign(count, Complex(0, 0));
  for (std::size_t i = 0; i < scenario.stations.size(); ++i) {
    const std::vector<Complex> b = Envelope(scenario, i, stations.keyings[i], count);
    MixComplex(b, scenario.stations[i].tx.pitchHz, 1.0, rate, &r.iq);
  }
  const Receiver& rx = scenario.receiver;
  if (rx.noise.on) {
    // Complex white noise over the whole band: its density is the power
    // over the sample rate, and the wanted key-down power is 1.
    Random random = Random::Stream(scenario.seed, kNoiseStream);
    const double sigma = std::sqrt(rate / std::pow(10.0, rx.noise.snrDb / 10) / 2500);
    for (Complex& z : r.iq) z += Complex(sigma * random.ComplexGaussian());
  }
  if (rx.crashes.on) {
    Random random = Random::Stream(scenario.seed, kCrashStream);
    Noise wide;
    wide.lowHz = 0;
    wide.highHz = rate / 2;
    const std::vector<float> re = StaticCrashes(rx.crashes, wide, 0.5, rate, count, random);
    const std::vector<float> im = StaticCrashes(rx.crashes, wide, 0.5, rate, count, random);
    for (std::size_t n = 0; n < count; ++n) r.iq[n] += Complex(re[n], im[n]);
  }
  float peak = 0;
  for (const Complex& z : r.iq) peak = std::max(peak, std::abs(z));
  if (peak > 0) {
    for (Complex& z : r.iq) z *= 0.9f / peak;
  }
  r.keyings = std::move(stations.keyings);
  return r;
}

std::string Describe(const Scenario& scenario) {
  std::string out;
  Append(&out, "rate %.0f Hz, trail %.1f s, seed ", scenario.sampleRate, scenario.trailS);
  out += std::to_string(scenario.seed) + "\n";
  for (std::size_t i = 0; i < scenario.stations.size(); ++i) {
    const Station& s = scenario.stations[i];
    const Fist& f = s.fist;
    out += i == 0 ? "wanted: " : "other:  ";
    out += FistName(f.kind);
    Append(&out, ", %.1f WPM", f.wpm);
    if (f.farnsworthWpm > 0) Append(&out, " (Farnsworth %.1f)", f.farnsworthWpm);
    Append(&out, ", dash:dot %.2f, weight %.2f", f.dashDot, f.weight);
    Append(&out, ", gaps %.2f/%.2f/%.2f units", f.elementGap, f.letterGap, f.wordGap);
    Append(&out, ", jitter %.0f %%, drift %.0f %%", 100 * f.jitter, 100 * f.speedDrift);
    Append(&out, "; %.0f Hz", s.tx.pitchHz);
    if (i > 0) Append(&out, " at %+.1f dB", s.levelDb);
    if (s.tx.clicks) out += ", key clicks";
    if (s.tx.chirpHz != 0) Append(&out, ", chirp %.0f Hz/%.0f ms", s.tx.chirpHz, s.tx.chirpMs);
    if (s.tx.driftHzPerMin != 0) Append(&out, ", drift %+.1f Hz/min", s.tx.driftHzPerMin);
    switch (s.fading.kind) {
      case FadingKind::kNone: break;
      case FadingKind::kRayleigh: Append(&out, ", Rayleigh %.2f Hz", s.fading.spreadHz); break;
      case FadingKind::kRician: Append(&out, ", Rician K=%.1f %.2f Hz", s.fading.ricianK, s.fading.spreadHz); break;
      case FadingKind::kTwoPath:
        Append(&out, ", two paths %.2f ms apart, %.2f Hz", s.fading.delayMs, s.fading.spreadHz);
        break;
    }
    if (s.qsb.depth < 1) Append(&out, ", QSB to %.2f every %.0f s", s.qsb.depth, s.qsb.periodS);
    out += "\n  text: " + NormaliseText(s.text) + "\n";
  }
  const Receiver& rx = scenario.receiver;
  if (rx.noise.on) {
    const char* colour = rx.noise.colour == NoiseColour::kWhite ? "white" : rx.noise.colour == NoiseColour::kPink ? "pink" : "tilted";
    Append(&out, "noise: SNR %+.1f dB in 2500 Hz, %.0f-%.0f Hz, ", rx.noise.snrDb, rx.noise.lowHz, rx.noise.highHz);
    out += colour;
    if (rx.noise.colour == NoiseColour::kTilted) Append(&out, " %+.1f dB/octave", rx.noise.tiltDbPerOctave);
    out += "\n";
  }
  if (rx.crashes.on) {
    Append(&out, "crashes: %.2f/s, %+.0f dB, decay %.0f ms\n", rx.crashes.perSecond, rx.crashes.levelDb, rx.crashes.decayMs);
  }
  if (rx.agc.on) {
    Append(&out, "AGC: attack %.1f ms, hang %.0f ms, release %.0f ms\n", rx.agc.attackMs, rx.agc.hangMs, rx.agc.releaseMs);
  }
  if (rx.hum.on) {
    Append(&out, "hum: %.0f Hz and %.0f harmonics, %+.0f dB\n", rx.hum.mainsHz, rx.hum.harmonics, rx.hum.levelDb);
  }
  if (rx.clipping.on) Append(&out, "clipping: drive %+.1f dB\n", rx.clipping.driveDb);
  return out;
}

}  // namespace tolvane::sim
