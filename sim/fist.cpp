// Operators' keying: machine, straight key, bug and paddle timing, with
// weighting, jitter, a wandering speed and pauses between exchanges.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "morse/morse.h"
#include "sim/sim.h"

namespace tolvane::sim {
namespace {

// The speed factor over time: straight lines between random values every
// 10 s, so the speed wanders slowly within +-drift.
class SpeedCurve {
 public:
  SpeedCurve(double drift, Random& random) : drift_(drift), random_(random) {
    if (drift_ > 0) {
      knots_.push_back(Draw());
      knots_.push_back(Draw());
    }
  }
  double At(double seconds) {
    if (drift_ <= 0) return 1;
    const double position = std::max(0.0, seconds) / kKnotS;
    const auto index = static_cast<std::size_t>(position);
    while (knots_.size() < index + 2) knots_.push_back(Draw());
    const double t = position - static_cast<double>(index);
    return knots_[index] + t * (knots_[index + 1] - knots_[index]);
  }

 private:
  static constexpr double kKnotS = 10;
  double Draw() { return 1 + random_.Uniform(-drift_, drift_); }
  double drift_;
  Random& random_;
  std::vector<double> knots_;
};

enum class Length { kDot, kDash, kElementGap, kLetterGap, kWordGap };

bool ByHand(FistKind kind, Length length, bool afterDash) {
  switch (kind) {
    case FistKind::kMachine:
    case FistKind::kStraight:
      return true;
    case FistKind::kBug:
      return length == Length::kDash || length == Length::kLetterGap || length == Length::kWordGap ||
             (length == Length::kElementGap && afterDash);
    case FistKind::kPaddle:
      return length == Length::kLetterGap || length == Length::kWordGap;
  }
  return true;
}

}  // namespace

const char* FistName(FistKind kind) {
  switch (kind) {
    case FistKind::kMachine: return "machine";
    case FistKind::kStraight: return "straight key";
    case FistKind::kBug: return "bug";
    case FistKind::kPaddle: return "paddle";
  }
  return "?";
}

bool Readable(const Fist& fist) {
  return fist.letterGap >= 1.5 * fist.elementGap && fist.wordGap >= 1.5 * fist.letterGap;
}

Fist RandomFist(FistKind kind, double wpm, Random& random) {
  Fist f;
  f.kind = kind;
  f.wpm = wpm;
  if (kind == FistKind::kMachine) return f;
  f.weight = random.Uniform(0.8, 1.25);
  if (kind == FistKind::kPaddle) {
    // A keyer's weighting lengthens every mark and shortens the gap after
    // it by the same amount, keeping the dot period at 2 units.
    f.dashDot = (2 + f.weight) / f.weight;
    f.elementGap = 2 - f.weight;
  } else {
    f.dashDot = random.Uniform(2.5, 4.5);
    f.elementGap = random.Uniform(0.75, 1.2);
  }
  f.letterGap = random.Uniform(std::max(2.0, 1.5 * f.elementGap), 5.0);
  f.wordGap = random.Uniform(std::max(5.0, 1.5 * f.letterGap), 10.0);
  f.jitter = random.Uniform(0.05, 0.2);
  f.speedDrift = random.Uniform(0.03, 0.15);
  return f;
}

Keying Key(const std::string& text, const Fist& fist, Random& random, double startS) {
  std::vector<std::string> exchanges;
  {
    std::string current;
    for (char c : text + "|") {
      if (c == '|') {
        const std::string normal = NormaliseText(current);
        if (!normal.empty()) exchanges.push_back(normal);
        current.clear();
      } else {
        current += c;
      }
    }
  }
  Keying keying;
  SpeedCurve speed(fist.speedDrift, random);
  const double wpm = std::max(1.0, fist.wpm);
  // Farnsworth (ARRL): letter and word gaps stretched so that a 50-unit word
  // takes as long as at the overall speed.
  double spacingScale = 1;
  if (fist.farnsworthWpm > 0 && fist.farnsworthWpm < wpm) {
    spacingScale = (60.0 * wpm - 37.2 * fist.farnsworthWpm) / (wpm * fist.farnsworthWpm) / 19.0 / (1.2 / wpm);
  }
  // Hand-timed gaps stay inside their class, 10 % clear of the geometric
  // means of neighbouring classes, so the keying itself never turns a
  // letter gap into a word gap (the 1.5x rules leave room for that).
  const double elementLetter = std::sqrt(fist.elementGap * fist.letterGap * spacingScale);
  const double letterWord = std::sqrt(fist.letterGap * fist.wordGap) * spacingScale;
  constexpr double kClear = 1.1;
  double t = startS;  // the last key-up, or the first key-down
  auto length = [&](Length kind, double units, bool afterDash) {
    const double unitS = 1.2 / (wpm * speed.At(t - startS));
    double u = units;
    if (fist.jitter > 0 && ByHand(fist.kind, kind, afterDash)) u *= 1 + random.Uniform(-fist.jitter, fist.jitter);
    switch (kind) {
      case Length::kElementGap: u = std::min(u, elementLetter / kClear); break;
      case Length::kLetterGap: u = std::clamp(u, elementLetter * kClear, letterWord / kClear); break;
      case Length::kWordGap: u = std::max(u, letterWord * kClear); break;
      default: u = std::max(u, 0.2 * units); break;
    }
    return u * unitS;
  };
  for (std::size_t x = 0; x < exchanges.size(); ++x) {
    if (x > 0) {
      t += std::max(length(Length::kWordGap, fist.wordGap * spacingScale, false),
                    random.Uniform(fist.pauseMinS, fist.pauseMaxS));
      keying.text += ' ';
    }
    keying.exchangeStarts.push_back(keying.text.size());
    const std::string& exchange = exchanges[x];
    bool afterDash = false;
    bool wordGapNext = false;
    bool firstInExchange = true;
    for (char c : exchange) {
      keying.text += c;
      if (c == ' ') {
        wordGapNext = true;
        continue;
      }
      if (!firstInExchange) {
        t += wordGapNext ? length(Length::kWordGap, fist.wordGap * spacingScale, false)
                         : length(Length::kLetterGap, fist.letterGap * spacingScale, afterDash);
      }
      firstInExchange = false;
      wordGapNext = false;
      CharTime character{c, t, t};
      const std::string code = LookupCode(c);
      for (std::size_t e = 0; e < code.size(); ++e) {
        if (e > 0) t += length(Length::kElementGap, fist.elementGap, afterDash);
        const bool dash = code[e] == '-';
        const double markS = dash ? length(Length::kDash, fist.weight * fist.dashDot, false)
                                  : length(Length::kDot, fist.weight, false);
        keying.marks.push_back({t, t + markS});
        t += markS;
        afterDash = dash;
      }
      character.end = t;
      keying.characters.push_back(character);
    }
  }
  keying.end = keying.marks.empty() ? startS : t;
  return keying;
}

}  // namespace tolvane::sim
