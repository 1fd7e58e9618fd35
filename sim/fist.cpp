// Operators' keying: machine, straight key, bug and paddle timing, with
// weighting, jitter, a wandering speed and pauses between exchanges.
#include <algorithm>
#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "morse/morse.h"
#include "sim/sim.h"

namespace tolvane::sim {

// The speed factor over time: straight lines between random values every
// 10 s, so the speed wanders slowly within +-drift. Asked at times that
// never go back, it keeps only the two knots around the last one.
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
    while (first_ + knots_.size() < index + 2) knots_.push_back(Draw());
    while (first_ < index) knots_.pop_front(), ++first_;
    const double t = position - static_cast<double>(index);
    return knots_[0] + t * (knots_[1] - knots_[0]);
  }

 private:
  static constexpr double kKnotS = 10;
  double Draw() { return 1 + random_.Uniform(-drift_, drift_); }
  double drift_;
  Random& random_;
  std::deque<double> knots_;
  std::size_t first_ = 0;  // the index of knots_[0]
};

namespace {

bool ByHand(FistKind kind, Hand::Length length, bool afterDash) {
  using Length = Hand::Length;
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

bool ParseFistKind(const std::string& name, FistKind* kind) {
  for (FistKind k : {FistKind::kMachine, FistKind::kStraight, FistKind::kBug, FistKind::kPaddle}) {
    // FistName says "straight key".
    if (name == (k == FistKind::kStraight ? std::string("straight") : std::string(FistName(k)))) {
      *kind = k;
      return true;
    }
  }
  return false;
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

Hand::Hand(const Fist& fist, Random& random, double startS)
    : fist_(fist), random_(random), speed_(std::make_unique<SpeedCurve>(fist.speedDrift, random)), startS_(startS),
      t_(startS), wpm_(std::max(1.0, fist.wpm)) {
  // Farnsworth (ARRL): letter and word gaps stretched so that a 50-unit word
  // takes as long as at the overall speed.
  if (fist.farnsworthWpm > 0 && fist.farnsworthWpm < wpm_) {
    spacingScale_ = (60.0 * wpm_ - 37.2 * fist.farnsworthWpm) / (wpm_ * fist.farnsworthWpm) / 19.0 / (1.2 / wpm_);
  }
  // Hand-timed gaps stay inside their class, 10 % clear of the geometric
  // means of neighbouring classes, so the keying itself never turns a
  // letter gap into a word gap (the 1.5x rules leave room for that).
  elementLetter_ = std::sqrt(fist.elementGap * fist.letterGap * spacingScale_);
  letterWord_ = std::sqrt(fist.letterGap * fist.wordGap) * spacingScale_;
}

Hand::~Hand() = default;

double Hand::Next(Length kind, double units) {
  constexpr double kClear = 1.1;
  const double unitS = 1.2 / (wpm_ * speed_->At(t_ - startS_));
  double u = units;
  if (fist_.jitter > 0 && ByHand(fist_.kind, kind, afterDash_)) u *= 1 + random_.Uniform(-fist_.jitter, fist_.jitter);
  switch (kind) {
    case Length::kElementGap: u = std::min(u, elementLetter_ / kClear); break;
    case Length::kLetterGap: u = std::clamp(u, elementLetter_ * kClear, letterWord_ / kClear); break;
    case Length::kWordGap: u = std::max(u, letterWord_ * kClear); break;
    default: u = std::max(u, 0.2 * units); break;
  }
  t_ += u * unitS;
  if (kind == Length::kDot || kind == Length::kDash) afterDash_ = kind == Length::kDash;
  return u * unitS;
}

double Hand::Mark(bool dash) {
  return dash ? Next(Length::kDash, fist_.weight * fist_.dashDot) : Next(Length::kDot, fist_.weight);
}
double Hand::ElementGap() { return Next(Length::kElementGap, fist_.elementGap); }
double Hand::LetterGap() { return Next(Length::kLetterGap, fist_.letterGap * spacingScale_); }
double Hand::WordGap() {
  return Next(Length::kWordGap, fist_.wordGap * spacingScale_);
}
double Hand::Pause() {
  const double before = t_;
  t_ = before + std::max(WordGap(), random_.Uniform(fist_.pauseMinS, fist_.pauseMaxS));
  return t_ - before;
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
  Hand hand(fist, random, startS);
  for (std::size_t x = 0; x < exchanges.size(); ++x) {
    if (x > 0) {
      hand.Pause();
      keying.text += ' ';
    }
    keying.exchangeStarts.push_back(keying.text.size());
    const std::string& exchange = exchanges[x];
    bool wordGapNext = false;
    bool firstInExchange = true;
    for (char c : exchange) {
      keying.text += c;
      if (c == ' ') {
        wordGapNext = true;
        continue;
      }
      if (!firstInExchange) wordGapNext ? hand.WordGap() : hand.LetterGap();
      firstInExchange = false;
      wordGapNext = false;
      CharTime character{c, hand.time(), hand.time()};
      const std::string code = LookupCode(c);
      for (std::size_t e = 0; e < code.size(); ++e) {
        if (e > 0) hand.ElementGap();
        const double start = hand.time();
        hand.Mark(code[e] == '-');
        keying.marks.push_back({start, hand.time()});
      }
      character.end = hand.time();
      keying.characters.push_back(character);
    }
  }
  keying.end = keying.marks.empty() ? startS : hand.time();
  return keying;
}

}  // namespace tolvane::sim
