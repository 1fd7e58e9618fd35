// The skimmer's insides, shared by its two halves: skimmer.cpp finds and
// follows signals, channel.cpp feeds each one's recogniser and judges what
// it reads. Internal to src/skim.
#ifndef TOLVANE_SRC_SKIM_SKIMMER_IMPL_H
#define TOLVANE_SRC_SKIM_SKIMMER_IMPL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "robust/robust.h"
#include "skim/clicks.h"
#include "skim/detector.h"
#include "skim/filter_bank.h"
#include "skim/skim.h"

namespace tolvane {

namespace skim {

constexpr double kReplaySeconds = 3;        // of spectra kept for a signal found late
constexpr std::size_t kHistoryBytes = 16 << 20;  // at most, for very wide bands
constexpr double kSeparationHz = 40;        // a new signal this close to one followed is the same
constexpr double kReachHz = 50;             // a candidate is the strongest this far either side
constexpr double kJudgeSeconds = 30;        // a signal not judged Morse by then is dropped
constexpr double kBanSeconds = 60;          // and nothing is looked for there this long
constexpr double kDriftLimitHz = 150;       // the bank's channel is flat this far from its centre
constexpr float kGateRatio = 8;             // a character needs this much power over the noise
constexpr std::size_t kFillLength = 1 << 15;  // samples of stop-band noise, shared
constexpr std::size_t kSlots = 512;          // of the recogniser's input, 16 s
constexpr float kLevelDecay = 0.998f;        // per slot: the level halves in about 11 s
constexpr float kCharacterLevel = 0.1f;      // a character is at least this loud (-10 dB)
constexpr float kGateOpen = 0.25f;     // of the key-down level: the signal's own mark begins
constexpr float kGateClose = 0.1f;   // and ends
constexpr float kGateDepth = 0.1f;   // amplitude left between marks
constexpr double kGateMs = 4;
constexpr float kKnownLevel = 0.5f;  // of the level a signal is found at: the gate's floor when it is read again
constexpr double kLeadSeconds = 0.1;  // read again from this long before a found signal first reached its level
constexpr double kMostWeighting = 0.6;  // dots to the gaps between them, or the gaps to the dots, at the least
constexpr double kSettleSeconds = 20;  // a signal judged Morse is held this long at most for its speed to settle
constexpr float kReadAgainLevel = 0.3f;  // of the level found: what a character read again carries at least
constexpr double kHeardSeconds = kJudgeSeconds + kReplaySeconds + 2;  // kept to read again at most
constexpr double kClickReachHz = 300;       // neighbours this close may click into a channel
constexpr float kClickLevel = 0.25f;        // and that strong relative to it (-6 dB)

// A channel's gate: open while the signal's own key is down.
struct GateState {
  float envelope = 0;  // the channel's power, smoothed over a few ms
  bool open = false;
};

struct Ban {
  double bin = 0;
  std::int64_t until = 0;
};

}  // namespace skim

using skim::Complex;

struct Skimmer::Impl {
  struct Tracked {
    int id = 0;
    double bin = 0;      // detector bin, fractional
    long centre = 0;     // the bank bin the channel is cut around
    skim::ChannelFilter filter;
    skim::NoiseFill noise;
    std::unique_ptr<RobustDecoder> decoder;
    std::int64_t firstOut = 0;  // channel sample of the decoder's first
    std::int64_t created = 0;   // frames
    std::int64_t lastKeyed = 0;
    std::vector<std::uint8_t> gate;  // per frame: power over the noise near the signal
    // The recogniser's input, 32 samples to a slot: mean power, and the
    // signal's key-down level (the loudest slots lately).
    std::vector<float> slots;
    std::int64_t pushed = 0;
    float level = 0;
    bool lastWasGap = true;
    int failures = 0;  // found, and its newest characters judged no Morse so many times in a row
    std::vector<SkimEvent> pending;  // before it is found
    // The recogniser's input until the signal is found, to be read again
    // then at the speed learned; emptied for good once found or too long.
    std::vector<Complex> heard;
    bool hearing = true;
    float wpm = 0, snrDb = 0;
    int serial = 0;
    skim::EdgeFinder edges;
    skim::ClickCanceller clicks;
    std::vector<Complex> y;  // this block's channel samples
    Complex mixer;           // the channel's mixer at the block's first sample
    double turn = 0;
    float ratio = 0;         // key-down power over the noise, lately
    skim::GateState keyGate;
    // What the channel's samples pass through on their way to the
    // recogniser, as it was when the channel was opened: reading again
    // starts from there.
    struct State {
      float level = 0;
      std::int64_t pushed = 0;
      skim::NoiseFill noise;
      skim::GateState keyGate;
    } start;

    Tracked(double outRate, double offsetHz, const std::vector<Complex>* fill, std::uint64_t seed)
        : filter(outRate, offsetHz), noise(fill, seed, filter.gain()), start{0, 0, noise, {}} {}
  };

  explicit Impl(const SkimOptions& o) : options(o), layout(skim::Layout(std::max(1000.0, o.sampleRate), o.complex)) {
    const double rate = layout.rate;
    double lo = o.complex ? -0.45 * rate : 100.0;
    double hi = 0.45 * rate;
    if (o.bandLoHz != 0 || o.bandHiHz != 0) {
      lo = std::max(lo, std::min(o.bandLoHz, o.bandHiHz));
      hi = std::min(hi, std::max(o.bandLoHz, o.bandHiHz));
    }
    if (hi < lo) hi = lo;
    firstBin = static_cast<long>(std::ceil(lo / layout.binHz));
    lastBin = std::max(firstBin, static_cast<long>(std::floor(hi / layout.binHz)));
    frameRate = layout.rate / static_cast<double>(layout.hop);
    const auto width = static_cast<std::size_t>(lastBin - firstBin + 1 + static_cast<long>(layout.channelBins));
    std::size_t blocks = static_cast<std::size_t>(std::ceil(skim::kReplaySeconds * frameRate)) + 1;
    blocks = std::max<std::size_t>(2, std::min(blocks, skim::kHistoryBytes / (width * sizeof(Complex))));
    bank = std::make_unique<skim::FilterBank>(layout, firstBin, lastBin, blocks);
    detector = std::make_unique<skim::Detector>(static_cast<std::size_t>(lastBin - firstBin + 1), frameRate);
    row.resize(detector->bins());
    reach = std::max<std::size_t>(2, static_cast<std::size_t>(skim::kReachHz / layout.binHz));
    fill = skim::StopBandNoise(layout.outRate, skim::kFillLength, 1);
  }

  double BinFrequency(double bin) const { return (static_cast<double>(firstBin) + bin) * layout.binHz; }
  double FrameSeconds(std::int64_t frame) const {
    return static_cast<double>(frame) * static_cast<double>(layout.hop) / layout.rate;
  }

  void Push(const float* samples, std::size_t count);
  void Block();
  void Follow(Tracked& s, std::int64_t block);
  void SetNoise(Tracked& s);
  // The signal's key-down power over the noise in 2500 Hz, measured in its
  // channel (the recogniser's own figure is skewed by the narrow filter).
  float SnrDb(const Tracked& s) const;
  void Open(const skim::Candidate& c);
  void Cut(Tracked& s, std::int64_t block);
  void Feed(Tracked& s, std::int64_t block, const std::vector<skim::Neighbour>& near);
  void Drain(Tracked& s);
  // The channel's samples through the gate to the recogniser.
  void Pass(Tracked& s, Complex* y, std::size_t n, float gateLevel, skim::NoiseFill* noise, skim::GateState* gate,
            RobustDecoder* decoder);
  void Gate(Complex* y, std::size_t n, float level, skim::GateState* gate) const;
  void Retire(std::size_t i, bool quietly);
  RobustOptions DecoderOptions() const;
  // Gives out a decided character; true when that found the signal and
  // its recogniser was replaced by one that read it again.
  bool Emit(Tracked& s, const RobustEvent& e);
  // A character as the skimmer gives it; false when it is to be dropped.
  // `least`: of the signal's level, what a character's span must carry.
  bool Translate(Tracked& s, const RobustEvent& e, SkimEvent* out, float least = skim::kCharacterLevel);
  bool ReadAgain(Tracked& s);
  // Where in what was heard a signal first reached `floor`, less a lead.
  std::size_t Begins(const Tracked& s, float floor) const;
  static bool Settled(const RobustStatus& known);
  void Announce(Tracked& s);
  double EventSeconds(const Tracked& s, double engineSeconds) const {
    const double j = static_cast<double>(s.firstOut) - static_cast<double>(s.filter.delay()) -
                     static_cast<double>(skim::ClickCanceller::kDelay) + engineSeconds * layout.outRate;
    return bank->InputIndexOf(j) / layout.rate;
  }
  bool Gated(const Tracked& s, double from, double to) const;
  // Whether a character's span in the recogniser's input carries power
  // near the signal's own level.
  bool Loud(const Tracked& s, const RobustEvent& e, float least) const;

  SkimOptions options;
  skim::BankLayout layout;
  long firstBin = 0, lastBin = 0;
  double frameRate = 0;
  std::size_t reach = 3;
  std::unique_ptr<skim::FilterBank> bank;
  std::unique_ptr<skim::Detector> detector;
  std::vector<float> row;
  std::vector<Tracked> tracked;
  std::vector<skim::Ban> bans;
  std::vector<skim::Candidate> candidates;
  std::vector<RobustEvent> engineEvents;
  std::vector<SkimEvent> events;
  std::vector<float> clean;
  std::vector<skim::Neighbour> neighbours;
  std::vector<Complex> fill;  // noise for the channels' stop bands
  std::int64_t inputs = 0;
  int nextId = 1;
  int nextSerial = 1;
};

}  // namespace tolvane

#endif  // TOLVANE_SRC_SKIM_SKIMMER_IMPL_H
