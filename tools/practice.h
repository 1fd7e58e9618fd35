// Practice files for `tolvane encode`: a hand's timing, fading and receiver
// noise, through the channel simulator the accuracy harness uses (sim/),
// with the option names of `accuracy --write`. All of it streams: a block of
// samples in, a block out, whatever the length of the text.
#ifndef TOLVANE_TOOLS_PRACTICE_H
#define TOLVANE_TOOLS_PRACTICE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keyer/keyer.h"
#include "sim/stream.h"

namespace tolvane::tool {

struct Practice {
  bool hand = false;  // --fist or --jitter: the keying goes through sim::Hand
  sim::FistKind fist = sim::FistKind::kMachine;
  double jitter = -1;  // -1: the operator's own (none for a machine)
  bool noise = false;
  double snrDb = 0;
  double fadeHz = 0;  // 0: no fading
  std::uint64_t seed = 0;

  bool channel() const { return noise || fadeHz > 0; }
};

// The tone's peak under noise and fading: lowered from `peak` so that the
// tone at three times its mean fading amplitude (exceeded 0.01 % of the
// time), plus four standard deviations of the noise, come to `peak`.
double PracticePeak(const Practice& practice, double peak);

// The operator that keys: a machine with the keyer's own timing (and the
// jitter, if any, on every length), or a random operator of the kind at
// the keyer's speed and `farnsworthWpm`, drawn from the seed.
sim::Fist PracticeFist(const Practice& practice, const KeyingTiming& timing, double unitSeconds, int rate,
                       double farnsworthWpm);

// Codes in, marks and gaps out to the keyer, each as long as the hand makes
// it. Every space after the first in a run adds the keyer's own word gap.
class HandKeying : public CodeSink {
 public:
  HandKeying(const sim::Fist& fist, std::uint64_t seed, const KeyingTiming& timing, int rate, MorseKeyer* keyer);
  bool Character(const char* code) override;
  bool WordGap() override;
  void Skipped(char32_t) override {}
  // The gap after the last character, as the exact keyer leaves one.
  bool Finish();

 private:
  double Gap();  // before the next character, in samples

  sim::Random random_;
  sim::Hand hand_;
  double rate_;
  double extraWord_;  // samples a second space in a row adds
  MorseKeyer* keyer_;
  bool started_ = false;
  int words_ = 0;
};

// Between the keyer and the writer: the fading channel, then the noise, then
// 16-bit samples again, clipped at full scale.
class ChannelSink : public SampleSink {
 public:
  ChannelSink(const Practice& practice, double tonePeak, int rate, SampleSink* next);
  ~ChannelSink() override;
  bool Write(const std::int16_t* samples, std::size_t count) override;
  // Hands on the samples the fading filter still holds.
  bool Finish();

 private:
  bool Pass(const std::vector<float>& samples);

  SampleSink* next_;
  std::unique_ptr<sim::FadedSignal> fading_;
  std::unique_ptr<sim::NoiseStream> noise_;
  std::vector<float> in_;
  std::vector<float> out_;
  std::vector<float> noiseBlock_;
  std::vector<std::int16_t> pcm_;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_PRACTICE_H
