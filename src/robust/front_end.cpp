#include "robust/front_end.h"

#include <algorithm>
#include <cmath>

#include "robust/gain.h"
#include "robust/pitch_search.h"

namespace tolvane::robust {
namespace {

constexpr double kHistorySeconds = 2.5;   // kept for replay when a signal is found
constexpr double kQuietSeconds = 4;       // a lock this long without keying may move
constexpr double kBasebandRate = 1000;    // about one value per millisecond
constexpr std::size_t kChannelLength = 161;  // taps; the narrowest channel needs them
constexpr double kUnknownSpeedCutoffHz = 60;
constexpr double kWidestCutoffHz = 150;
constexpr double kClearRatio = 1000;  // keyed down over the floor, in a search bin: 30 dB
// A value waits this long before the channel filter, for the gain it was
// taken with to show beside the channel after it.
constexpr double kGainDelaySeconds = 0.15;

// Input samples per working sample: the pitch search and the mixer work at
// about 8000 Hz whatever the input's rate.
std::size_t PreFactor(const RobustOptions& s) {
  const double rate = std::max(1000.0, s.sampleRate);
  return std::max<std::size_t>(1, static_cast<std::size_t>(rate / 8000));
}

}  // namespace

struct FrontEnd::Impl {
  RobustOptions listen;
  std::size_t preFactor = 1;  // input to working rate
  double working = 0;         // working rate
  std::size_t bbFactor = 1;   // working to baseband rate
  double baseband = 0;
  Decimator<float> preReal;
  Decimator<Complex> preComplex;
  std::int64_t inputIndex = 0;    // inputs seen
  std::int64_t workingIndex = 0;  // working samples made
  double preDelay = 0;            // in input samples

  // History of working samples, for a replay when a signal is found.
  std::vector<float> historyReal;
  std::vector<Complex> historyComplex;
  std::size_t historyAt = 0;
  std::size_t historyFill = 0;

  PitchSearch search;

  // The lock and the mixer.
  bool locked = false;
  bool holding = false;  // the engine reads Morse on this signal
  double pitch = 0;
  std::size_t lockedBin = 0;
  std::int64_t lastKeyedFrame = 0;
  std::int64_t strongerSince = -1;
  Oscillator oscillator;
  Decimator<Complex> toBaseband;
  Decimator<Complex> channel;
  GainUndo gainUndo;
  double channelCutoff = kUnknownSpeedCutoffHz;
  std::vector<Complex> wideDelay;  // wide values, aligned with the channel's delay
  std::vector<std::int64_t> timeDelay;
  std::size_t delayAt = 0;

  explicit Impl(const RobustOptions& s)
      : listen(s),
        preFactor(PreFactor(s)),
        working(std::max(1000.0, s.sampleRate) / static_cast<double>(preFactor)),
        search(s, working, preFactor) {
    if (preFactor > 1) {
      const double cut = 0.42 / static_cast<double>(preFactor);
      std::vector<float> taps = LowPass(cut, KaiserLength(0.16 / static_cast<double>(preFactor), 60), 60);
      preDelay = static_cast<double>(taps.size() - 1) / 2;
      if (listen.complex) {
        preComplex = Decimator<Complex>(taps, preFactor);
      } else {
        preReal = Decimator<float>(taps, preFactor);
      }
    }
    bbFactor = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(working / kBasebandRate)));
    baseband = working / static_cast<double>(bbFactor);
    std::vector<float> taps{1.0f};
    if (bbFactor > 1) {
      const double f = 1.0 / static_cast<double>(bbFactor);
      taps = LowPass(0.3 * f, KaiserLength(0.35 * f, 60), 60);
    }
    toBaseband = Decimator<Complex>(taps, bbFactor);
    channel = Decimator<Complex>(ChannelTaps(channelCutoff), 1);
    // The channel filter delays by half its length: the wide values and
    // times wait as long, to stay beside their narrow values.
    wideDelay.assign(kChannelLength / 2, Complex{});
    timeDelay.assign(kChannelLength / 2, 0);

    const auto historyLength = static_cast<std::size_t>(kHistorySeconds * working);
    if (listen.complex) {
      historyComplex.assign(historyLength, Complex{});
    } else {
      historyReal.assign(historyLength, 0.0f);
    }
  }

  std::vector<float> ChannelTaps(double cutoffHz) const {
    return LowPass(cutoffHz / baseband, kChannelLength, 60);
  }

  // The channel filter's normalised autocorrelation, for noise through it;
  // worked out again only when the filter changes.
  const std::vector<double>& Correlation() {
    if (correlationCutoff != channelCutoff) {
      const std::vector<float> h = ChannelTaps(channelCutoff);
      channelEnergy = 0;
      for (float v : h) channelEnergy += static_cast<double>(v) * v;
      correlation.assign(h.size(), 0);
      for (std::size_t m = 0; m < h.size(); ++m) {
        for (std::size_t i = 0; i + m < h.size(); ++i) correlation[m] += static_cast<double>(h[i]) * h[i + m];
        correlation[m] /= channelEnergy;
      }
      correlationCutoff = channelCutoff;
    }
    return correlation;
  }
  std::vector<double> correlation;
  double correlationCutoff = -1;
  double channelEnergy = 0;

  void Push(const float* in, std::size_t count, BasebandSink* sink) {
    const std::size_t step = listen.complex ? 2 : 1;
    for (std::size_t i = 0; i < count; ++i) {
      const float re = in[i * step];
      const float im = listen.complex ? in[i * step + 1] : 0.0f;
      ++inputIndex;
      Complex w(re, im);
      if (preFactor > 1) {
        bool due = false;
        if (listen.complex) {
          due = preComplex.Push(w, &w);
        } else {
          float out = 0;
          due = preReal.Push(re, &out);
          w = Complex(out, 0);
        }
        if (!due) continue;
      }
      Working(w, sink);
    }
  }

  // The input sample a working sample stands for.
  std::int64_t InputOf(double workingTime) const {
    return static_cast<std::int64_t>(std::llround(workingTime * static_cast<double>(preFactor) +
                                                  static_cast<double>(preFactor - 1) - preDelay));
  }

  void Working(Complex w, BasebandSink* sink) {
    const std::size_t length = listen.complex ? historyComplex.size() : historyReal.size();
    if (listen.complex) {
      historyComplex[historyAt] = w;
    } else {
      historyReal[historyAt] = w.real();
    }
    historyAt = historyAt + 1 == length ? 0 : historyAt + 1;
    historyFill = std::min(historyFill + 1, length);
    if (locked) Mix(w, workingIndex, sink);
    ++workingIndex;
    if (search.Push(w)) Follow(sink);
  }

  void Mix(Complex w, std::int64_t index, BasebandSink* sink) {
    Complex wide;
    if (!toBaseband.Push(w * oscillator.Next(), &wide)) return;
    const double workingTime = static_cast<double>(index) - static_cast<double>(toBaseband.delay());
    std::int64_t time = 0;
    if (!gainUndo.Push(wide, InputOf(workingTime), &wide, &time)) return;
    Complex narrow;
    channel.Push(wide, &narrow);
    // The wide value and the time that go with this narrow one are the ones
    // the channel filter's delay ago.
    Baseband b;
    b.narrow = narrow;
    b.wide = wideDelay[delayAt];
    b.input = timeDelay[delayAt];
    wideDelay[delayAt] = wide;
    timeDelay[delayAt] = time;
    delayAt = delayAt + 1 == wideDelay.size() ? 0 : delayAt + 1;
    sink->Sample(b);
  }

  void Lock(std::size_t bin, BasebandSink* sink) {
    // The tone is the strongest bin within 100 Hz: fast keying's sidebands
    // (at 60 WPM, 75 Hz either side) can show their keying first.
    bin = search.StrongestWithin(bin, 100);
    locked = true;
    lockedBin = bin;
    search.Watch(bin);
    lastKeyedFrame = search.frames();
    strongerSince = -1;
    pitch = search.RefinedHz(bin);
    oscillator = Oscillator();
    oscillator.SetFrequency(pitch / working);
    toBaseband.Reset();
    // Until the speed is known the channel suits 30 WPM; a clear signal
    // loses nothing by a wider one, in which the dots of the fastest
    // keying stay apart long enough to show its speed.
    channelCutoff = search.keyedRatio(bin) >= kClearRatio ? kWidestCutoffHz : kUnknownSpeedCutoffHz;
    channel.SetTaps(ChannelTaps(channelCutoff));
    channel.Reset();
    gainUndo.Reset(baseband, kGainDelaySeconds);
    std::fill(wideDelay.begin(), wideDelay.end(), Complex{});
    delayAt = 0;
    sink->Locked(pitch, baseband);
    // Replay what was kept, so the keying that led to the lock is read too.
    const std::size_t length = listen.complex ? historyComplex.size() : historyReal.size();
    const std::size_t first = (historyAt + length - historyFill) % length;
    std::int64_t index = workingIndex - static_cast<std::int64_t>(historyFill);
    // The times of the baseband values before the replay's first, which the
    // channel filter's delay line stands for.
    const double firstWide = static_cast<double>(index) + static_cast<double>(bbFactor - 1) -
                             static_cast<double>(toBaseband.delay());
    for (std::size_t k = 0; k < timeDelay.size(); ++k) {
      timeDelay[k] = InputOf(firstWide - static_cast<double>((timeDelay.size() - k) * bbFactor));
    }
    for (std::size_t k = 0; k < historyFill; ++k, ++index) {
      const std::size_t at = (first + k) % length;
      const Complex w = listen.complex ? historyComplex[at] : Complex(historyReal[at], 0);
      Mix(w, index, sink);
    }
  }

  void Follow(BasebandSink* sink);
};

// After each spectrum frame: lock on the keyed peak, or keep the lock, or
// move it to another signal.
void FrontEnd::Impl::Follow(BasebandSink* sink) {
  if (!search.settled()) return;
  const std::size_t best = search.best();
  const float bestStrength = search.bestStrength();
  if (!locked) {
    if (best < search.size()) {
      Lock(best, sink);
    }
    return;
  }
  // The locked signal: still keyed? Follow it a bin either way as it drifts.
  const std::size_t near = search.Follow(lockedBin);
  if (search.keyedDown(near)) lastKeyedFrame = search.frames();
  const float mine = search.keyedPower(near);
  const double framesPerSecond = search.framesPerSecond();
  const bool quiet = static_cast<double>(search.frames() - lastKeyedFrame) > kQuietSeconds * framesPerSecond;
  // Fast keying's sidebands are keyed with it and peak beside it: a peak
  // within 100 Hz that is no louder on average is this signal's own.
  const bool sideband = best < search.size() && std::fabs(search.RefinedHz(best) - pitch) <= 100 &&
                        search.averagePower(best) <= search.averagePower(near);
  const bool elsewhere = best < search.size() && (best + 2 < lockedBin || best > lockedBin + 2) && !sideband;
  if (elsewhere && (quiet || bestStrength > 4 * mine)) {
    // Another signal: at once when this one has gone quiet or has not been
    // judged Morse, after two seconds of being four times (6 dB) stronger
    // otherwise.
    if (quiet || !holding) {
      Lock(best, sink);
      return;
    }
    if (strongerSince < 0) strongerSince = search.frames();
    if (static_cast<double>(search.frames() - strongerSince) > 2 * framesPerSecond) {
      Lock(best, sink);
      return;
    }
  } else {
    strongerSince = -1;
  }
  lockedBin = near;
  search.Watch(near);
}

FrontEnd::FrontEnd(const RobustOptions& listen) : impl_(std::make_unique<Impl>(listen)) {}
FrontEnd::~FrontEnd() = default;

void FrontEnd::Push(const float* samples, std::size_t count, BasebandSink* sink) {
  impl_->Push(samples, count, sink);
}

void FrontEnd::SetDot(double dotSeconds) {
  const double cutoff = std::clamp(2.5 / dotSeconds, 30.0, kWidestCutoffHz);
  if (std::fabs(cutoff - impl_->channelCutoff) < 0.15 * impl_->channelCutoff) return;
  impl_->channelCutoff = cutoff;
  impl_->channel.SetTaps(impl_->ChannelTaps(cutoff));
}

void FrontEnd::SetHolding(bool holding) { impl_->holding = holding; }

void FrontEnd::Nudge(double hz) {
  impl_->pitch += hz;
  impl_->oscillator.SetFrequency(impl_->pitch / impl_->working);
}

double FrontEnd::Allowed(double hz) const {
  const RobustOptions& o = impl_->listen;
  if (o.pitchGiven) return std::clamp(hz, o.pitchHz - kFollowToleranceHz, o.pitchHz + kFollowToleranceHz);
  return std::clamp(hz, impl_->search.bandLoHz(), impl_->search.bandHiHz());
}

std::size_t FrontEnd::mixDelay() const {
  return kChannelLength / 2 + impl_->gainUndo.delay() +
         (impl_->toBaseband.delay() + impl_->bbFactor - 1) / impl_->bbFactor;
}

std::size_t FrontEnd::inputPerBaseband() const { return impl_->preFactor * impl_->bbFactor; }

double FrontEnd::SumVariance(std::size_t n) const {
  const std::vector<double>& c = impl_->Correlation();
  double total = 0;
  for (std::size_t m = 0; m < n && m < c.size(); ++m) total += (m == 0 ? 1.0 : 2.0) * static_cast<double>(n - m) * c[m];
  return total;
}

double FrontEnd::noiseBandwidthHz() const {
  impl_->Correlation();
  return impl_->channelEnergy * impl_->baseband;  // the taps sum to one
}

bool FrontEnd::locked() const { return impl_->locked; }
bool FrontEnd::voiced() const { return impl_->search.voiced(); }
double FrontEnd::pitchHz() const { return impl_->pitch; }
double FrontEnd::basebandRate() const { return impl_->baseband; }

void FrontEnd::SetGainUndo(bool on) { impl_->gainUndo.SetEnabled(on); }

std::size_t FrontEnd::memoryBytes() const {
  const Impl& m = *impl_;
  return sizeof(Impl) + m.historyReal.capacity() * sizeof(float) + m.historyComplex.capacity() * sizeof(Complex) +
         m.search.heapBytes() + m.wideDelay.capacity() * (sizeof(Complex) + 8) + m.gainUndo.heapBytes() +
         (kChannelLength * 3 + 400) * sizeof(Complex);
}

}  // namespace tolvane::robust
