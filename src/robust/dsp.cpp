#include "robust/dsp.h"

#include <algorithm>
#include <cmath>

namespace tolvane::robust {

Fft::Fft(std::size_t size) : size_(size), twiddle_(size / 2), reversed_(size) {
  for (std::size_t k = 0; k < size / 2; ++k) {
    const double angle = -2 * kPi * static_cast<double>(k) / static_cast<double>(size);
    twiddle_[k] = Complex(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
  }
  std::size_t bits = 0;
  while ((std::size_t{1} << bits) < size) ++bits;
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t r = 0;
    for (std::size_t b = 0; b < bits; ++b) r |= ((i >> b) & 1u) << (bits - 1 - b);
    reversed_[i] = r;
  }
}

void Fft::Forward(Complex* a) const {
  for (std::size_t i = 0; i < size_; ++i) {
    if (i < reversed_[i]) std::swap(a[i], a[reversed_[i]]);
  }
  for (std::size_t length = 2; length <= size_; length <<= 1) {
    const std::size_t half = length / 2;
    const std::size_t stride = size_ / length;
    for (std::size_t i = 0; i < size_; i += length) {
      for (std::size_t k = 0; k < half; ++k) {
        const Complex v = a[i + k + half] * twiddle_[k * stride];
        a[i + k + half] = a[i + k] - v;
        a[i + k] += v;
      }
    }
  }
}

PowerSpectrum::PowerSpectrum(std::size_t size, bool complex)
    : size_(size), fft_(complex ? size : size / 2), window_(size), work_(complex ? size : size / 2) {
  for (std::size_t i = 0; i < size; ++i) {
    window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(size)));
  }
  if (!complex) {
    turn_.resize(size / 2);
    for (std::size_t k = 0; k < size / 2; ++k) {
      const double angle = -2 * kPi * static_cast<double>(k) / static_cast<double>(size);
      turn_[k] = Complex(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
    }
  }
}

void PowerSpectrum::Real(const float* x, float* power) {
  // Even and odd samples packed as one complex sequence, half the work.
  const std::size_t h = size_ / 2;
  Complex* z = work_.data();
  for (std::size_t k = 0; k < h; ++k) z[k] = Complex(x[2 * k] * window_[2 * k], x[2 * k + 1] * window_[2 * k + 1]);
  fft_.Forward(z);
  power[0] = (z[0].real() + z[0].imag()) * (z[0].real() + z[0].imag());
  power[h] = (z[0].real() - z[0].imag()) * (z[0].real() - z[0].imag());
  for (std::size_t k = 1; k < h; ++k) {
    const Complex a = z[k];
    const Complex b = std::conj(z[h - k]);
    const Complex even = 0.5f * (a + b);
    const Complex odd = Complex(0, -0.5f) * (a - b);
    power[k] = std::norm(even + turn_[k] * odd);
  }
}

void PowerSpectrum::OfComplex(const Complex* x, float* power) {
  Complex* z = work_.data();
  for (std::size_t i = 0; i < size_; ++i) z[i] = x[i] * window_[i];
  fft_.Forward(z);
  for (std::size_t i = 0; i < size_; ++i) power[i] = std::norm(z[i]);
}


template <typename Sample>
Decimator<Sample>::Decimator(std::vector<float> taps, std::size_t factor) : factor_(std::max<std::size_t>(1, factor)) {
  SetTaps(std::move(taps));
  Reset();
}

template <typename Sample>
void Decimator<Sample>::SetTaps(std::vector<float> taps) {
  std::reverse(taps.begin(), taps.end());
  if (taps.size() != taps_.size()) {
    buffer_.assign(2 * taps.size(), Sample{});
    at_ = 0;
  }
  taps_ = std::move(taps);
}

template <typename Sample>
void Decimator<Sample>::Reset() {
  std::fill(buffer_.begin(), buffer_.end(), Sample{});
  at_ = 0;
  phase_ = 0;
}

template <typename Sample>
bool Decimator<Sample>::Push(Sample in, Sample* out) {
  const std::size_t n = taps_.size();
  buffer_[at_] = in;
  buffer_[at_ + n] = in;
  at_ = at_ + 1 == n ? 0 : at_ + 1;
  if (++phase_ < factor_) return false;
  phase_ = 0;
  // buffer_[at_ .. at_ + n) holds the last n inputs, oldest first.
  const Sample* x = buffer_.data() + at_;
  Sample sum{};
  for (std::size_t i = 0; i < n; ++i) sum += taps_[i] * x[i];
  *out = sum;
  return true;
}

template class Decimator<float>;
template class Decimator<Complex>;

void Oscillator::SetFrequency(double cyclesPerSample) {
  frequency_ = cyclesPerSample;
  step_ = std::polar(1.0, -2 * kPi * cyclesPerSample);
}

Complex Oscillator::Next() {
  const Complex out(static_cast<float>(value_.real()), static_cast<float>(value_.imag()));
  value_ *= step_;
  if (++count_ == 1024) {
    value_ /= std::abs(value_);
    count_ = 0;
  }
  return out;
}

}  // namespace tolvane::robust
