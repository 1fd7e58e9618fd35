// Practice files: sim's hand, fading and noise on the tool's keyer.
#include "practice.h"

#include <algorithm>
#include <cmath>

namespace tolvane::tool {
namespace {

// The fading amplitude, over its mean, that the level leaves room for.
constexpr double kFadingPeak = 3;
constexpr double kNoisePeak = 4;  // standard deviations

// Noise power in the receiver's passband over the key-down tone power, as
// Render sets it: the SNR counts the noise in 2500 Hz.
double NoiseOverTone(const sim::Noise& band, double snrDb) {
  return std::pow(10.0, -snrDb / 10) / 2500 * (band.highHz - band.lowHz);
}

}  // namespace

double PracticePeak(const Practice& practice, double peak) {
  const double fading = practice.fadeHz > 0 ? kFadingPeak : 1;
  // The noise's standard deviation over the tone's amplitude A: the tone's
  // power is A^2 / 2.
  const double noise = practice.noise ? std::sqrt(NoiseOverTone(sim::Noise{}, practice.snrDb) / 2) : 0;
  return peak / (fading + kNoisePeak * noise);
}

sim::Fist PracticeFist(const Practice& practice, const KeyingTiming& timing, double unitSeconds, int rate,
                       double farnsworthWpm) {
  const double wpm = 1.2 / unitSeconds;
  sim::Fist fist;
  if (practice.fist == sim::FistKind::kMachine) {
    // The keyer's lengths in units, Farnsworth and weight included.
    const double unit = unitSeconds * rate;
    fist.wpm = wpm;
    fist.weight = timing.dot / unit;
    fist.dashDot = timing.dash / timing.dot;
    fist.elementGap = timing.symbolGap / unit;
    fist.letterGap = timing.letterGap / unit;
    fist.wordGap = (timing.letterGap + timing.wordExtra) / unit;
  } else {
    sim::Random operators = sim::Random::Stream(practice.seed, sim::kOperatorStream);
    fist = sim::RandomFist(practice.fist, wpm, operators);
    fist.farnsworthWpm = farnsworthWpm;
  }
  if (practice.jitter >= 0) fist.jitter = practice.jitter;
  return fist;
}

HandKeying::HandKeying(const sim::Fist& fist, std::uint64_t seed, const KeyingTiming& timing, int rate,
                       MorseKeyer* keyer)
    : random_(sim::Random::Stream(seed, sim::StationStream(0, 0))),
      hand_(fist, random_),
      rate_(rate),
      extraWord_(timing.wordExtra),
      keyer_(keyer) {}

double HandKeying::Gap() {
  double seconds = 0;
  if (words_ > 0) {
    seconds = hand_.WordGap();
  } else if (started_) {
    seconds = hand_.LetterGap();
  }
  const double samples = seconds * rate_ + std::max(0, words_ - 1) * extraWord_;
  words_ = 0;
  return samples;
}

bool HandKeying::Character(const char* code) {
  if (!keyer_->Space(Gap())) return false;
  started_ = true;
  for (const char* symbol = code; *symbol != '\0'; ++symbol) {
    if (symbol != code && !keyer_->Space(hand_.ElementGap() * rate_)) return false;
    if (!keyer_->Mark(hand_.Mark(*symbol == '-') * rate_)) return false;
  }
  return true;
}

bool HandKeying::WordGap() {
  ++words_;
  return true;
}

bool HandKeying::Finish() { return (!started_ && words_ == 0) || keyer_->Space(Gap()); }

ChannelSink::ChannelSink(const Practice& practice, double tonePeak, int rate, SampleSink* next) : next_(next) {
  if (practice.fadeHz > 0) {
    fading_ = std::make_unique<sim::FadedSignal>(practice.fadeHz, rate,
                                                 sim::Random::Stream(practice.seed, sim::StationStream(0, 2)));
  }
  if (practice.noise) {
    sim::Noise band;
    band.on = true;
    band.snrDb = practice.snrDb;
    const double power = tonePeak * tonePeak / 2 * NoiseOverTone(band, practice.snrDb);
    noise_ = std::make_unique<sim::NoiseStream>(band, power, rate,
                                                sim::Random::Stream(practice.seed, sim::kNoiseStream));
  }
}

ChannelSink::~ChannelSink() = default;

bool ChannelSink::Write(const std::int16_t* samples, std::size_t count) {
  in_.assign(samples, samples + count);
  if (!fading_) return Pass(in_);
  out_.clear();
  fading_->Push(in_.data(), in_.size(), &out_);
  return Pass(out_);
}

bool ChannelSink::Finish() {
  if (!fading_) return true;
  out_.clear();
  fading_->Finish(&out_);
  return Pass(out_);
}

bool ChannelSink::Pass(const std::vector<float>& samples) {
  if (samples.empty()) return true;
  noiseBlock_.assign(samples.size(), 0.0f);
  if (noise_) noise_->Next(noiseBlock_.data(), noiseBlock_.size());
  pcm_.resize(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double x = std::clamp(std::round(static_cast<double>(samples[i]) + noiseBlock_[i]), -32767.0, 32767.0);
    pcm_[i] = static_cast<std::int16_t>(x);
  }
  return next_->Write(pcm_.data(), pcm_.size());
}

}  // namespace tolvane::tool
