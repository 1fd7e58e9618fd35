// The text stage: codes read into characters, prosigns and '?', and the
// squelch that holds characters back until the keying is judged Morse.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "robust/text.h"

namespace tolvane::robust {
namespace {

TEST(ReadCode, NamesWhatACodeIs) {
  struct Case {
    std::string code;
    std::vector<float> margins;
    std::string text;
  };
  const Case cases[] = {
      {".-", {1, 1}, "A"},
      {"...-.-", {1, 1, 1, 1, 1, 1}, "<SK>"},
      {"........", std::vector<float>(8, 1.0f), "<HH>"},
      {"...---...", std::vector<float>(9, 1.0f), "<SOS>"},
      // No character, no prosign: a confident reading stays '?'...
      {"..--.-.", std::vector<float>(7, 1.0f), "?"},
      {"--..-.", std::vector<float>(6, 1.0f), "?"},
      // ...but where its least certain tone read the other way makes a
      // character, that is taken.
      {"--..-.", {1, 1, 1, 1, 1, 0.2f}, ","},
      {"--..-.", {0.1f, 1, 1, 1, 1, 0.2f}, "\""},
      {".-.-.", {1, 1, 1, 1, 1}, "+"},
      // A rare prosign keyed clearly is named; with a tone in doubt whose
      // other reading makes a character, the character is likelier.
      {"..--", {1, 1, 1, 1}, "<UT>"},
      {"..--", {1, 1, 1, 0.2f}, "F"},
      {".-.-", {1, 1, 0.3f, 1}, "J"},
      {"---.", {1, 1, 1, 0.3f}, "<OE>"},  // ---- is no character either
  };
  for (const Case& c : cases) EXPECT_EQ(ReadCode(c.code, c.margins).text, c.text) << c.code;
}

// An extended alphabet reads its letters where the basic one names the
// code; a code no charset has stays a prosign or '?'.
TEST(ReadCode, ReadsTheCharsetAsked) {
  struct Case {
    Charset charset;
    std::string code;
    std::string text;
  };
  const Case cases[] = {
      {Charset::kBasic, ".-.-", "<AA>"},       {Charset::kLatin, ".-.-", "Ä"},
      {Charset::kCyrillic, ".-.-", "Я"},       {Charset::kBasic, "---.", "<OE>"},
      {Charset::kLatin, "---.", "Ö"},          {Charset::kLatin, "..--", "Ü"},
      {Charset::kGreek, ".-", "Α"},            {Charset::kCyrillic, "...-.-", "<SK>"},
      {Charset::kLatin, "..--.-.", "?"},       {Charset::kBasic, "----", "<MM>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadCode(c.code, std::vector<float>(c.code.size(), 1.0f), c.charset).text, c.text)
        << CharsetName(c.charset) << " " << c.code;
  }
}

ToneFacts Tone(double start, double lengthMs, double energy) {
  ToneFacts t;
  t.start = start;
  t.end = start + lengthMs / 1000;
  t.length = lengthMs;
  t.energyRatio = energy;
  return t;
}

// Keys `code` from `start` at 60 ms units into `stage`, with gaps; returns
// the end.
// `offsetHz`, where given, is each tone's measured frequency in turn.
double Key(TextStage* stage, const std::string& code, double start, double energy, const TimingModel& m,
           const std::vector<double>& offsetHz = {}) {
  double t = start;
  for (std::size_t i = 0; i < code.size(); ++i) {
    if (i > 0) {
      stage->Gap(60, t, m);
      t += 0.06;
    }
    const double length = code[i] == '-' ? 180 : 60;
    ToneFacts tone = Tone(t, length, energy);
    if (!offsetHz.empty()) {
      tone.offsetKnown = true;
      tone.offsetHz = offsetHz[i % offsetHz.size()];
    }
    stage->Tone(tone, m);
    t += length / 1000;
  }
  stage->Gap(180, t, m);
  return t + 0.18;
}

std::string Released(TextStage* stage) {
  std::vector<RobustEvent> events;
  stage->Take(&events);
  std::string out;
  for (const RobustEvent& e : events) out += e.lineEnd ? "|" : e.text;
  return out;
}

TEST(TextStage, HoldsWeakKeyingUntilItStandsOutAndDropsNoise) {
  TimingModel m;
  // Weak tones, as noise makes: nothing comes out, even at the end.
  TextStage noise;
  double t = 0;
  for (const char* code : {".", "-", "..", ".-."}) t = Key(&noise, code, t, 2, m);
  noise.Finish(t);
  EXPECT_EQ(Released(&noise), "");
  // A signal that stands out: its first characters are released once it
  // has, the weak noise before it is not.
  TextStage signal;
  t = Key(&signal, ".", 0, 2, m);
  signal.OpenGap(3000, t + 3, m);  // a long silence ends what came before
  t += 3;
  for (const char* code : {"-.-.", "--.-", "-.."}) t = Key(&signal, code, t, 40, m);
  signal.Finish(t);
  EXPECT_EQ(Released(&signal), "CQD|");
  // Noise read a word before the keying (the lead-in a lock replays),
  // clear of the floor but far below the signal, does not lead the text
  // either; a weak first letter of the keying's own word does.
  struct Lead {
    bool wordGap;  // between the weak characters and the strong
    const char* want;
  };
  for (const Lead& c : {Lead{true, "CQD|"}, Lead{false, "IECQD|"}}) {
    TextStage lead;
    t = 0;
    for (const char* code : {"..", "."}) t = Key(&lead, code, t, 12, m);
    if (c.wordGap) {
      lead.Gap(600, t, m);
      t += 0.6;
    }
    for (const char* code : {"-.-.", "--.-", "-.."}) t = Key(&lead, code, t, 5000, m);
    lead.Finish(t);
    EXPECT_EQ(Released(&lead), c.want) << (c.wordGap ? "a word before" : "in the same word");
  }
}

// Noise can drive the timing model into classes that are not apart (a
// letter gap shorter than the element gap, a dash no longer than a dot);
// a confidence stays between 0 and 1 all the same.
TEST(TextStage, ConfidenceStaysInRangeWhateverTheModel) {
  struct Case {
    const char* name;
    double dot, dash, elementGap, letterGap;
  };
  const Case cases[] = {{"letter gap below the element gap", 60, 180, 60, 40},
                        {"dash below the dot", 60, 50, 60, 180},
                        {"all alike", 60, 60, 60, 60}};
  for (const Case& c : cases) {
    TimingModel m;
    m.dot = c.dot;
    m.dash = c.dash;
    m.elementGap = c.elementGap;
    m.letterGap = c.letterGap;
    TextStage stage;
    double t = 0;
    for (const char* code : {"-.-.", "--.-", "-..", "."}) t = Key(&stage, code, t, 5000, m);
    stage.Gap(500, t, m);
    stage.Finish(t + 0.5);
    std::vector<RobustEvent> events;
    stage.Take(&events);
    EXPECT_FALSE(events.empty()) << c.name;
    for (const RobustEvent& e : events) {
      if (e.wordGap || e.lineEnd) continue;
      EXPECT_GE(e.confidence, 0.0f) << c.name << " " << e.text;
      EXPECT_LE(e.confidence, 1.0f) << c.name << " " << e.text;
    }
  }
}

TEST(TextStage, ACarrierIsNoMorse) {
  TimingModel m;
  TextStage stage;
  double t = Key(&stage, "-.-.", 0, 5000, m);
  EXPECT_EQ(Released(&stage), "C");
  ToneFacts carrier = Tone(t, 3000, 1e6);
  carrier.carrier = true;
  stage.Tone(carrier, m);
  t += 3;
  stage.Gap(180, t, m);
  t += 0.18;
  // What follows a carrier is judged afresh: weak keying after it is held.
  t = Key(&stage, "..", t, 3, m);
  stage.Finish(t);
  EXPECT_EQ(Released(&stage), "|");  // the carrier ended the line
}

TEST(TextStage, WeakCharactersWaitForAStrongOneAndSilenceEndsALine) {
  TimingModel m;
  struct Case {
    const char* name;
    double afterEnergy;  // of the characters after the strong ones
    const char* after;   // their codes, '|' a silence of three seconds
    const char* want;
  } cases[] = {
      // Noise read in the silence after a transmission never comes out.
      {"noise after the signal", 10, ". | .. | -", "CQ|"},
      // A fade's weak letters come out once the signal is back.
      {"a fade inside the transmission", 10, ". .. S", "CQEIS|"},
      {"strong all through", 5000, "-.- | .", "CQK |E|"},
  };
  for (const Case& c : cases) {
    TextStage stage;
    stage.SetRate(1000);
    double t = 0;
    for (const char* code : {"-.-.", "--.-"}) t = Key(&stage, code, t, 5000, m);
    std::string codes = c.after;
    std::size_t at = 0;
    while (at < codes.size()) {
      std::size_t end = codes.find(' ', at);
      if (end == std::string::npos) end = codes.size();
      const std::string code = codes.substr(at, end - at);
      at = end + 1;
      if (code == "|") {
        stage.OpenGap(3000, t + 3, m);
        t += 3;
      } else if (code == "S") {
        t = Key(&stage, "...", t, 5000, m);
      } else {
        t = Key(&stage, code, t, c.afterEnergy, m);
      }
    }
    stage.Finish(t);
    EXPECT_EQ(Released(&stage), c.want) << c.name;
  }
}

}  // namespace
}  // namespace tolvane::robust

namespace tolvane::robust {
namespace {

// What opens the squelch: strong keying at one frequency. A voice's
// harmonics, caught a syllable at a time, each as strong and steady, come
// at frequencies tens of hertz apart; a signal fading slowly comes down
// character by character and is followed.
TEST(TextStage, OpensForOneFrequencyAndFollowsAFade) {
  TimingModel m;
  struct Case {
    const char* name;
    std::vector<double> offsets;  // of the tones in turn; empty: unmeasured
    std::vector<double> energies;  // of the characters in turn
    std::string want;
  };
  const Case cases[] = {
      {"one frequency", {0.5, -0.3, 0.2, 0.8}, {60, 60, 60, 60}, "KKKK|"},
      {"drifting slowly", {0.0, 1.0, 2.0, 3.0}, {60, 60, 60, 60}, "KKKK|"},
      {"a voice's harmonics", {-21, 14, -3, 30, -12, 25, 6}, {60, 60, 60, 60}, ""},
      {"strong, one frequency", {0.1, -0.1}, {5000, 5000, 5000, 5000}, "KKKK|"},
      {"strong, a voice", {-21, 14, -3, 30, -12, 25, 6}, {5000, 5000, 5000, 5000}, ""},
      // From strong to 20 dB down over four characters, then back.
      {"a slow fade", {}, {5e4, 1e4, 2e3, 5e2, 2e2, 5e2, 5e3, 5e4}, "KKKKKKKK|"},
  };
  for (const Case& c : cases) {
    TextStage stage;
    double t = 0;
    for (double energy : c.energies) t = Key(&stage, "-.-", t, energy, m, c.offsets);
    stage.Finish(t);
    EXPECT_EQ(Released(&stage), c.want) << c.name;
  }
}

// Speeds no operator keys open nothing unless the tones are strong, and
// nothing at all far beyond: a sweep passing the channel rings in it as
// weak blips, a voice's plosives as strong ones at "250 WPM". A lone tone
// at the end of the input is Morse; one left behind when another signal
// took the lock is not.
TEST(TextStage, OpensAtMorseSpeedsAndForALoneToneOnlyAtTheEnd) {
  TimingModel m;
  struct Case {
    const char* name;
    double wpm;
    double energy;
    std::vector<const char*> codes;
    bool relocked;
    std::string want;
  };
  const Case cases[] = {
      {"moderate keying at 20 WPM", 20, 60, {"-.-", "-.-", "-.-", "-.-"}, false, "KKKK|"},
      {"moderate keying at 120 WPM", 120, 60, {"-.-", "-.-", "-.-", "-.-"}, false, ""},
      {"strong keying at 120 WPM", 120, 5000, {"-.-", "-.-"}, false, "KK|"},
      {"strong keying at 250 WPM", 250, 5000, {"-.-", "-.-", "-.-", "-.-"}, false, ""},
      {"a lone T at the end", 20, 5000, {"-"}, false, "T|"},
      {"a lone click at the end, 80 WPM", 80, 5000, {"."}, false, ""},
      {"a lone T when another signal took the lock", 20, 5000, {"-"}, true, ""},
  };
  for (const Case& c : cases) {
    TextStage stage;
    stage.SetSignal(600, c.wpm, 20);
    double t = 0;
    for (const char* code : c.codes) t = Key(&stage, code, t, c.energy, m);
    if (c.relocked) stage.Seal();
    stage.Finish(t);
    EXPECT_EQ(Released(&stage), c.want) << c.name;
  }
}

}  // namespace
}  // namespace tolvane::robust

namespace tolvane::robust {
namespace {

// What the squelch does not open for, though each tone is strong and
// steady: a glide the channel follows, a glide in steps each small, blips
// too short to be measured, and a voice's harmonics.
TEST(TextStage, OpensNotForGlidesBlipsOrAVoice) {
  TimingModel m;
  struct Case {
    const char* name;
    double pitchStep;              // Hz the channel moves each tone
    std::vector<double> offsets;   // each tone's against the channel
    double toneMs;                 // 0: the code's own lengths
    bool voiced;
    std::string want;
  };
  const Case cases[] = {
      {"a keyed carrier", 0, {0.5, -0.3, 0.2}, 0, false, "KKKK|"},
      {"the channel following a glide", 6, {0.5, -0.3, 0.2}, 0, false, ""},
      {"a glide in steps of 3 Hz", 0, {0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33}, 0, false, ""},
      {"blips too short to measure", 0, {}, 30, false, ""},
      {"a voice's harmonic", 0, {0.5, -0.3, 0.2}, 0, true, ""},
  };
  for (const Case& c : cases) {
    TextStage stage;
    stage.SetVoiced(c.voiced);
    double t = 0;
    std::size_t tone = 0;
    for (int k = 0; k < 4; ++k) {
      for (char e : std::string("-.-")) {
        ToneFacts f = Tone(t, c.toneMs > 0 ? c.toneMs : (e == '-' ? 180 : 60), 5000);
        f.brief = c.toneMs > 0;
        f.offsetKnown = !c.offsets.empty();
        if (f.offsetKnown) f.offsetHz = c.offsets[tone % c.offsets.size()];
        f.hz = 600 + c.pitchStep * static_cast<double>(tone) + f.offsetHz;
        ++tone;
        stage.Tone(f, m);
        t = f.end;
        stage.Gap(60, t, m);
        t += 0.06;
      }
      stage.Gap(180, t, m);
      t += 0.18;
    }
    stage.Finish(t);
    EXPECT_EQ(Released(&stage), c.want) << c.name;
  }
}

}  // namespace
}  // namespace tolvane::robust
