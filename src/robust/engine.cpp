// The streaming engine: the front end's baseband kept in a ring, read in
// overlapping windows that end at the newest sample, and committed a fixed
// look-ahead behind it.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "robust/front_end.h"
#include "robust/levels.h"
#include "robust/robust.h"
#include "robust/text.h"
#include "robust/timing.h"

namespace tolvane {

using robust::Complex;

namespace {

constexpr double kRingSeconds = 8;       // baseband kept for the window
constexpr double kMaxWindowSeconds = 6;  // uncommitted baseband at most
constexpr double kHopSeconds = 0.3;      // a window is read this often
constexpr double kSettleSeconds = 3;     // after a lock, before the noise is trusted
constexpr std::size_t kGuardBlock = 16;  // samples per guard measurement
constexpr std::int64_t kSettle = 200;     // baseband samples the filters need after a lock
// The median guard measurement times this and the channel's noise
// bandwidth is the channel's noise power, for white noise (measured).
constexpr double kGuardToChannel = 4.7e-4;

// A run in baseband samples since the lock.
struct Run {
  bool on = false;
  std::int64_t start = 0;
  std::int64_t length = 0;
};

}  // namespace

struct RobustDecoder::Impl : robust::BasebandSink {
  explicit Impl(const RobustOptions& o)
      : options(o), front(Spec(o)), noise(20000), guardNoise(20000 / kGuardBlock), centreLevel(20000 / kGuardBlock) {}

  static robust::ListenSpec Spec(const RobustOptions& o) {
    robust::ListenSpec s;
    s.rate = o.sampleRate;
    s.complex = o.complex;
    s.pitchGiven = o.pitchGiven;
    s.pitch = o.pitchHz;
    s.bandLo = o.bandLoHz;
    s.bandHi = o.bandHiHz;
    return s;
  }

  void Locked(double pitchHz, double basebandRate) override {
    if (std::getenv("ROBUST_DEBUG")) std::fprintf(stderr, "LOCK %.1f Hz\n", pitchHz);
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
    phaseAgreement = 0;
    phaseJudged = 0;
    fadingVote = 0;
    toneLevel = 0;
    lastStrongTone = -1;
    toneStepCount = 0;
    afcHz = 0;
    afcVar = 100;
    nudged = 0;
    gapPower = 0;
    gapWeight = 0;
    noise.Clear();
    guardNoise.Clear();
    centreLevel.Clear();
    text.SetRate(rate);
  }

  void Sample(const robust::Baseband& b) override {
    if (count == 0) firstInput = b.input;
    ring[static_cast<std::size_t>(count % static_cast<std::int64_t>(ring.size()))] = b.narrow;
    // The channel filter's first outputs after a lock are its ramp-up, not
    // the noise.
    if (count >= kSettle) noise.Add(std::norm(b.narrow));
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
    if (twiddle.empty()) {
      // Hann-windowed DFT bins 0 and +-2..+-4 of one block.
      const double n = static_cast<double>(kGuardBlock);
      for (int k = -4; k <= 4; ++k) {
        for (std::size_t i = 0; i < kGuardBlock; ++i) {
          const double w = 0.5 - 0.5 * std::cos(2 * robust::kPi * (static_cast<double>(i) + 0.5) / n);
          const double a = -2 * robust::kPi * k * static_cast<double>(i) / n;
          twiddle.emplace_back(static_cast<float>(w * std::cos(a)), static_cast<float>(w * std::sin(a)));
        }
      }
    }
    auto bin = [&](int k) {
      Complex sum;
      const Complex* t = twiddle.data() + static_cast<std::size_t>(k + 4) * kGuardBlock;
      for (std::size_t i = 0; i < kGuardBlock; ++i) sum += block[i] * t[i];
      return std::norm(sum);
    };
    const double centreNorm = bin(0);
    double sides[2] = {0, 0};
    for (int k = 2; k <= 4; ++k) {
      sides[0] += bin(-k);
      sides[1] += bin(k);
    }
    // Per bin beside the channel; a static crash is as loud there as in the
    // channel and as the keyed tone itself, where a keyed tone's own edges
    // splatter 20 dB or more below it.
    const double beside = std::min(sides[0], sides[1]) / 3;
    guardNoise.Add(beside);
    centreLevel.Add(centreNorm);
    const double keyDown = centreLevel.Quantile(0.9);
    const auto g = static_cast<float>(beside > 0.25 * centreNorm && beside > 0.1 * keyDown ? beside : 0.0);
    guard[static_cast<std::size_t>((count / static_cast<std::int64_t>(kGuardBlock)) % static_cast<std::int64_t>(guard.size()))] = g;
    block.clear();
  }

  Complex At(std::int64_t k) const { return ring[static_cast<std::size_t>(k % static_cast<std::int64_t>(ring.size()))]; }

  double Seconds(std::int64_t k) const {
    const double input = static_cast<double>(firstInput) + static_cast<double>(k) * static_cast<double>(front.inputPerBaseband());
    return std::max(0.0, input) / options.sampleRate;
  }

  double NoisePower() const {
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
    return std::max({measured, 0.7 * beside, 1e-3 * noise.Quantile(0.95), 1e-30});
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
    afcVar *= 1 - gain;
    // The oscillator follows a drift of up to 50 Hz from where the signal
    // was found; more than that is another signal, for the search to find.
    if (std::fabs(afcHz) > 10 && std::fabs(nudged + afcHz) < 50) {
      front.Nudge(afcHz);
      nudged += afcHz;
      afcHz = 0;
    }
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
    if (std::getenv("ROBUST_DEBUG")) std::fprintf(stderr, "TRYSPEEDS odd %d best factor %.1f\n", odd, bestFactor);
    if (bestFactor != 1) {
      for (double* v : {&local.dot, &local.dash, &local.elementGap, &local.letterGap, &local.wordGap}) *v *= bestFactor;
    }
  }

  void Analyse(bool final);
  void Commit(const Run& run, bool forced);
  robust::ToneFacts Facts(const Run& run) const;

  RobustOptions options;
  robust::FrontEnd front;
  double rate = 1000;
  std::vector<Complex> ring;
  std::vector<float> guard;
  std::vector<Complex> block;
  std::vector<Complex> twiddle;
  robust::PowerHistogram noise;
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
  double phaseAgreement = 0;
  int phaseJudged = 0;
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

robust::ToneFacts RobustDecoder::Impl::Facts(const Run& run) const {
  robust::ToneFacts f;
  f.start = Seconds(run.start);
  f.end = Seconds(run.start + run.length);
  f.length = static_cast<double>(run.length);
  const double p0 = NoisePower();
  double energy = 0, peak = 0, sumAbs = 0;
  for (std::int64_t k = run.start; k < run.start + run.length; ++k) {
    const double p = std::norm(At(k));
    energy += p;
    peak = std::max(peak, p);
    sumAbs += std::sqrt(p);
  }
  const double n = static_cast<double>(std::max<std::int64_t>(1, run.length));
  const double perSample = energy / n / p0 - 1;
  // Independent samples in the run: its length over the channel's
  // correlation length.
  const double independent = std::max(1.0, n * n / front.SumVariance(static_cast<std::size_t>(n)));
  f.energyRatio = std::max(0.0, perSample) * independent;
  f.perSample = perSample;
  const double n0 = p0 / front.noiseBandwidthHz();
  f.snrDb = perSample > 0 ? 10 * std::log10(perSample * p0 / (n0 * 2500)) : -99;
  // Where the tone is clear, a keyed carrier is steady: no bell shape as a
  // passing sweep or a voice's harmonic makes.
  if (perSample > 10 && peak > 0) f.pure = (sumAbs / n) / std::sqrt(peak) > 0.55;
  const double unit = std::sqrt(Model().dot * Model().elementGap);
  f.carrier = n > std::max(2.0 * rate, 12 * unit);
  return f;
}

void RobustDecoder::Impl::Commit(const Run& run, bool forced) {
  const robust::TimingModel& model = Model();
  if (std::getenv("ROBUST_DEBUG")) {
    std::fprintf(stderr, "%s %6.1f ms at %.3f s%s  [dot %.1f dash %.1f gaps %.1f %.1f %.1f] noise %.3g\n",
                 run.on ? "TONE" : "gap ", 1000.0 * static_cast<double>(run.length) / rate, Seconds(run.start), forced ? " forced" : "",
                 model.dot, model.dash, model.elementGap, model.letterGap, model.wordGap, NoisePower());
  }
  if (run.on) {
    const robust::ToneFacts f = Facts(run);
    // Weak tones, most of them noise, would only blur the timing.
    if (!forced && !f.carrier && f.energyRatio >= 4) timing.AddTone(static_cast<double>(run.length));
    if (f.energyRatio > 4) snrDb = 0.8 * snrDb + 0.2 * f.snrDb;
    if (!forced && !f.carrier && f.energyRatio > 100 && f.perSample > 0) {
      // Fading shows as clear tones' levels jumping from one to the next;
      // a steady signal, even one slowly swelling, keeps them close.
      const double l = std::log(f.perSample);
      if (lastStrongTone >= 0 && run.start - lastStrongTone < static_cast<std::int64_t>(0.5 * rate)) {
        toneSteps[toneStepCount++ % toneSteps.size()] = std::fabs(l - lastLevel);
      }
      lastLevel = l;
    }
    if (!forced && !f.carrier && f.energyRatio > 20 && f.perSample > 0) {
      const double l = std::log(f.perSample);
      toneLevel = lastStrongTone < 0 ? l : 0.8 * toneLevel + 0.2 * l;
      lastStrongTone = run.start + run.length;
    }
    // The unit from a dot and the gap after it together: the channel
    // filter lengthens one as much as it shortens the other.
    text.SetSignal(front.pitchHz() + afcHz, 2.4 * rate / (model.dot + model.elementGap), snrDb);
    text.SetSettled(gapWeight >= 0.5 && run.start >= static_cast<std::int64_t>(kSettleSeconds * rate));
    text.Tone(f, model);
  } else {
    if (!forced && start != robust::WindowStart::kLongGap && commit > 0) {
      timing.AddGap(static_cast<double>(run.length));
    }
    LearnNoise(run);
    text.Gap(static_cast<double>(run.length), Seconds(run.start), model);
  }
  commit = run.start + run.length;
  start = run.on ? robust::WindowStart::kGap : robust::WindowStart::kTone;
}

void RobustDecoder::Impl::Analyse(bool final) {
  if (locks == 0 || count <= commit) return;
  // Twelve dots ahead: a second at 12 WPM, longer at slow speeds. Weak
  // tones need more of them to fix the speed and the levels: further ahead
  // as the SNR falls below 0 dB, up to 1.6 s, which keeps the text within
  // 2 s of the keying. Until the speed is known, a second and a half:
  // enough tones to seed it at any usual speed.
  const double weak = std::clamp(std::pow(10.0, -snrDb / 20), 1.0, 4.0);
  const double lookahead = timing.tones() < 8 ? 1.5 * rate
                                              : std::clamp(12 * Model().dot * weak, 0.6 * rate,
                                                           std::max(std::min(12 * Model().dot, 3 * rate), 1.6 * rate));
  const std::int64_t horizon = final ? count : count - static_cast<std::int64_t>(lookahead);
  // Steps of a fifth of the shorter of a dot and a gap.
  const robust::TimingModel m = Model();
  const double shortest = timing.seeded() ? std::min(m.dot, m.elementGap) : 0.04 * rate;
  const auto step = static_cast<std::int64_t>(std::clamp(std::round(shortest / 5), 1.0, 40.0));
  const std::int64_t steps = (count - commit) / step;
  if (steps < 4) {
    if (final) text.Finish(Seconds(count));
    return;
  }
  std::vector<robust::StepObservation> obs(static_cast<std::size_t>(steps));
  // The residual frequency taken out as the steps are summed; the phase
  // runs from the window's start.
  const std::complex<double> turn = std::polar(1.0, -2 * robust::kPi * afcHz / rate);
  std::complex<double> rotor(1, 0);
  for (std::int64_t j = 0; j < steps; ++j) {
    Complex sum;
    for (std::int64_t k = commit + j * step; k < commit + (j + 1) * step; ++k) {
      sum += At(k) * Complex(static_cast<float>(rotor.real()), static_cast<float>(rotor.imag()));
      rotor *= turn;
    }
    auto& o = obs[static_cast<std::size_t>(j)];
    o.sum = sum;
    const std::int64_t middle = commit + j * step + step / 2;
    o.guard = guard[static_cast<std::size_t>((middle / static_cast<std::int64_t>(kGuardBlock)) %
                                              static_cast<std::int64_t>(guard.size()))];
  }
  double stepNoise = NoisePower() * front.SumVariance(static_cast<std::size_t>(step));
  // The first reading: a threshold on each step's power, joined by the
  // last window's tones where it reaches, which find more at low SNR. The
  // threshold alone decides elsewhere, so a misreading cannot feed itself.
  std::vector<bool> down = robust::FirstReading(
      obs, stepNoise, static_cast<std::size_t>(std::max<std::int64_t>(2, static_cast<std::int64_t>(1.5 * m.dot) / step)));
  for (const Run& r : previous) {
    if (!r.on) continue;
    for (std::int64_t k = std::max(r.start, commit); k < r.start + r.length; ++k) {
      const std::int64_t j = (k - commit) / step;
      if (j < steps) down[static_cast<std::size_t>(j)] = true;
    }
  }
  // The key-down level cannot fall far below the signal's lately in a
  // moment: a tenth of it, relaxing by 6 dB a second after the last strong
  // tone so that a weaker station after a pause is read at its own level.
  double floorPower = 0;
  if (lastStrongTone >= 0) {
    const double silent = std::max(0.0, Seconds(commit) - Seconds(lastStrongTone) - 1);
    const double s = static_cast<double>(step);
    floorPower = 0.1 * std::exp(toneLevel) * NoisePower() * s * s * std::pow(10.0, -0.6 * silent);
  }
  // Two readings: the first from the thresholded steps, the second from
  // the first's keying, with the carrier's phase where it carries.
  const double guardFloor = guardNoise.Quantile(0.5);
  // A step's noise is independent of its neighbours' only where the step is
  // longer than the channel filter's memory.
  const double independence = std::min(1.0, static_cast<double>(step) * front.noiseBandwidthHz() / rate);
  auto segment = [&](const std::vector<bool>& keyed, bool allowCoherent, robust::Levels* levels) {
    *levels = robust::MeasureLevels(obs, keyed, stepNoise, std::max(3.0, 0.15 * rate / static_cast<double>(step)),
                                    floorPower);
    // Whether the carrier keeps its phase is a property of the transmitter:
    // judged over the last several windows, not one.
    if (allowCoherent && levels->agreementWeight > 0) {
      const double w = levels->agreementWeight;
      phaseAgreement = 0.7 * phaseAgreement + 0.3 * levels->agreement / w;
      phaseJudged = std::min(phaseJudged + 1, 10);
    }
    levels->coherent = allowCoherent && phaseJudged >= 2 && phaseAgreement > 0.5;
    // Fading, like the phase, belongs to the path: judged over windows.
    if (allowCoherent) fadingVote = 0.7 * fadingVote + 0.3 * levels->fading;
    levels->fading = allowCoherent ? std::max(fadingVote, ToneFading()) : 0;
    robust::TimingModel inSteps = Model();
    const double s = static_cast<double>(step);
    inSteps.dot /= s;
    inSteps.dash /= s;
    inSteps.elementGap /= s;
    inSteps.letterGap /= s;
    inSteps.wordGap /= s;
    return robust::SegmentWindow(robust::Evidence(obs, *levels, guardFloor, independence), inSteps, start);
  };
  auto mask = [&](const std::vector<robust::StepRun>& runs) {
    std::vector<bool> keyed(static_cast<std::size_t>(steps), false);
    for (const robust::StepRun& r : runs) {
      for (std::size_t j = r.start; j < r.start + r.length && j < keyed.size(); ++j) keyed[j] = r.on;
    }
    return keyed;
  };
  robust::Levels levels;
  std::vector<robust::StepRun> found = segment(down, false, &levels);
  if (std::getenv("ROBUST_DEBUG2")) {
    std::fprintf(stderr, "window %.3f: ", Seconds(commit));
    for (std::size_t j = 0; j < std::min<std::size_t>(40, obs.size()); ++j) std::fprintf(stderr, "%d:%.0f ", down[j] ? 1 : 0, 10 * std::log10(std::norm(obs[j].sum) / stepNoise + 1e-9));
    std::fprintf(stderr, "\n pass1:");
    for (const auto& r : found) std::fprintf(stderr, " %s%zu", r.on ? "+" : "-", r.length);
    std::fprintf(stderr, "\n");
  }
  // Until enough tones are committed, the model comes afresh from each
  // window's first reading, which sees the look-ahead too.
  if (timing.tones() < 8) {
    // Every run but the ragged last one, and the first where the window
    // may have cut it.
    std::vector<double> tones, gaps;
    const std::size_t first = start == robust::WindowStart::kFree ? 1 : 0;
    for (std::size_t i = first; i + 1 < found.size(); ++i) {
      (found[i].on ? tones : gaps).push_back(static_cast<double>(found[i].length * static_cast<std::size_t>(step)));
    }
    if (tones.size() >= 3 || final) {
      if (tones.empty()) tones.push_back(0.06 * rate);
      timing.Seed(tones, gaps, rate);
      front.SetDot(timing.model().dot / rate);
    }
  }
  const std::vector<bool> keyed = mask(found);
  // Before gaps have been committed the noise comes from this window's
  // first reading: its gap steps, away from the tones either side.
  if (gapWeight < 0.5) {
    double sum = 0, n = 0;
    for (std::size_t j = 1; j + 1 < keyed.size(); ++j) {
      if (!keyed[j - 1] && !keyed[j] && !keyed[j + 1]) {
        sum += std::norm(obs[j].sum);
        n += 1;
      }
    }
    if (n >= 20) stepNoise = std::min(stepNoise, sum / n);
  }
  TrackFrequency(obs, keyed, step, stepNoise,
                 kHopSeconds * rate / static_cast<double>(std::max<std::int64_t>(1, count - commit)));
  found = segment(keyed, true, &levels);
  std::vector<float> evidence = robust::Evidence(obs, levels, guardFloor, independence);
  TrySpeeds(evidence, step, &found);
  if (const char* at = std::getenv("ROBUST_DEBUG3")) {
    if (std::fabs(Seconds(commit) - std::atof(at)) < 0.05) {
      std::fprintf(stderr, "EVIDENCE window %.3f step %lld coherent %d:\n", Seconds(commit), static_cast<long long>(step), levels.coherent ? 1 : 0);
      for (std::size_t j = 0; j < evidence.size(); ++j) {
        std::fprintf(stderr, "  %.3f e=%.1f a=%.0f |o|=%.0f keyed1=%d\n", Seconds(commit + static_cast<std::int64_t>(j) * step), evidence[j], levels.amplitude[j], std::abs(obs[j].sum), keyed[j] ? 1 : 0);
      }
    }
  }
  if (std::getenv("ROBUST_DEBUG")) {
    std::fprintf(stderr, "SPREADS mark %.3f gap %.3f fading vote %.2f tones %.2f\n", Model().markSpread, Model().gapSpread, fadingVote, ToneFading());
    std::fprintf(stderr, "ANALYSE %.3f..%.3f s horizon %.3f step %lld noise %.3g snr/step %.1f coherent %d dot %.1f afc %.2f pitch %.2f\n", Seconds(commit),
                 Seconds(count), Seconds(horizon), static_cast<long long>(step), stepNoise, levels.stepSnr, levels.coherent ? 1 : 0, timing.model().dot, afcHz, front.pitchHz());
    int nans = 0; double emin = 1e300, emax = -1e300;
    for (float e : evidence) { if (!std::isfinite(e)) ++nans; else { emin = std::min(emin, double(e)); emax = std::max(emax, double(e)); } }
    std::fprintf(stderr, " evidence nonfinite %d range %.3g..%.3g start %d\n", nans, emin, emax, static_cast<int>(start));
    for (const auto& r : found) std::fprintf(stderr, " %s%zu", r.on ? "+" : "-", r.length);
    std::fprintf(stderr, "\n");
  }

  // Commit the runs that end before the horizon.
  std::vector<Run> runs;
  for (const robust::StepRun& r : found) {
    runs.push_back({r.on, commit + static_cast<std::int64_t>(r.start) * step,
                    static_cast<std::int64_t>(r.length) * step});
  }
  if (!runs.empty()) runs.back().length = count - runs.back().start;  // the ragged end
  // The model for these commits and the next window: the committed lengths
  // and the whole runs ahead in this window.
  if (timing.tones() < 8) {
    local = timing.model();
  } else {
    std::vector<double> tonesAhead, gapsAhead;
    // Runs near the window's end have little future behind them yet.
    const std::int64_t settled = count - static_cast<std::int64_t>(4 * Model().dot);
    for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
      if (runs[i].start + runs[i].length <= horizon) continue;  // committed below, counted then
      if (runs[i].start + runs[i].length > settled) break;
      (runs[i].on ? tonesAhead : gapsAhead).push_back(static_cast<double>(runs[i].length));
    }
    local = timing.Local(tonesAhead, gapsAhead);
    if (std::getenv("ROBUST_DEBUG")) {
      std::fprintf(stderr, "LOCAL dot %.1f dash %.1f from ahead:", local.dot, local.dash);
      for (double t : tonesAhead) std::fprintf(stderr, " %.0f", t);
      std::fprintf(stderr, "\n");
    }
  }
  std::size_t next = 0;
  while (next < runs.size() && (final || runs[next].start + runs[next].length <= horizon)) {
    Commit(runs[next], false);
    ++next;
  }
  previous.assign(runs.begin() + static_cast<std::ptrdiff_t>(next), runs.end());
  // A window may not grow past its bound: a silence or a carrier that
  // outlasts it is committed in part.
  if (!final && !previous.empty() && count - commit > static_cast<std::int64_t>(kMaxWindowSeconds * rate)) {
    Run part = previous.front();
    part.length = std::max<std::int64_t>(step, horizon - part.start);
    Commit(part, true);
    previous.front().start = commit;
    previous.front().length -= part.length;
    start = part.on ? robust::WindowStart::kFree : robust::WindowStart::kLongGap;
  }
  // The gap after the last committed tone may already be long enough to
  // end a letter or a word. The reading at the horizon may still change,
  // so two readings in a row must agree on where the gap began.
  if (!final && !previous.empty() && !previous.front().on) {
    const std::int64_t gapStart = previous.front().start;
    if (gapStart == openGapStart) {
      text.OpenGap(static_cast<double>(horizon - gapStart), Seconds(horizon), Model());
    }
    openGapStart = gapStart;
  } else {
    openGapStart = -1;
  }
  if (final) text.Finish(Seconds(count));
  front.SetDot(Model().dot / rate);
  front.SetHolding(text.open());
  text.Take(&events);
}

RobustDecoder::RobustDecoder(const RobustOptions& options) : impl_(std::make_unique<Impl>(options)) {}
RobustDecoder::~RobustDecoder() = default;

void RobustDecoder::Push(const float* samples, std::size_t count) {
  // Non-finite values count as silence; they must reach no filter.
  const std::size_t width = impl_->options.complex ? 2 : 1;
  float clean[512];
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min<std::size_t>(count - done, sizeof clean / sizeof clean[0] / width);
    for (std::size_t i = 0; i < n * width; ++i) {
      const float v = samples[done * width + i];
      clean[i] = std::isfinite(v) ? v : 0.0f;
    }
    impl_->front.Push(clean, n, impl_.get());
    done += n;
  }
}

void RobustDecoder::Flush() {
  // Push the filters' tails out, then decide everything.
  const std::size_t width = impl_->options.complex ? 2 : 1;
  const std::vector<float> silence(static_cast<std::size_t>(0.3 * impl_->options.sampleRate) * width, 0.0f);
  impl_->front.Push(silence.data(), silence.size() / width, impl_.get());
  impl_->Analyse(true);
}

void RobustDecoder::Take(std::vector<RobustEvent>* out) {
  for (RobustEvent& e : impl_->events) out->push_back(std::move(e));
  impl_->events.clear();
}

RobustStatus RobustDecoder::status() const {
  const Impl& m = *impl_;
  RobustStatus s;
  s.locked = m.front.locked();
  s.open = m.text.open();
  s.pitchHz = m.front.pitchHz() + m.afcHz;
  const robust::TimingModel& t = m.Model();
  const double ms = 1000 / m.rate;
  s.dotMs = t.dot * ms;
  s.dashMs = t.dash * ms;
  s.elementGapMs = t.elementGap * ms;
  s.letterGapMs = t.letterGap * ms;
  s.wordGapMs = t.wordGap * ms;
  s.wpm = 2400 / (s.dotMs + s.elementGapMs);
  s.snrDb = m.snrDb;
  s.locks = m.locks;
  s.characters = m.text.characters();
  return s;
}

std::size_t RobustDecoder::memoryBytes() const {
  return sizeof(Impl) + impl_->front.memoryBytes() + impl_->ring.capacity() * sizeof(Complex) +
         impl_->guard.capacity() * sizeof(float) + 2 * 640 * sizeof(float) +
         // a window's working arrays at its longest
         static_cast<std::size_t>(kMaxWindowSeconds * impl_->rate) * 40;
}

}  // namespace tolvane
