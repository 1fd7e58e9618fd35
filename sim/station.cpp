// One station: its key shape, its carrier (chirp, drift, phase) as a
// complex envelope, and mixing that envelope to its pitch.
#include <algorithm>
#include <cmath>

#include "sim/dsp.h"
#include "sim/sim.h"

namespace tolvane::sim {

std::vector<float> KeyShape(const Keying& keying, const Transmitter& tx, double rate, std::size_t count) {
  std::vector<float> shape(count, 0.0f);
  const double edge = tx.clicks ? 0.0 : std::max(0.0, tx.edgeMs) / 1000;
  // Raised-cosine rise from the key-down and fall from the key-up, each
  // `edge` long, so the half-amplitude points keep the mark's length.
  auto ramp = [edge](double x) {
    if (edge <= 0) return x >= 0 ? 1.0 : 0.0;
    if (x <= 0) return 0.0;
    if (x >= edge) return 1.0;
    return 0.5 - 0.5 * std::cos(dsp::kPi * x / edge);
  };
  for (const Mark& m : keying.marks) {
    const auto first = static_cast<std::size_t>(std::max(0.0, std::floor(m.start * rate)));
    const auto last = static_cast<std::size_t>(std::max(0.0, std::ceil((m.end + edge) * rate)));
    for (std::size_t n = first; n <= last && n < count; ++n) {
      const double t = static_cast<double>(n) / rate;
      const double v = ramp(t - m.start) * (1 - ramp(t - m.end));
      shape[n] = std::max(shape[n], static_cast<float>(v));
    }
  }
  return shape;
}

std::vector<Complex> StationBaseband(const Keying& keying, const Transmitter& tx, double rate, std::size_t count,
                                     Random& random) {
  const std::vector<float> shape = KeyShape(keying, tx, rate, count);
  std::vector<Complex> out(count);
  double phase = random.Uniform(0, 2 * dsp::kPi);
  std::size_t nextMark = 0;
  double markStart = -1e9;
  const double chirpS = std::max(1e-6, tx.chirpMs / 1000);
  for (std::size_t n = 0; n < count; ++n) {
    const double t = static_cast<double>(n) / rate;
    while (nextMark < keying.marks.size() && keying.marks[nextMark].start <= t) {
      markStart = keying.marks[nextMark].start;
      if (tx.freshPhase) phase = random.Uniform(0, 2 * dsp::kPi);
      ++nextMark;
    }
    double offsetHz = tx.driftHzPerMin * t / 60;
    if (tx.chirpHz != 0) offsetHz += tx.chirpHz * std::exp(-(t - markStart) / chirpS);
    out[n] = Complex(std::polar(static_cast<double>(shape[n]), phase));
    phase = std::fmod(phase + 2 * dsp::kPi * offsetHz / rate, 2 * dsp::kPi);
  }
  return out;
}

void MixReal(const std::vector<Complex>& baseband, double offsetHz, double gain, double rate,
             std::vector<float>* audio) {
  if (audio->size() < baseband.size()) audio->resize(baseband.size(), 0.0f);
  const double step = 2 * dsp::kPi * offsetHz / rate;
  for (std::size_t n = 0; n < baseband.size(); ++n) {
    // The phase from the sample index each time, so long recordings keep
    // their pitch exactly.
    const double phase = std::fmod(step * static_cast<double>(n), 2 * dsp::kPi);
    const std::complex<double> z = std::complex<double>(baseband[n]) * std::polar(gain, phase);
    (*audio)[n] += static_cast<float>(z.real());
  }
}

void MixComplex(const std::vector<Complex>& baseband, double offsetHz, double gain, double rate,
                std::vector<Complex>* iq) {
  if (iq->size() < baseband.size()) iq->resize(baseband.size());
  const double step = 2 * dsp::kPi * offsetHz / rate;
  for (std::size_t n = 0; n < baseband.size(); ++n) {
    const double phase = std::fmod(step * static_cast<double>(n), 2 * dsp::kPi);
    (*iq)[n] += Complex(std::complex<double>(baseband[n]) * std::polar(gain, phase));
  }
}

}  // namespace tolvane::sim
