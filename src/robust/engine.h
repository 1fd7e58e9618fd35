// The streaming engine's state, shared by its windowed analysis (engine.cpp)
// and its public face (decoder.cpp). Private to src/robust.
#ifndef TOLVANE_SRC_ROBUST_ENGINE_H
#define TOLVANE_SRC_ROBUST_ENGINE_H

#include <algorithm>
#include <array>
#include <cmath>

#include "robust/front_end.h"
#include "robust/gain.h"
#include "robust/levels.h"
#include "robust/robust.h"
#include "robust/text.h"
#include "robust/timing.h"

namespace tolvane {

using robust::Complex;

struct RobustDecoder::Impl : robust::BasebandSink {
  static constexpr double kRingSeconds = 8;       // baseband kept for the window
  static constexpr double kMaxWindowSeconds = 6;  // uncommitted baseband at most
  static constexpr double kHopSeconds = 0.3;      // a window is read this often
  static constexpr double kSettleSeconds = 3;     // after a lock, before the noise is trusted
  static constexpr double kAmbiguousSeconds = 4;  // uncommitted at most while dots may be dashes
  static constexpr double kGlideHz = 6;           // a tone's frequency wanders this much at most
  static constexpr std::size_t kGuardBlock = robust::kGuardBlock;  // samples per guard measurement
  static constexpr std::int64_t kSettle = 200;     // baseband samples the filters need after a lock
  // The median guard measurement times this and the channel's noise
  // bandwidth is the channel's noise power, for white noise (measured).
  static constexpr double kGuardToChannel = 4.7e-4;
  // Key-down power over noise in 2500 Hz above which a recording is clean.
  static constexpr double kCleanSnrDb = 40;

  // A run in baseband samples since the lock.
  struct Run {
    bool on = false;
    std::int64_t start = 0;
    std::int64_t length = 0;
  };

  explicit Impl(const RobustOptions& o)
      : options(o),
        front(o),
        noise(20000),
        lately(2000),
        guardNoise(20000.0 / kGuardBlock),
        centreLevel(20000.0 / kGuardBlock) {
    text.SetCharset(o.charset);
  }

  void Locked(double /*pitchHz*/, double basebandRate) override {
    // A new signal: what was read of the last one ends here, and what the
    // squelch still held of it was not Morse.
    if (locks > 0) {
      text.Seal();
      Analyse(true);
      text.Drop();
    }
    openGapStart = -1;
    ++locks;
    rate = basebandRate;
    ring.assign(static_cast<std::size_t>(kRingSeconds * rate), Complex{});
    guard.assign(ring.size() / kGuardBlock + 1, 0.0f);
    block.clear();
    count = 0;
    commit = 0;
    start = robust::WindowStart::kFree;
    nextAnalysis = static_cast<std::int64_t>(kHopSeconds * rate);
    previous.clear();
    timing = robust::TimingTracker();
    if (options.keying.dotMs > 0) Prime();
    phaseAgreement = 0;
    phaseJudged = 0;
    fadingVote = 0;
    lastCrash = -1;
    toneLevel = 0;
    lastStrongTone = -1;
    toneStepCount = 0;
    afcHz = 0;
    nudgeCount = 0;
    afcVar = 100;
    nudged = 0;
    gapPower = 0;
    gapWeight = 0;
    noise.Clear();
    lately.Clear();
    guardNoise.Clear();
    centreLevel.Clear();
    text.SetRate(rate);
  }

  // The keying given: the speed is known from the first tone on.
  void Prime() {
    const RobustKeying& k = options.keying;
    const double perMs = rate / 1000;
    robust::TimingModel m;
    m.dot = k.dotMs * perMs;
    m.dash = std::max(k.dashMs, 2 * k.dotMs) * perMs;
    m.elementGap = (k.elementGapMs > 0 ? k.elementGapMs : k.dotMs) * perMs;
    m.letterGap = std::max(k.letterGapMs * perMs, 2 * m.elementGap);
    m.wordGap = std::max(k.wordGapMs * perMs, 1.5 * m.letterGap);
    timing.Prime(m);
    local = timing.model();
    front.SetDot(m.dot / rate);
  }

  void Sample(const robust::Baseband& b) override {
    if (count == 0) firstInput = b.input;
    ring[static_cast<std::size_t>(count % static_cast<std::int64_t>(ring.size()))] = b.narrow;
    // The channel filter's first outputs after a lock are its ramp-up, not
    // the noise.
    if (count >= kSettle) {
      noise.Add(std::norm(b.narrow));
      lately.Add(std::norm(b.narrow));
    }
    block.push_back(b.wide);
    if (block.size() == kGuardBlock) Guard();
    ++count;
    if (count >= nextAnalysis) {
      Analyse(false);
      nextAnalysis = count + static_cast<std::int64_t>(kHopSeconds * rate);
    }
  }

  // The power beside the channel over one block, on each side, as the
  // smaller of the two: a crash raises both sides, an interfering
  // station only one.
  void Guard() {
    const robust::GuardPowers p = robust::MeasureGuard(block.data());
    const double centreNorm = p.centre;
    // Per bin beside the channel; a static crash is as loud there as in the
    // channel and as the keyed tone itself, where a keyed tone's own edges
    // splatter 20 dB or more below it.
    const double beside = p.beside();
    centreLevel.Add(centreNorm);
    // The noise beside, measured while the channel is quiet: a keyed
    // tone's clicks spread beside it while it is down.
    if (centreNorm <= centreLevel.Quantile(0.5)) guardNoise.Add(beside);
    const double keyDown = centreLevel.Quantile(0.9);
    const auto g = static_cast<float>(beside > 0.25 * centreNorm && beside > 0.1 * keyDown ? beside : 0.0);
    const auto at = static_cast<std::size_t>((count / static_cast<std::int64_t>(kGuardBlock)) %
                                             static_cast<std::int64_t>(guard.size()));
    guard[at] = g;
    block.clear();
  }

  Complex At(std::int64_t k) const { return ring[static_cast<std::size_t>(k % static_cast<std::int64_t>(ring.size()))]; }

  double Seconds(std::int64_t k) const {
    const double input = static_cast<double>(firstInput) + static_cast<double>(k) * static_cast<double>(front.inputPerBaseband());
    return std::max(0.0, input) / options.sampleRate;
  }

  double MeasuredNoise() const {
    // The power in the committed gaps, away from their edges; before there
    // are any, a quantile of all the channel's samples (which reads high
    // where a signal fills much of the time). A clean recording has next
    // to no noise: the channel filter's tails, 30 dB down a few
    // milliseconds after each edge, set the floor then.
    const double measured = gapWeight > 0 ? gapPower / gapWeight : noise.Quantile(0.25) / 0.2877;
    // The gaps a reading finds in noise are its quietest stretches, which
    // reads the noise low where no signal is yet; the noise beside the
    // channel, scaled to its width, keeps the estimate honest.
    const double beside = kGuardToChannel * guardNoise.Quantile(0.5) * front.noiseBandwidthHz();
    return std::max({measured, 0.7 * beside, 1e-30});
  }
  // What the readings take as noise: never less than 30 dB below the key
  // down of the last two seconds, so the channel filter's tails on a clean
  // recording are no tones, while a slow fade 20 dB down is still read.
  // A long silence (Farnsworth's word gaps) empties the last two seconds:
  // 40 dB below the longer memory's key down holds then.
  double NoisePower() const {
    return std::max({MeasuredNoise(), 1e-3 * lately.Quantile(0.95), 1e-4 * noise.Quantile(0.95)});
  }

  // Learns the noise from a committed gap's middle, clear of the channel
  // filter's tails either side; recent gaps count most.
  void LearnNoise(const Run& gap) {
    const auto margin = static_cast<std::int64_t>(0.02 * rate);
    const std::int64_t from = gap.start + margin;
    const std::int64_t to = std::min(gap.start + gap.length - margin, gap.start + static_cast<std::int64_t>(2 * rate));
    if (to - from < margin) return;
    double sum = 0;
    for (std::int64_t k = from; k < to; ++k) sum += std::norm(At(k));
    const double n = static_cast<double>(to - from);
    const double keep = std::exp(-n / (5 * rate));
    gapPower = gapPower * keep + sum / n * (1 - keep);
    gapWeight = gapWeight * keep + (1 - keep);
  }

  // The carrier's offset from the oscillator, from the phase turned over
  // eight samples while the key is down, followed slowly; far off, the
  // oscillator itself is moved so the tone stays in the channel.
  // The residual frequency from the turn of the carrier's phase from one
  // key-down step to the next, weighed against how sure the last estimate
  // is (a small Kalman filter): at low SNR one window's estimate wanders by
  // hertz, which would turn the phase reference of a coherent reading.
  void TrackFrequency(const std::vector<robust::StepObservation>& obs, const std::vector<bool>& down,
                      std::int64_t step, double stepNoise, double hopShare) {
    std::complex<double> z;
    double pairs = 0, power = 0;
    for (std::size_t j = 1; j < down.size(); ++j) {
      if (!down[j] || !down[j - 1]) continue;
      z += std::complex<double>(obs[j].sum) * std::conj(std::complex<double>(obs[j - 1].sum));
      power += std::norm(obs[j].sum);
      pairs += 1;
    }
    if (pairs < 8 || power <= 0) return;
    const double snr = std::max(1e-3, power / pairs / std::max(stepNoise, 1e-30) - 1);
    // The variance of the mean phase turn per step, then in hertz; the
    // windows overlap, so each is worth only its share of new samples.
    const double phaseVar = (1 + 2 * snr) / (2 * snr * snr * pairs);
    const double hzPerRad = rate / (2 * robust::kPi * static_cast<double>(step));
    const double r = phaseVar * hzPerRad * hzPerRad / std::max(hopShare, 0.05);
    const double offset = afcHz + std::arg(z) * hzPerRad;
    afcVar += 0.25;  // drift allowed between windows: half a hertz
    const double gain = afcVar / (afcVar + r);
    afcHz += std::clamp(gain * (offset - afcHz), -5.0, 5.0);
    // Held near a pitch or within a band given; set only when that moves
    // it, as recomputing the sum would change its last bit.
    const double heard = front.pitchHz() + afcHz;
    const double allowed = front.Allowed(heard);
    if (std::fabs(allowed - heard) > 0) afcHz = allowed - front.pitchHz();
    afcVar *= 1 - gain;
    // The oscillator follows a drift of up to 50 Hz from where the signal
    // was found; more than that is another signal, for the search to find.
    if (std::fabs(afcHz) > 10 && std::fabs(nudged + afcHz) < 50) {
      front.Nudge(afcHz);
      nudges[nudgeCount++ % nudges.size()] = {count + static_cast<std::int64_t>(front.mixDelay()), afcHz};
      nudged += afcHz;
      afcHz = 0;
    }
  }

  // The oscillator's frequency when baseband sample `k` was mixed.
  double OscillatorAt(std::int64_t k) const {
    double hz = front.pitchHz();
    for (std::size_t i = 0; i < std::min(nudgeCount, nudges.size()); ++i) {
      if (nudges[i].first > k) hz -= nudges[i].second;
    }
    return hz;
  }

  // How far clear tones' levels jump from one to the next, 0 steady to 1
  // Rayleigh fading: the median step in log power beyond what a steady
  // signal shows (a decibel or so from the keying's edges and the noise).
  double ToneFading() const {
    const std::size_t n = std::min(toneStepCount, toneSteps.size());
    if (n < 6) return 0;
    std::array<double, 12> v = toneSteps;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n / 2), v.begin() + static_cast<std::ptrdiff_t>(n));
    return std::clamp((v[n / 2] - 0.25) / 0.6, 0.0, 1.0);
  }

  // The model reading and commits go by: fitted to what is committed and,
  // once the speed is known, to what lies ahead in the last window too.
  const robust::TimingModel& Model() const { return timing.tones() >= 8 ? local : timing.model(); }

  // The model gaps are judged by. Fading eats into the ends of tones and so
  // lengthens the gaps between them: a gap inside a letter may look two
  // units long. Under fading the boundary with the letter gap moves up by
  // as much as 40 %, for gaps committed and gaps still open alike.
  robust::TimingModel GapModel() const {
    robust::TimingModel m = Model();
    m.elementGap *= 1 + ToneFading();
    return m;
  }

  // The working model in steps of `step` samples.
  robust::TimingModel StepModel(std::int64_t step) const {
    robust::TimingModel m = Model();
    const double s = static_cast<double>(step);
    for (double* v : {&m.dot, &m.dash, &m.elementGap, &m.letterGap, &m.wordGap}) *v /= s;
    return m;
  }

  // A change of speed the model has not followed yet shows in the reading
  // as tones much longer than a dash or many far shorter than a dot: then
  // the window is read again at half and at twice the speed, and a reading
  // that explains it clearly better sets the model.
  void TrySpeeds(const std::vector<float>& evidence, std::int64_t step, std::vector<robust::StepRun>* found) {
    if (timing.tones() < 8 || found->size() < 3) return;
    const robust::TimingModel base = Model();
    const double s = static_cast<double>(step);
    int odd = 0;
    for (std::size_t i = 0; i + 1 < found->size(); ++i) {
      const robust::StepRun& r = (*found)[i];
      const double length = static_cast<double>(r.length) * s;
      if (r.on && (length > 1.7 * base.dash || length < 0.5 * base.dot)) ++odd;
    }
    if (odd < 2) return;
    auto inSteps = [&](double factor) {
      robust::TimingModel m = base;
      for (double* v : {&m.dot, &m.dash, &m.elementGap, &m.letterGap, &m.wordGap}) *v *= factor / s;
      return m;
    };
    double bestScore = 0;
    robust::SegmentWindow(evidence, inSteps(1), start, &bestScore);
    bestScore += 2;  // a switch must earn it
    double bestFactor = 1;
    for (double factor : {0.5, 2.0}) {
      double score = 0;
      std::vector<robust::StepRun> runs = robust::SegmentWindow(evidence, inSteps(factor), start, &score);
      if (score > bestScore) {
        bestScore = score;
        bestFactor = factor;
        *found = std::move(runs);
      }
    }
    if (bestFactor != 1) {
      for (double* v : {&local.dot, &local.dash, &local.elementGap, &local.letterGap, &local.wordGap}) *v *= bestFactor;
    }
  }

  void Analyse(bool final);
  // Reads the window; true when it should be read again, under the speed
  // it has just set (`again` the second time).
  bool ReadWindow(bool final, bool again);
  bool UndoGain() const;
  bool SeedFromClearReading(const std::vector<bool>& down, const std::vector<robust::StepObservation>& obs,
                            std::int64_t step);
  void Commit(const Run& run, bool forced);
  robust::ToneFacts Facts(const Run& run) const;
  bool Steady(const Run& run, double perSample, double* offsetHz) const;

  RobustOptions options;
  robust::FrontEnd front;
  double rate = 1000;
  std::vector<Complex> ring;
  std::vector<float> guard;
  std::vector<Complex> block;
  robust::PowerHistogram noise;
  robust::PowerHistogram lately;  // the channel's power over the last two seconds
  robust::PowerHistogram guardNoise;
  robust::PowerHistogram centreLevel;  // the channel's power per guard block
  std::int64_t count = 0;
  std::int64_t commit = 0;
  std::int64_t firstInput = 0;  // the input sample of baseband sample 0
  std::int64_t nextAnalysis = 0;
  robust::WindowStart start = robust::WindowStart::kFree;
  std::vector<Run> previous;  // the last reading's runs past the commit point
  robust::TimingTracker timing;
  robust::TimingModel local;
  robust::TextStage text;
  std::vector<RobustEvent> events;
  int locks = 0;
  double snrDb = 0;
  double afcHz = 0;
  double afcVar = 100;  // how unsure afcHz is, in Hz squared
  double nudged = 0;  // the oscillator's moves since the lock
  // The latest moves: the first baseband sample mixed after each, and by
  // how much, so a tone's frequency is known as it was mixed.
  std::array<std::pair<std::int64_t, double>, 8> nudges{};
  std::size_t nudgeCount = 0;
  double phaseAgreement = 0;
  int phaseJudged = 0;
  std::int64_t lastCrash = -1;  // the newest sample when a window last held a static crash
  double fadingVote = 0;  // how fast the key-down level wanders, over the last windows
  double toneLevel = 0;   // log of strong tones' power over the noise per sample, lately
  double lastLevel = 0;   // of the last clear tone
  std::array<double, 12> toneSteps{};  // level changes between neighbouring clear tones
  std::size_t toneStepCount = 0;
  std::int64_t lastStrongTone = -1;
  std::int64_t openGapStart = -1;  // where the last reading's open gap began
  double gapPower = 0;   // leaky sums of the committed gaps' power
  double gapWeight = 0;
};

}  // namespace tolvane

#endif  // TOLVANE_SRC_ROBUST_ENGINE_H
