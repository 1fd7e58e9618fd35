#include "robust/front_end.h"

#include <algorithm>
#include <cmath>

namespace tolvane::robust {
namespace {

constexpr double kHistorySeconds = 2.5;   // kept for replay when a signal is found
constexpr double kFrameSeconds = 0.128;   // spectrum frames for the pitch search
constexpr double kMemorySeconds = 4;      // how long the search remembers keying
constexpr double kOnRatio = 9;            // a bin is keyed down above this over its floor
constexpr double kOffRatio = 3;           // and up again below this
constexpr double kCarrierSeconds = 2;     // a tone longer than this is a carrier
constexpr double kLoudRatio = 100;        // one keying this strong is enough to lock
constexpr double kQuietSeconds = 4;       // a lock this long without keying may move
constexpr double kPitchTolerance = 45;    // Hz either side of a given pitch
constexpr long long kEdgeBins = 8;        // watched beyond the band's edges
constexpr double kBasebandRate = 1000;    // about one value per millisecond
constexpr std::size_t kChannelLength = 161;  // taps; the narrowest channel needs them

std::size_t PowerOfTwoNear(double n) {
  std::size_t p = 64;
  while (static_cast<double>(p * 2) <= n * 1.25 && p < (1u << 15)) p *= 2;
  return p;
}

// Per-bin memory of the spectrum: a noise floor and how the bin has been
// keyed lately.
struct Bin {
  float smooth = 0;  // power averaged over a couple of seconds
  float floor = 0;
  float peak = 0;
  float transitions = 0;  // key-up after key-down, leaky
  float onSum = 0;        // ratio over the floor while keyed down, leaky
  float onCount = 0;
  float onPower = 0;      // power while keyed down, leaky, for the peak's shape
  int onRun = 0;          // frames keyed down in a row
  std::int64_t carrierUntil = -1;
  bool on = false;
};

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

  // The pitch search.
  std::unique_ptr<PowerSpectrum> spectrum;
  std::vector<float> frameReal;      // the frame being filled
  std::vector<Complex> frameComplex;
  std::vector<float> framePower;
  std::size_t frameFill = 0;
  std::size_t hop = 0;
  std::size_t sinceFrame = 0;
  std::int64_t frameCount = 0;
  std::size_t binLo = 0, binHi = 0;  // the bins watched, as FFT bins (complex: wrapped)
  std::size_t candidateLo = 0, candidateHi = 0;  // of those, the band a signal may be taken from
  std::vector<Bin> bins;
  std::vector<float> scratch;
  float loudestLeaky = 0;
  float leak = 0;
  float floorRate = 0;

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
  double channelCutoff = 60;
  std::vector<Complex> wideDelay;  // wide values, aligned with the channel's delay
  std::vector<std::int64_t> timeDelay;
  std::size_t delayAt = 0;

  explicit Impl(const RobustOptions& s) : listen(s) {
    const double rate = std::max(1000.0, s.sampleRate);
    preFactor = std::max<std::size_t>(1, static_cast<std::size_t>(rate / 8000));
    working = rate / static_cast<double>(preFactor);
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

    const std::size_t n = PowerOfTwoNear(kFrameSeconds * working);
    spectrum = std::make_unique<PowerSpectrum>(n, listen.complex);
    framePower.resize(n);
    if (listen.complex) {
      frameComplex.resize(n);
    } else {
      frameReal.resize(n);
    }
    // Frames side by side: keying shows in their succession, and the
    // spectrum costs least this way.
    hop = n;
    const double frameRate = working / static_cast<double>(hop);
    leak = static_cast<float>(std::exp(-1 / (kMemorySeconds * frameRate)));
    floorRate = static_cast<float>(1 / (2 * frameRate));
    SetBand();
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

  // The bins the search looks at: the band asked for, within what the
  // working rate carries.
  void SetBand() {
    const std::size_t n = spectrum->size();
    const double binHz = working / static_cast<double>(n);
    double lo = listen.complex ? -0.45 * working : 100.0;
    double hi = listen.complex ? 0.45 * working : std::min(3600.0, (preFactor == 1 ? 0.45 : 0.42) * working);
    if (listen.bandLoHz != 0 || listen.bandHiHz != 0) {
      lo = std::max(lo, listen.bandLoHz);
      hi = std::min(hi, listen.bandHiHz);
    }
    if (listen.pitchGiven) {
      lo = std::max(lo, listen.pitchHz - kPitchTolerance);
      hi = std::min(hi, listen.pitchHz + kPitchTolerance);
    }
    if (hi < lo) hi = lo;
    // Bins are indexed from the band's low edge; for I/Q, negative
    // frequencies wrap to the top of the FFT. A band narrower than the
    // input carries is watched a little beyond its edges too, so that a
    // loud signal just outside is seen as the peak it is and not taken,
    // by its skirt, for one at the edge.
    const auto first = std::llround(std::floor(lo / binHz));
    const auto last = std::llround(std::ceil(hi / binHz));
    const long long lowest = listen.complex ? first - kEdgeBins : std::max(0LL, first - kEdgeBins);
    const long long highest =
        listen.complex ? last + kEdgeBins : std::min(static_cast<long long>(n / 2) - 1, last + kEdgeBins);
    binLo = static_cast<std::size_t>(lowest + static_cast<long long>(n));
    binHi = static_cast<std::size_t>(highest + static_cast<long long>(n));
    candidateLo = static_cast<std::size_t>(first - lowest);
    candidateHi = static_cast<std::size_t>(last - lowest);
    bins.assign(binHi - binLo + 1, Bin{});
  }

  double BinHz(double offset) const {
    const double binHz = working / static_cast<double>(spectrum->size());
    return (static_cast<double>(binLo) + offset - static_cast<double>(spectrum->size())) * binHz;
  }

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
    if (listen.complex) {
      frameComplex[frameFill] = w;
    } else {
      frameReal[frameFill] = w.real();
    }
    if (++frameFill == spectrum->size()) {
      frameFill = 0;
      Spectrum(sink);
    }
  }

  void Mix(Complex w, std::int64_t index, BasebandSink* sink) {
    Complex wide;
    if (!toBaseband.Push(w * oscillator.Next(), &wide)) return;
    Complex narrow;
    channel.Push(wide, &narrow);
    // The wide value and the time that go with this narrow one are the ones
    // the channel filter's delay ago.
    const double workingTime = static_cast<double>(index) - static_cast<double>(toBaseband.delay());
    Baseband b;
    b.narrow = narrow;
    b.wide = wideDelay[delayAt];
    b.input = timeDelay[delayAt];
    wideDelay[delayAt] = wide;
    timeDelay[delayAt] = InputOf(workingTime);
    delayAt = delayAt + 1 == wideDelay.size() ? 0 : delayAt + 1;
    sink->Sample(b);
  }

  void Lock(std::size_t bin, BasebandSink* sink) {
    // Fast keying spreads a tone into sidebands a dot's inverse either side,
    // which can show their keying first: the tone is the strongest bin
    // within 60 Hz.
    const double binHz = working / static_cast<double>(spectrum->size());
    const auto reach = static_cast<std::size_t>(60 / binHz);
    for (std::size_t o = std::max(candidateLo, bin >= reach ? bin - reach : 0);
         o <= std::min(candidateHi, bin + reach) && o < bins.size(); ++o) {
      if (bins[o].smooth > bins[bin].smooth) bin = o;
    }
    locked = true;
    lockedBin = bin;
    lastKeyedFrame = frameCount;
    strongerSince = -1;
    pitch = RefinedHz(bin);
    oscillator = Oscillator();
    oscillator.SetFrequency(pitch / working);
    toBaseband.Reset();
    channel.Reset();
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

  // The peak between bins, from the keyed-down power either side.
  double RefinedHz(std::size_t bin) const {
    double offset = 0;
    if (bin > 0 && bin + 1 < bins.size()) {
      const double a = std::log(bins[bin - 1].onPower + 1e-30);
      const double b = std::log(bins[bin].onPower + 1e-30);
      const double c = std::log(bins[bin + 1].onPower + 1e-30);
      const double d = a - 2 * b + c;
      if (d < 0) offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
    }
    return BinHz(static_cast<double>(bin) + offset);
  }

  void Spectrum(BasebandSink* sink);

  // Each bin's floor from its neighbours' averaged power: their median,
  // which is about 0.7 of the mean for noise alone, raised to the mean.
  // Taken at every fourth bin and spread to the bins between: the floor
  // changes slowly across frequency.
  void Floors() {
    constexpr std::size_t kReach = 16;
    constexpr std::size_t kStride = 4;
    std::vector<float>& near = floorScratch;
    float last = 0;
    for (std::size_t b = 0; b < bins.size(); b += kStride) {
      const std::size_t lo = b >= kReach ? b - kReach : 0;
      const std::size_t hi = std::min(bins.size(), b + kReach + 1);
      near.clear();
      for (std::size_t o = lo; o < hi; ++o) near.push_back(bins[o].smooth);
      std::nth_element(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(near.size() / 2), near.end());
      const float median = near[near.size() / 2];
      for (std::size_t o = b; o < std::min(bins.size(), b + kStride); ++o) bins[o].floor = median;
      last = median;
    }
    (void)last;
  }
  std::vector<float> floorScratch;
};

void FrontEnd::Impl::Spectrum(BasebandSink* sink) {
  const std::size_t n = spectrum->size();
  if (listen.complex) {
    spectrum->OfComplex(frameComplex.data(), framePower.data());
  } else {
    spectrum->Real(frameReal.data(), framePower.data());
  }
  ++frameCount;
  std::vector<float>& power = scratch;
  power.resize(bins.size());
  float loudest = 0;
  for (std::size_t b = 0; b < bins.size(); ++b) {
    power[b] = framePower[(binLo + b) % n];
    loudest = std::max(loudest, power[b]);
  }
  if (frameCount % 4 == 1) Floors();
  loudestLeaky = std::max(loudest, loudestLeaky * leak);
  // Digital silence has no floor: a bin must stand less than 70 dB below
  // the loudest lately, and above rounding noise, to count.
  const float least = std::max(1e-7f * loudestLeaky, 1e-10f);
  for (std::size_t b = 0; b < bins.size(); ++b) {
    Bin& bin = bins[b];
    const float p = power[b];
    // The floor: the median, across the bins a little either side, of each
    // bin's power averaged over two seconds, so a keyed tone does not
    // raise its own floor and one frame of noise does not lower it.
    bin.smooth = bin.smooth == 0 ? p : bin.smooth + floorRate * (p - bin.smooth);
    bin.peak = std::max(p, bin.peak * 0.9f);
    const float ratio = p / std::max(bin.floor, least);
    bin.transitions *= leak;
    bin.onSum *= leak;
    bin.onCount *= leak;
    if (!bin.on && ratio > static_cast<float>(kOnRatio)) {
      bin.on = true;
      bin.onRun = 0;
    } else if (bin.on && (ratio < static_cast<float>(kOffRatio) || p < 0.1f * bin.peak)) {
      // Down by 10 dB from its own level is key-up too: a clean tone's
      // gaps seldom reach the floor within one frame.
      bin.on = false;
      bin.transitions += 1;
    }
    if (bin.on) {
      ++bin.onRun;
      bin.onSum += ratio;
      bin.onCount += 1;
      bin.onPower = bin.onPower * leak + p * (1 - leak);
      if (bin.onRun * static_cast<double>(hop) / working > kCarrierSeconds) {
        bin.carrierUntil = frameCount + static_cast<std::int64_t>(kMemorySeconds * working / static_cast<double>(hop));
      }
    }
  }
  // The keyed peaks: local maxima of the mean keyed-down ratio among bins
  // keyed often enough, or once and loudly; carriers are no candidates.
  // A candidate's strength is its keyed-down power, so that signals compare
  // as the ear would, whatever the noise beside each.
  auto strength = [&](std::size_t b) -> float {
    const Bin& bin = bins[b];
    if (bin.onCount < 0.5f || bin.carrierUntil >= frameCount) return 0;
    const float mean = bin.onSum / bin.onCount;
    if (bin.transitions >= 2.5f || (bin.transitions >= 0.9f && mean >= static_cast<float>(kLoudRatio))) {
      return bin.onPower;
    }
    return 0;
  };
  // Leakage of a loud tone into far bins is keyed with it: nothing more
  // than 30 dB below the loudest keying is a signal of its own.
  float loudestKeyed = 0;
  for (std::size_t b = 0; b < bins.size(); ++b) {
    if (bins[b].carrierUntil < frameCount) loudestKeyed = std::max(loudestKeyed, bins[b].onPower);
  }
  std::size_t best = bins.size();
  float bestStrength = 0;
  for (std::size_t b = candidateLo; b <= candidateHi && b < bins.size(); ++b) {
    const float s = strength(b);
    if (s <= 0 || s < 1e-3f * loudestKeyed) continue;
    // A peak of its neighbourhood: a keyed tone's own sidelobes and key
    // clicks are no signals.
    bool peak = true;
    for (std::size_t o = b >= 4 ? b - 4 : 0; o <= std::min(bins.size() - 1, b + 4) && peak; ++o) {
      if (o != b && bins[o].onPower > bins[b].onPower) peak = false;
    }
    if (peak && s > bestStrength) {
      bestStrength = s;
      best = b;
    }
  }
  // The floors need half a second of spectrum before anything can stand
  // above them.
  if (static_cast<double>(frameCount) * static_cast<double>(hop) < 0.5 * working) return;
  if (!locked) {
    if (best < bins.size()) {
      Lock(best, sink);
    }
    return;
  }
  // The locked signal: still keyed? Follow it a bin either way as it drifts.
  std::size_t near = lockedBin;
  for (std::size_t o = lockedBin >= 1 ? lockedBin - 1 : 0; o <= std::min(bins.size() - 1, lockedBin + 1); ++o) {
    if (bins[o].onPower > bins[near].onPower) near = o;
  }
  if (bins[near].on) lastKeyedFrame = frameCount;
  const float mine = bins[near].onPower;
  const double framesPerSecond = working / static_cast<double>(hop);
  const bool quiet = static_cast<double>(frameCount - lastKeyedFrame) > kQuietSeconds * framesPerSecond;
  const bool elsewhere = best < bins.size() && (best + 2 < lockedBin || best > lockedBin + 2);
  if (elsewhere && (quiet || bestStrength > 4 * mine)) {
    // Another signal: at once when this one has gone quiet or has not been
    // judged Morse, after two seconds of being four times (6 dB) stronger
    // otherwise.
    if (quiet || !holding) {
      Lock(best, sink);
      return;
    }
    if (strongerSince < 0) strongerSince = frameCount;
    if (static_cast<double>(frameCount - strongerSince) > 2 * framesPerSecond) {
      Lock(best, sink);
      return;
    }
  } else {
    strongerSince = -1;
  }
  lockedBin = near;
}

FrontEnd::FrontEnd(const RobustOptions& listen) : impl_(std::make_unique<Impl>(listen)) {}
FrontEnd::~FrontEnd() = default;

void FrontEnd::Push(const float* samples, std::size_t count, BasebandSink* sink) {
  impl_->Push(samples, count, sink);
}

void FrontEnd::SetDot(double dotSeconds) {
  const double cutoff = std::clamp(2.5 / dotSeconds, 30.0, 150.0);
  if (std::fabs(cutoff - impl_->channelCutoff) < 0.15 * impl_->channelCutoff) return;
  impl_->channelCutoff = cutoff;
  impl_->channel.SetTaps(impl_->ChannelTaps(cutoff));
}

void FrontEnd::SetHolding(bool holding) { impl_->holding = holding; }

void FrontEnd::Nudge(double hz) {
  impl_->pitch += hz;
  impl_->oscillator.SetFrequency(impl_->pitch / impl_->working);
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
double FrontEnd::pitchHz() const { return impl_->pitch; }
double FrontEnd::basebandRate() const { return impl_->baseband; }

std::size_t FrontEnd::memoryBytes() const {
  const Impl& m = *impl_;
  return sizeof(Impl) + m.historyReal.capacity() * sizeof(float) + m.historyComplex.capacity() * sizeof(Complex) +
         m.spectrum->size() * (sizeof(Complex) + 2 * sizeof(float)) + m.frameReal.capacity() * sizeof(float) +
         m.frameComplex.capacity() * sizeof(Complex) + m.framePower.capacity() * sizeof(float) +
         m.bins.capacity() * (sizeof(Bin) + sizeof(float)) + m.wideDelay.capacity() * (sizeof(Complex) + 8) +
         (kChannelLength * 3 + 400) * sizeof(Complex);
}

}  // namespace tolvane::robust
