#include "skim/filter_bank.h"

#include <algorithm>
#include <cmath>

namespace tolvane::skim {
namespace {

constexpr std::size_t kChannelBins = 64;
// The bank's own low-pass, at the input rate: flat to a fifth of the
// channel rate, 70 dB down before half of it, so nothing folds onto the
// signal when the channel is kept at that rate.
constexpr double kBankPass = 0.2;
constexpr double kBankStop = 0.48;
constexpr double kBankRejectionDb = 70;
// The narrow channel: flat to 30 Hz either side of the signal (the
// keying's sidebands up to 40 WPM), 60 dB down from 60 Hz, where the next
// signal may be.
constexpr double kChannelCutoffHz = 45;
constexpr double kChannelWidthHz = 30;
constexpr double kChannelRejectionDb = 60;

long Wrap(long k, std::size_t n) {
  const auto size = static_cast<long>(n);
  return ((k % size) + size) % size;
}

}  // namespace

BankLayout Layout(double rate, bool complex) {
  BankLayout l;
  l.rate = rate;
  l.complex = complex;
  auto d = static_cast<std::size_t>(std::max(1.0, std::floor(rate / 1000)));
  while (d > 1 && !Smooth(d)) --d;
  l.decimation = d;
  l.channelBins = kChannelBins;
  l.size = d * kChannelBins;
  l.hop = l.size / 2;
  l.binHz = rate / static_cast<double>(l.size);
  l.outRate = rate / static_cast<double>(d);
  return l;
}

FilterBank::FilterBank(const BankLayout& layout, long firstBin, long lastBin, std::size_t historyBlocks)
    : layout_(layout),
      fft_(layout.size),
      channelFft_(layout.channelBins),
      input_(layout.size),
      spectrum_(layout.size),
      work_(layout.channelBins),
      back_(layout.channelBins) {
  const auto half = static_cast<long>(layout.channelBins / 2);
  sliceStart_ = firstBin - half;
  sliceLength_ = std::min<std::size_t>(layout.size, static_cast<std::size_t>(lastBin - firstBin + 1 + 2 * half));
  history_.assign(std::max<std::size_t>(1, historyBlocks) * sliceLength_, Complex{});

  // The prototype, causal, and its response at the channel's bins with the
  // FFT's scale taken out.
  const double d = static_cast<double>(layout.decimation);
  const double width = (kBankStop - kBankPass) / d;
  std::size_t length = KaiserLength(width, kBankRejectionDb);
  length = std::min(length, (layout.size / 2 + 1) | 1u);
  const std::vector<float> h = LowPass((kBankPass + kBankStop) / 2 / d, length, kBankRejectionDb);
  filterDelay_ = static_cast<double>(h.size() - 1) / 2;
  response_.resize(layout.channelBins);
  const double n = static_cast<double>(layout.size);
  for (long m = -half; m < half; ++m) {
    std::complex<double> sum;
    for (std::size_t i = 0; i < h.size(); ++i) {
      sum += static_cast<double>(h[i]) * std::polar(1.0, -2 * kPi * static_cast<double>(m) * static_cast<double>(i) / n);
    }
    response_[static_cast<std::size_t>(m + half)] = Complex(sum / n);
  }
}

std::size_t FilterBank::Feed(const float* samples, std::size_t count) {
  const std::size_t half = layout_.size / 2;
  std::size_t taken = 0;
  if (layout_.complex) {
    while (taken < count && fill_ < half) {
      input_[half + fill_++] = Complex(samples[2 * taken], samples[2 * taken + 1]);
      ++taken;
    }
  } else {
    while (taken < count && fill_ < half) {
      input_[half + fill_++] = Complex(samples[taken], 0);
      ++taken;
    }
  }
  if (fill_ == half) {
    fft_.Forward(input_.data(), spectrum_.data());
    const std::size_t slots = history_.size() / sliceLength_;
    Complex* slot = history_.data() + static_cast<std::size_t>(blocks_ % static_cast<std::int64_t>(slots)) * sliceLength_;
    for (std::size_t i = 0; i < sliceLength_; ++i) {
      slot[i] = spectrum_[static_cast<std::size_t>(Wrap(sliceStart_ + static_cast<long>(i), layout_.size))];
    }
    std::copy(input_.begin() + static_cast<std::ptrdiff_t>(half), input_.end(), input_.begin());
    fill_ = 0;
    ++blocks_;
    ready_ = true;
  }
  return taken;
}

float FilterBank::Power(long k) const {
  // A Hann window, applied as a three-term convolution across bins.
  const std::size_t n = layout_.size;
  const Complex x = spectrum_[static_cast<std::size_t>(Wrap(k, n))];
  const Complex lo = spectrum_[static_cast<std::size_t>(Wrap(k - 1, n))];
  const Complex hi = spectrum_[static_cast<std::size_t>(Wrap(k + 1, n))];
  return std::norm(0.5f * x - 0.25f * (lo + hi));
}

std::int64_t FilterBank::oldestBlock() const {
  return std::max<std::int64_t>(0, blocks_ - static_cast<std::int64_t>(history()));
}

const Complex* FilterBank::Slot(std::int64_t block) const {
  const std::size_t slots = history();
  return history_.data() + static_cast<std::size_t>(block % static_cast<std::int64_t>(slots)) * sliceLength_;
}

void FilterBank::Cut(long centre, std::int64_t block, Complex* out) const {
  const std::size_t m = layout_.channelBins;
  const auto half = static_cast<long>(m / 2);
  const Complex* slot = Slot(block);
  for (long j = -half; j < half; ++j) {
    long at = centre + j - sliceStart_;
    if (sliceLength_ == layout_.size) at = Wrap(at, layout_.size);
    work_[static_cast<std::size_t>(Wrap(j, m))] = slot[at] * response_[static_cast<std::size_t>(j + half)];
  }
  channelFft_.Inverse(work_.data(), back_.data());
  // Each block's transform is referred to its own first sample; this puts
  // every block on one time axis (the block starts N/2 x (block - 1) in).
  const bool flip = (centre & 1) != 0 && ((block - 1) & 1) != 0;
  for (std::size_t i = 0; i < m / 2; ++i) out[i] = flip ? -back_[m / 2 + i] : back_[m / 2 + i];
}

double FilterBank::InputIndexOf(double j) const {
  return j * static_cast<double>(layout_.decimation) - filterDelay_;
}

std::size_t FilterBank::memoryBytes() const {
  return sizeof(*this) + (input_.capacity() + spectrum_.capacity() + history_.capacity() + response_.capacity() +
                          work_.capacity() + back_.capacity()) * sizeof(Complex) +
         3 * layout_.size * sizeof(Complex);  // the two FFTs' tables
}

std::vector<float> ChannelTaps(double outRate) {
  return LowPass(kChannelCutoffHz / outRate, KaiserLength(kChannelWidthHz / outRate, kChannelRejectionDb),
                 kChannelRejectionDb);
}

ChannelFilter::ChannelFilter(double outRate, double offsetHz)
    : rate_(outRate), taps_(ChannelTaps(outRate)), line_(2 * taps_.size()) {
  for (float t : taps_) gain_ += static_cast<double>(t) * t;
  SetOffset(offsetHz);
}

void ChannelFilter::SetOffset(double offsetHz) {
  offset_ = offsetHz;
  step_ = std::polar(1.0, -2 * kPi * offsetHz / rate_);
}

void ChannelFilter::Process(Complex* values, std::size_t count) {
  const std::size_t n = taps_.size();
  for (std::size_t k = 0; k < count; ++k) {
    const Complex v = values[k] * Complex(phasor_);
    phasor_ *= step_;
    if (++renormalise_ == 1024) {
      phasor_ /= std::abs(phasor_);
      renormalise_ = 0;
    }
    line_[at_] = v;
    line_[at_ + n] = v;
    at_ = at_ + 1 == n ? 0 : at_ + 1;
    // The oldest input now sits at at_; the taps are symmetric.
    const Complex* x = line_.data() + at_;
    float re = 0, im = 0;
    for (std::size_t i = 0; i < n; ++i) {
      re += taps_[i] * x[i].real();
      im += taps_[i] * x[i].imag();
    }
    values[k] = Complex(re, im);
  }
}

NoiseFill::NoiseFill(const std::vector<Complex>* fill, std::uint64_t seed, double gain)
    : fill_(fill), at_(fill != nullptr && !fill->empty() ? static_cast<std::size_t>((seed * 7919u) % fill->size()) : 0),
      gain_(gain) {}

double NoiseFill::noise() const {
  // For noise alone the channel's power is exponential, whose 10 %
  // quantile is 0.105 of its mean; through the filter it is the input's
  // times the noise gain.
  const double quiet = measured_ ? std::exp(static_cast<double>(logQuiet_)) / 0.105 / gain_ : limit_;
  return std::min(quiet, limit_);
}

void NoiseFill::Measure(const Complex* values, std::size_t count) {
  if (limit_ <= 0) return;
  if (!measured_) {
    // Started from the spectrum's judgement, then measured.
    logQuiet_ = static_cast<float>(std::log(limit_ * gain_ * 0.105));
    measured_ = true;
  }
  for (std::size_t k = 0; k < count; ++k) {
    logQuiet_ += std::log(std::norm(values[k]) + 1e-30f) > logQuiet_ ? 0.0005f : -0.0045f;
  }
}

void NoiseFill::Fill(Complex* values, std::size_t count) {
  if (limit_ <= 0 || fill_ == nullptr || fill_->empty()) return;
  const auto scale = static_cast<float>(std::sqrt(noise()));
  for (std::size_t k = 0; k < count; ++k) {
    values[k] += scale * (*fill_)[at_];
    at_ = at_ + 1 == fill_->size() ? 0 : at_ + 1;
  }
}

std::vector<Complex> StopBandNoise(double outRate, std::size_t length, std::uint64_t seed) {
  const std::vector<float> taps = ChannelTaps(outRate);
  NoiseSource source(seed);
  std::vector<Complex> white(length);
  for (Complex& z : white) z = source.Next();
  std::vector<Complex> out(length);
  const std::size_t half = taps.size() / 2;
  for (std::size_t j = 0; j < length; ++j) {
    Complex low;
    for (std::size_t i = 0; i < taps.size(); ++i) low += taps[i] * white[(j + length + i - half) % length];
    out[j] = white[j] - low;
  }
  return out;
}

}  // namespace tolvane::skim
