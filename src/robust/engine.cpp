// The streaming engine: the front end's baseband kept in a ring, read in
// overlapping windows that end at the newest sample, and committed a fixed
// look-ahead behind it.
#include <algorithm>
#include <cmath>

#include "robust/engine.h"

namespace tolvane {
namespace {

constexpr std::int64_t kShortestJudged = 16;  // baseband samples: two in each eighth
constexpr double kClearlyKeyed = 1000;        // energy over noise: a 30 dB tone
constexpr std::int64_t kMostSteps = 400;      // steps in a window
constexpr double kCrashMemorySeconds = 10;    // a receiver's gain settles within this after a crash

}  // namespace

// A keyed carrier holds its frequency through a tone; a voice's harmonic
// glides with the intonation. The tone in eighths, each one's phasor, and
// the frequency from one eighth's phase to the next: their spread, beyond
// what the noise (`perSample`, the tone's power over it) would make, is
// no carrier's.
bool RobustDecoder::Impl::Steady(const Run& run, double perSample, double* offsetHz) const {
  const std::int64_t parts = 8;
  const std::int64_t span = run.length / parts;
  *offsetHz = 0;
  if (span < 2 || perSample <= 0) return true;
  Complex last, turned;
  double lo = 1e300, hi = -1e300;
  // In a short tone the first and last parts are left out: there the
  // channel filter's ringing as the tone starts and stops is much of the
  // part, and an off-centre tone (before the frequency is caught) seems to
  // glide.
  const std::int64_t edge = span <= 4 ? 1 : 0;
  for (std::int64_t p = edge; p < parts - edge; ++p) {
    Complex sum;
    for (std::int64_t k = run.start + p * span; k < run.start + (p + 1) * span; ++k) sum += At(k);
    if (p > edge) {
      // Where the oscillator was nudged within the tone, the step it made
      // is put back: the tone as heard did not move.
      const std::int64_t at = run.start + p * span;
      const double moved = OscillatorAt(at) - OscillatorAt(at - span);
      const Complex pair = sum * std::conj(last) *
                           std::polar(1.0f, static_cast<float>(2 * robust::kPi * moved * static_cast<double>(span) / rate));
      turned += pair;
      const double hz = std::arg(pair) * rate / (2 * robust::kPi * static_cast<double>(span));
      lo = std::min(lo, hz);
      hi = std::max(hi, hz);
    }
    last = sum;
  }
  *offsetHz = std::arg(turned) * rate / (2 * robust::kPi * static_cast<double>(span));
  const double noiseHz = rate / (2 * robust::kPi * static_cast<double>(span)) /
                         std::sqrt(static_cast<double>(span) * perSample);
  return hi - lo <= kGlideHz + 6 * noiseHz;
}

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
  // The SNR as reported, against the noise as measured: a clean recording
  // shows as clean.
  const double n0 = MeasuredNoise() / front.noiseBandwidthHz();
  f.snrDb = perSample > 0 ? std::min(99.0, 10 * std::log10(perSample * p0 / (n0 * 2500))) : -99;
  // Where the tone is clear, a keyed carrier is steady: no bell shape as a
  // passing sweep or a voice's harmonic makes.
  if (perSample > 10 && peak > 0) f.pure = (sumAbs / n) / std::sqrt(peak) > 0.55;
  if (perSample > 2) {
    // Measured whether or not the tone is already known to be no carrier's.
    const bool steady = Steady(run, perSample, &f.offsetHz);
    f.pure = f.pure && steady;
    f.offsetKnown = true;
    f.hz = OscillatorAt(run.start) + f.offsetHz;
  }
  // Too short to tell steady from gliding: only a tone far above any noise
  // counts as a carrier's; a voice chopped by its pitch pulses makes runs
  // of these.
  if (run.length < kShortestJudged) {
    f.brief = true;
    f.pure = f.pure && f.energyRatio >= kClearlyKeyed;
    f.offsetKnown = false;
  }
  const double unit = std::sqrt(Model().dot * Model().elementGap);
  f.carrier = n > std::max(2.0 * rate, 12 * unit);
  return f;
}

void RobustDecoder::Impl::Commit(const Run& run, bool forced) {
  const robust::TimingModel& model = Model();
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
    text.SetVoiced(front.voiced());
    text.SetSettled(gapWeight >= 0.5 && run.start >= static_cast<std::int64_t>(kSettleSeconds * rate));
    text.Tone(f, model);
  } else {
    if (!forced && start != robust::WindowStart::kLongGap && commit > 0) {
      timing.AddGap(static_cast<double>(run.length));
    }
    LearnNoise(run);
    text.Gap(static_cast<double>(run.length), Seconds(run.start), GapModel());
  }
  commit = run.start + run.length;
  start = run.on ? robust::WindowStart::kGap : robust::WindowStart::kTone;
}

// A first reading whose key-down samples stand 30 dB above the noise
// between them is of a clear signal. Its speed is read from the baseband
// sample by sample, since the steps, sized for a guessed speed, may be
// longer than fast keying's dots: the edges lie where the tone's amplitude
// is half its usual. The window is then read again under that speed.
bool RobustDecoder::Impl::SeedFromClearReading(const std::vector<bool>& down,
                                               const std::vector<robust::StepObservation>& obs,
                                               std::int64_t step) {
  double on = 0, off = 0, onCount = 0, offCount = 0;
  for (std::size_t j = 1; j + 1 < obs.size(); ++j) {
    // A step beside an edge holds some of each.
    if (down[j - 1] != down[j] || down[j + 1] != down[j]) continue;
    (down[j] ? on : off) += std::norm(obs[j].sum);
    (down[j] ? onCount : offCount) += 1;
  }
  if (onCount == 0 || offCount == 0) return false;
  // Per sample: a tone's step sums add in amplitude, noise's in power (as
  // far as the channel filter leaves its samples apart).
  const double s = static_cast<double>(step);
  if (on / onCount / (s * s) < 1000 * off / offCount / front.SumVariance(static_cast<std::size_t>(step))) return false;
  // The usual key-down power: the mean of the samples within 10 dB of the
  // loudest.
  double loudest = 0;
  for (std::int64_t k = commit; k < count; ++k) loudest = std::max(loudest, static_cast<double>(std::norm(At(k))));
  double sum = 0, n = 0;
  for (std::int64_t k = commit; k < count; ++k) {
    const double p = std::norm(At(k));
    if (p >= 0.1 * loudest) {
      sum += p;
      n += 1;
    }
  }
  if (n == 0) return false;
  const double half = 0.25 * sum / n;
  std::vector<double> tones, gaps;
  std::int64_t from = commit;
  bool keyed = std::norm(At(commit)) > half;
  for (std::int64_t k = commit + 1; k <= count; ++k) {
    if (k < count && (std::norm(At(k)) > half) == keyed) continue;
    // The first and last runs may be cut by the window.
    if (from > commit && k < count) (keyed ? tones : gaps).push_back(static_cast<double>(k - from));
    from = k;
    keyed = !keyed;
  }
  if (tones.size() < 3) return false;
  const double before = Model().dot;
  timing.Seed(tones, gaps, rate);
  if (std::fabs(std::log(timing.model().dot / before)) <= std::log(1.3)) return false;
  front.SetDot(timing.model().dot / rate);
  return true;
}

// Whether the front end undoes the receiver's gain where an AGC has turned
// it down after a crash: not on a clean recording, whose "noise" beside
// the channel is the filters' leftovers and the keying's splash.
bool RobustDecoder::Impl::UndoGain() const { return snrDb <= kCleanSnrDb; }

void RobustDecoder::Impl::Analyse(bool final) {
  // A window read under a speed far from the one it shows is read again,
  // once, with what it showed; its buffers are gone by then.
  if (ReadWindow(final, false)) ReadWindow(final, true);
}

bool RobustDecoder::Impl::ReadWindow(bool final, bool again) {
  if (locks == 0 || count <= commit) return false;
  // Twelve dots ahead: a second at 12 WPM, longer at slow speeds. Weak
  // tones need more of them to fix the speed and the levels: further ahead
  // as the SNR falls below 0 dB, up to 1.6 s, which keeps the text within
  // 2 s of the keying. Until the speed is known, a second and a half:
  // enough tones to seed it at any usual speed.
  const double weak = std::clamp(std::pow(10.0, -snrDb / 20), 1.0, 4.0);
  const double lookahead = timing.tones() < 8 ? 1.5 * rate
                                              : std::clamp(12 * Model().dot * weak, 0.6 * rate,
                                                           std::max(std::min(12 * Model().dot, 3 * rate), 1.6 * rate));
  std::int64_t horizon = final ? count : count - static_cast<std::int64_t>(lookahead);
  // Steps of a fifth of the shorter of a dot and a gap.
  const robust::TimingModel m = Model();
  const double shortest = timing.seeded() ? std::min(m.dot, m.elementGap) : 0.04 * rate;
  // Never more than kMostSteps of them, which bounds the window's memory.
  const auto step = std::max(static_cast<std::int64_t>(std::clamp(std::round(shortest / 5), 1.0, 40.0)),
                             (count - commit + kMostSteps - 1) / kMostSteps);
  const std::int64_t steps = (count - commit) / step;
  if (steps < 4) {
    if (final) text.Finish(Seconds(count));
    return false;
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
  const double guardFloor = guardNoise.Quantile(0.5);
  if (std::any_of(obs.begin(), obs.end(), [&](const auto& o) { return robust::UnderCrash(o, guardFloor); })) {
    lastCrash = count;
  }
  front.SetGainUndo(UndoGain());
  double stepNoise = NoisePower() * front.SumVariance(static_cast<std::size_t>(step));
  // The first reading: a threshold on each step's power, joined by the
  // last window's tones where it reaches, which find more at low SNR. The
  // threshold alone decides elsewhere, so a misreading cannot feed itself.
  std::vector<bool> down = robust::FirstReading(
      obs, stepNoise, static_cast<std::size_t>(std::max<std::int64_t>(2, static_cast<std::int64_t>(1.5 * m.dot) / step)));
  // Until the speed is known, a clear first reading gives it: read under a
  // guessed speed, fast keying runs its dots together.
  if (!again && timing.tones() < 8 && SeedFromClearReading(down, obs, step)) return true;
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
    levels->localTrusted = lastCrash < 0 || count - lastCrash > static_cast<std::int64_t>(kCrashMemorySeconds * rate);
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
    // Too few tones for a speed (one or two at 5 WPM), or tones all alike
    // and no gap yet to say whether they are dots or dashes (H or TTTT at
    // a slow speed): nothing is committed until they can, for a few
    // seconds at most.
    if ((!timing.seeded() || timing.ambiguous()) && count - commit < static_cast<std::int64_t>(kAmbiguousSeconds * rate)) {
      horizon = std::min(horizon, commit);
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

  // Commit the runs that end before the horizon.
  std::vector<Run> runs;
  runs.reserve(found.size());
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
      text.OpenGap(static_cast<double>(horizon - gapStart), Seconds(horizon), GapModel());
    }
    openGapStart = gapStart;
  } else {
    openGapStart = -1;
  }
  if (final) text.Finish(Seconds(count));
  front.SetDot(Model().dot / rate);
  front.SetHolding(text.open());
  text.Take(&events);
  return false;
}

}  // namespace tolvane
