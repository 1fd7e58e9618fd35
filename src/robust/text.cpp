#include "robust/text.h"

#include <algorithm>
#include <cmath>

#include "morse/morse.h"

namespace tolvane::robust {
namespace {

// How far `length` lies from `boundary`, in logs, over the half-width of
// the classes either side: 0 on the boundary, 1 a half-width away or more.
// A model whose classes are not apart (noise can make one) says nothing.
float Margin(double length, double boundary, double halfWidth) {
  if (!(halfWidth > 0) || !(length > 0) || !(boundary > 0)) return 0;
  return static_cast<float>(std::min(1.0, std::fabs(std::log(length / boundary)) / halfWidth));
}

// How far apart `values` lie: the larger of the distance between the
// quartiles and half that between the values an eighth in from either end.
// Noise may throw one tone in eight out; two harmonics taking turns spread
// wider than that.
double FrequencySpread(std::vector<double> values) {
  if (values.size() < 3) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return std::max(values[n * 3 / 4] - values[n / 4], (values[n - 1 - n / 8] - values[n / 8]) / 2);
}

// The text a code stands for in `charset`, or null.
const char* TextOf(const std::string& code, Charset charset) { return LookupText(charset, code.c_str()); }

// Above this score a keyed tone's energy over the noise it spans cannot be
// noise (a 30 dB tone); below the lower one it says nothing.
constexpr double kStrongEnergy = 1000;
constexpr double kGoodEnergy = 8;
constexpr int kJudged = 8;          // tones the squelch looks back over
constexpr double kOpenScore = 2.5;  // their mean log energy ratio to open
constexpr double kUnsettled = 0.5;  // more, while the noise is not known yet
constexpr double kHoldSeconds = 6;  // undecided events wait at most this long
// Once open, a character this much weaker (in log energy) than the signal's
// usual ones waits for a strong one after it: noise read between and after
// transmissions never gets one, a fade's weak letters do.
constexpr double kWeakDrop = 2;
constexpr double kReopenDrop = 2.5;    // below the last transmission's strength, at first
constexpr double kReopenRelax = 0.2;   // and this much less each second after it
constexpr double kOffsetSpreadHz = 5;  // clear tones' frequencies' spread, at most
constexpr double kShortestDot = 0.4;  // of the model's dot: shorter is no keyed tone
constexpr double kFadeStep = 2.0;    // weaker than the last character let through, at most
constexpr double kFadeMargin = 1;    // and this far above the opening score
constexpr double kSilenceSeconds = 2.5;  // without strong characters: the transmission ended
// Keying faster than this needs strong tones to open: a sweep passing the
// channel leaves a burst of weaker blips, "75 to 150 WPM".
constexpr double kFastestWpm = 90;
// And nothing opens beyond this: a voice's plosives read "250 WPM".
constexpr double kFastestStrongWpm = 150;
// A lone tone at the end opens only at a speed people key: a click where
// a long constant input stops reads as a dot at 80 WPM.
constexpr double kFastestLoneWpm = 60;

}  // namespace

Reading ReadCode(const std::string& code, const std::vector<float>& margins, Charset charset) {
  Reading r;
  r.code = code;
  r.confidence = 1;
  for (float m : margins) r.confidence = std::min(r.confidence, m);
  if (const char* text = TextOf(code, charset)) {
    r.text = text;
    return r;
  }
  // Revise only where the evidence is weak: the least certain tone read
  // the other way. A character so read is likelier than a rare prosign
  // keyed with a tone in doubt; a prosign keyed clearly stays one.
  if (!margins.empty() && code.size() <= kMaxCodeLength + 1) {
    const auto weakest = static_cast<std::size_t>(
        std::min_element(margins.begin(), margins.end()) - margins.begin());
    if (margins[weakest] < 0.5f) {
      std::string revised = code;
      revised[weakest] = revised[weakest] == '.' ? '-' : '.';
      if (const char* text = TextOf(revised, charset)) {
        r.code = revised;
        r.text = text;
        r.confidence = 0.5f * margins[weakest];
        return r;
      }
    }
  }
  if (const char* name = ProsignName(code.c_str())) {
    r.text = std::string("<") + name + ">";
    return r;
  }
  r.text = "?";
  r.confidence = 0;
  return r;
}

void TextStage::SetSignal(double pitchHz, double wpm, double snrDb) {
  pitch_ = pitchHz;
  wpm_ = wpm;
  snr_ = snrDb;
}

void TextStage::Tone(const ToneFacts& tone, const TimingModel& model) {
  if (tone.carrier) {
    // A carrier is no Morse: what it interrupted is dropped too.
    code_.clear();
    margins_.clear();
    held_.clear();
    heldStrength_.clear();
    Close(tone.end);
    return;
  }
  if (code_.empty()) {
    charStart_ = tone.start;
    charConfidence_ = 1;
    charStrength_ = 0;
    charTones_ = 0;
  }
  const double boundary = model.DashBoundary();
  const bool dash = tone.length > boundary;
  const float margin = Margin(tone.length, boundary, std::log(std::sqrt(model.dash / model.dot)));
  if (code_.size() <= 2 * kMaxCodeLength) {
    code_.push_back(dash ? '-' : '.');
    margins_.push_back(margin);
  }
  charEnd_ = tone.end;
  lastToneEnd_ = tone.end;
  // The squelch's evidence: the tone's energy over the noise it spans.
  // A clear tone that is no steady carrier (a sweep, a voice) is no
  // evidence of keying at all.
  // So is a blip far shorter than the keying's dots: a sweep's beat with
  // the channel's skirts, or a voice chopped by its pitch pulses.
  const bool keyed = tone.pure && tone.length >= kShortestDot * model.dot;
  const double strength = std::log(std::max(1.0, keyed ? tone.energyRatio : 1.0));
  charStrength_ += strength;
  ++charTones_;
  // A tone too short for its steadiness and frequency to be measured says
  // nothing about whether the squelch should open: runs of such blips
  // glide with a sweep.
  if (!tone.brief) Judge(tone, strength);
  // A strong tone keeps the transmission going before its character ends.
  if (open_ && lastStrong_ >= 0 && !Weak(strength)) lastStrong_ = tone.end;
  Decide(tone.end, false);
}

void TextStage::Judge(const ToneFacts& tone, double strength) {
  // Three strong steady tones in a row at one frequency, the first one's,
  // open at once; a glide in small steps moves away from it, and one the
  // channel follows shows as heard. One strong tone a steady vowel or a
  // sweep passing may make.
  if (strength < std::log(kStrongEnergy)) {
    strongRun_ = 0;
  } else if (strongRun_ == 0 || !runFrequencyKnown_ || !tone.offsetKnown ||
             (std::fabs(tone.offsetHz - strongOffset_) <= kOffsetSpreadHz &&
              std::fabs(tone.hz - strongHz_) <= kOffsetSpreadHz)) {
    ++strongRun_;
  } else {
    strongRun_ = 1;
    runFrequencyKnown_ = false;
  }
  if (strongRun_ == 0) runFrequencyKnown_ = false;
  if (tone.offsetKnown && !runFrequencyKnown_ && strongRun_ > 0) {
    strongOffset_ = tone.offsetHz;
    strongHz_ = tone.hz;
    runFrequencyKnown_ = true;
  }
  if (strongRun_ >= 3 && wpm_ <= kFastestStrongWpm && !voiced_ && !sealed_) open_ = true;
  recent_.push_back(strength);
  if (recent_.size() > kJudged) recent_.erase(recent_.begin());
  if (tone.offsetKnown) {
    recentOffsets_.push_back(tone.offsetHz);
    recentHz_.push_back(tone.hz);
    if (recentOffsets_.size() > kJudged) {
      recentOffsets_.erase(recentOffsets_.begin());
      recentHz_.erase(recentHz_.begin());
    }
  }
}

void TextStage::Gap(double length, double startSeconds, const TimingModel& model) {
  if (code_.empty() && !wordOpen_) return;
  const double letter = model.LetterBoundary();
  const double word = model.WordBoundary();
  const float margin = Margin(length, letter, std::log(std::sqrt(model.ShortestLetterGap() / model.elementGap)));
  charConfidence_ = std::min(charConfidence_, margin);
  if (length >= letter) EndCharacter();
  if (length >= word) EndWord(startSeconds);
}

void TextStage::OpenGap(double length, double nowSeconds, const TimingModel& model) {
  if (length >= model.LetterBoundary()) EndCharacter();
  if (length >= model.WordBoundary() && model.letterGapSeen) EndWord(lastToneEnd_);
  // A long silence ends a transmission: the squelch judges the next afresh.
  silence_ = std::max(kSilenceSeconds, 3 * model.wordGap / rate_);
  Decide(nowSeconds, false);
  if (length >= silence_ * rate_) Close(nowSeconds);
}

void TextStage::EndCharacter() {
  if (code_.empty()) return;
  Reading r = ReadCode(code_, margins_, charset_);
  r.confidence = std::min(r.confidence, charConfidence_);
  RobustEvent e;
  e.start = charStart_;
  e.time = charEnd_;
  e.text = r.text;
  e.code = r.code;
  e.confidence = r.confidence;
  e.pitchHz = static_cast<float>(pitch_);
  e.wpm = static_cast<float>(wpm_);
  e.snrDb = static_cast<float>(snr_);
  code_.clear();
  margins_.clear();
  wordOpen_ = true;
  heldStrength_.push_back(charTones_ > 0 ? charStrength_ / charTones_ : 0);
  Hold(std::move(e), true);
}

void TextStage::EndWord(double atSeconds) {
  if (!wordOpen_) return;
  wordOpen_ = false;
  RobustEvent e;
  e.wordGap = true;
  e.start = atSeconds;
  e.time = atSeconds;
  e.text = " ";
  e.pitchHz = static_cast<float>(pitch_);
  e.wpm = static_cast<float>(wpm_);
  e.snrDb = static_cast<float>(snr_);
  heldStrength_.push_back(0);
  Hold(std::move(e), false);
}

void TextStage::Hold(RobustEvent e, bool) {
  held_.push_back(std::move(e));
  Decide(held_.back().time, false);
}

bool TextStage::Weak(double strength) const {
  // Far above any noise is never weak, however strong the signal was: slow
  // fading takes a clean signal down by 20 dB and more.
  return strength < std::max(kOpenScore, std::min(reference_ - kWeakDrop, std::log(kStrongEnergy)));
}

void TextStage::Decide(double nowSeconds, bool final) {
  if (!open_ && !sealed_ && !voiced_ && recent_.size() >= static_cast<std::size_t>(std::min(kJudged, 4))) {
    double mean = 0;
    for (double s : recent_) mean += s;
    mean /= static_cast<double>(recent_.size());
    double needed = settled_ ? kOpenScore : kOpenScore + kUnsettled;
    // Soon after a transmission on this frequency ended, what opens the
    // squelch again is comparable with it: key clicks of a loud station
    // beside it are keyed too, but far weaker.
    if (lastReference_ > 0) {
      needed = std::max(needed, lastReference_ - kReopenDrop - kReopenRelax * (nowSeconds - closedAt_));
    }
    // A keyed carrier keeps its frequency from tone to tone, against the
    // channel and as heard; a voice's harmonics, caught one syllable at a
    // time, do not, though the channel following a glide may keep one.
    const double spread = std::max(FrequencySpread(recentOffsets_), FrequencySpread(recentHz_));
    const bool oneFrequency = recentOffsets_.size() < 3 || spread <= kOffsetSpreadHz;
    if (mean >= needed && oneFrequency && recent_.size() >= kJudged / 2 + 2 && wpm_ <= kFastestWpm) open_ = true;
  }
  if (open_ && lastStrong_ < 0) {
    // Just opened: the strongest held sets what is usual, and what was
    // held from before the signal stood out (noise read while the keying
    // began, or in the lead-in the lock replays) does not lead the text.
    for (double s : heldStrength_) reference_ = std::max(reference_, s);
    while (!held_.empty() && (held_.front().wordGap || heldStrength_.front() < std::log(kGoodEnergy))) {
      held_.pop_front();
      heldStrength_.pop_front();
    }
    // Weak characters a word or more before the first strong one (which
    // may still be in progress: three strong tones open at once) are noise
    // read in the lead-in; a weak first letter of the keying's own first
    // word stays.
    std::size_t lead = 0;
    for (std::size_t i = 0; i < held_.size(); ++i) {
      if (held_[i].wordGap) {
        lead = i + 1;
      } else if (!Weak(heldStrength_[i])) {
        break;
      }
    }
    for (std::size_t i = 0; i < lead; ++i) {
      held_.pop_front();
      heldStrength_.pop_front();
    }
    lastStrong_ = nowSeconds;
  }
  if (open_) {
    // Release up to the last character at the signal's usual strength.
    // A character a little weaker than the last one let through follows it
    // down a fade; noise and a neighbour's clicks come in a step below.
    std::size_t last = 0;
    double previous = lastReleased_ > 0 ? lastReleased_ : reference_;
    for (std::size_t i = 0; i < held_.size(); ++i) {
      // A word gap goes with the character before it.
      if (held_[i].wordGap) {
        if (last == i) ++last;
        continue;
      }
      const double s = heldStrength_[i];
      const bool strong = !Weak(s);
      if (!strong && !(s >= kOpenScore + kFadeMargin && s >= previous - kFadeStep)) continue;
      last = i + 1;
      previous = s;
      if (strong) reference_ = reference_ > 0 ? 0.8 * reference_ + 0.2 * s : s;
      lastStrong_ = std::max(lastStrong_, held_[i].time);
    }
    if (last > 0) lastReleased_ = previous;
    for (std::size_t i = 0; i < last; ++i) {
      RobustEvent& e = held_[i];
      if (e.wordGap && released_ == 0) continue;  // a word gap never leads the text
      if (!e.wordGap) {
        ++released_;
        lineHasText_ = true;
      }
      released.push_back(std::move(e));
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(last));
    heldStrength_.erase(heldStrength_.begin(), heldStrength_.begin() + static_cast<std::ptrdiff_t>(last));
    if (final || nowSeconds - lastStrong_ > silence_) {
      // Weak characters no strong one followed were noise, and a silence
      // this long ends the transmission.
      if (!final) Close(nowSeconds);
      held_.clear();
      heldStrength_.clear();
    }
    return;
  }
  // Undecided for too long, or at the end: what was held was not Morse.
  while (!held_.empty() && (final || nowSeconds - held_.front().time > kHoldSeconds)) {
    held_.pop_front();
    heldStrength_.pop_front();
  }
}

void TextStage::EndLine(double atSeconds) {
  if (!lineHasText_) return;
  lineHasText_ = false;
  RobustEvent e;
  e.lineEnd = true;
  e.start = atSeconds;
  e.time = atSeconds;
  released.push_back(std::move(e));
}

void TextStage::Close(double nowSeconds) {
  if (reference_ > 0) {
    lastReference_ = reference_;
    closedAt_ = nowSeconds;
  }
  EndLine(lastToneEnd_);
  held_.clear();
  heldStrength_.clear();
  open_ = false;
  recent_.clear();
  recentOffsets_.clear();
  recentHz_.clear();
  strongRun_ = 0;
  runFrequencyKnown_ = false;
  reference_ = 0;
  lastStrong_ = -1;
  lastReleased_ = 0;
}

void TextStage::Drop() {
  code_.clear();
  margins_.clear();
  Close(0);
  sealed_ = false;
  lastReference_ = 0;  // another signal
}

void TextStage::Finish(double nowSeconds) {
  EndCharacter();
  // The input ends on a tone or two, each strong and steady: a lone T is
  // as much Morse as a long text. Not where another signal took the lock:
  // a sweep leaves one tone behind each time it passes.
  if (!open_ && !sealed_ && !voiced_ && strongRun_ > 0 && static_cast<std::size_t>(strongRun_) >= recent_.size() &&
      wpm_ <= kFastestLoneWpm) {
    open_ = true;
  }
  Decide(nowSeconds, true);
  EndLine(lastToneEnd_);
}

void TextStage::Take(std::vector<RobustEvent>* out) {
  for (RobustEvent& e : released) out->push_back(std::move(e));
  released.clear();
}

}  // namespace tolvane::robust
