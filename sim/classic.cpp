// The classic test-signal synthesiser, moved here unchanged so that the
// first accuracy table and the robust recogniser's tests keep their samples.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "morse/morse.h"
#include "sim/sim.h"

namespace tolvane::sim {

namespace {

struct Element {
  bool on;
  double seconds;
};

// The keying of `text`: words split on spaces, unknown characters skipped.
std::vector<Element> Timeline(const std::string& text, const Signal& s, std::mt19937& random) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (c == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else if (LookupCode(c) != nullptr) {
      word += c;
    }
  }
  std::vector<Element> out;
  std::uniform_real_distribution<double> wobble(-s.jitter, s.jitter);
  auto add = [&](bool on, double seconds) {
    out.push_back({on, std::max(0.2 * seconds, seconds * (1 + (s.jitter > 0 ? wobble(random) : 0.0)))});
  };
  const std::size_t half = words.size() / 2;
  for (std::size_t w = 0; w < words.size(); ++w) {
    const double wpm = (s.speedChangeWpm > 0 && w >= half) ? s.speedChangeWpm : s.wpm;
    const double dot = 1.2 / wpm;
    // Farnsworth (ARRL): characters at `wpm`, the gaps stretched so that a
    // 50-unit word takes as long as at the overall speed.
    double spacing = dot;
    if (s.farnsworth > 0 && s.farnsworth < wpm) {
      spacing = (60.0 * wpm - 37.2 * s.farnsworth) / (wpm * s.farnsworth) / 19.0;
    }
    if (w > 0) add(false, 7 * spacing);
    for (std::size_t c = 0; c < words[w].size(); ++c) {
      if (c > 0) add(false, 3 * spacing);
      const std::string code = LookupCode(words[w][c]);
      for (std::size_t e = 0; e < code.size(); ++e) {
        if (e > 0) add(false, dot);
        add(true, (code[e] == '-' ? 3 : 1) * dot);
      }
    }
  }
  return out;
}

}  // namespace

// 8000 Hz 16-bit mono samples of `text` keyed as `s` says.
std::vector<std::int16_t> Synthesize(const std::string& text, const Signal& s) {
  constexpr double kRate = 8000;
  constexpr double kPi = 3.14159265358979323846;
  std::mt19937 random(s.seed);
  std::vector<Element> elements = Timeline(text, s, random);
  elements.insert(elements.begin(), {false, s.leadS});
  elements.push_back({false, s.trailS});
  std::vector<float> key;
  double t = 0;
  for (const Element& e : elements) {
    const auto end = static_cast<std::size_t>(std::llround((t + e.seconds) * kRate));
    key.resize(std::max(key.size(), end), 0.0f);
    for (auto i = static_cast<std::size_t>(std::llround(t * kRate)); i < end; ++i) key[i] = e.on ? 1.0f : 0.0f;
    t += e.seconds;
  }
  // Raised-cosine edges: the key's level moves along the ramp one step per
  // sample, so no element is clipped.
  const int edge = std::max(1, static_cast<int>(s.edgeMs * kRate / 1000));
  std::uniform_real_distribution<double> anyPhase(0, 2 * kPi);
  double phase0 = anyPhase(random);
  const double step = 2 * kPi * s.pitchHz / kRate;
  // SNR = (A^2 / 2) / (sigma^2 * 2500 / 4000) for white noise of variance
  // sigma^2 spread over 0 to 4000 Hz.
  const double sigma = s.noise ? s.noiseRms : 0;
  const double amplitude =
      s.noise ? std::sqrt(2 * std::pow(10, s.snrDb / 10) * 2500 / (kRate / 2)) * sigma : s.amplitude;
  std::normal_distribution<double> gauss(0, sigma > 0 ? sigma : 1);
  std::vector<std::int16_t> out(key.size());
  int level = 0;
  for (std::size_t n = 0; n < key.size(); ++n) {
    if (s.freshPhase && key[n] > 0 && level == 0) phase0 = anyPhase(random);
    level = key[n] > 0 ? std::min(edge, level + 1) : std::max(0, level - 1);
    const double shape = 0.5 - 0.5 * std::cos(kPi * level / edge);
    double fade = 1;
    if (s.fadeDepth < 1) {
      fade = s.fadeDepth + (1 - s.fadeDepth) * (0.5 + 0.5 * std::cos(2 * kPi * static_cast<double>(n) / (s.fadePeriodS * kRate)));
    }
    double v = amplitude * fade * shape * std::sin(phase0 + step * static_cast<double>(n));
    if (sigma > 0) v += gauss(random);
    out[n] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
  }
  return out;
}

// Random text of words of 2 to 6 characters drawn from `alphabet`, at least
// `length` characters long.
std::string RandomText(std::size_t length, std::uint32_t seed, const std::string& alphabet) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> wordLength(2, 6);
  std::string text;
  while (text.size() < length) {
    if (!text.empty()) text += ' ';
    for (int i = wordLength(random); i > 0; --i) text += alphabet[pick(random)];
  }
  return text;
}

}  // namespace tolvane::sim
