#include "skim/dsp.h"

#include <algorithm>
#include <cmath>

namespace tolvane::skim {
namespace {

std::vector<std::size_t> Factor(std::size_t n) {
  std::vector<std::size_t> factors;
  // Radix 4 first: fewer, cheaper stages.
  while (n % 4 == 0) {
    factors.push_back(4);
    n /= 4;
  }
  for (std::size_t p = 2; n > 1; ++p) {
    while (n % p == 0) {
      factors.push_back(p);
      n /= p;
    }
    if (p * p > n && n > 1) {
      factors.push_back(n);
      break;
    }
  }
  return factors;
}

std::vector<Complex> Twiddles(std::size_t n, double sign) {
  std::vector<Complex> t(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double a = sign * 2 * kPi * static_cast<double>(k) / static_cast<double>(n);
    t[k] = Complex(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)));
  }
  return t;
}


}  // namespace

double NoiseSource::Uniform() {
  // xorshift64*: 53 bits in (0, 1].
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return (static_cast<double>((state_ * 0x2545F4914F6CDD1Dull) >> 11) + 1) * 0x1.0p-53;
}

Complex NoiseSource::Next() {
  const double radius = std::sqrt(-std::log(Uniform()));  // each part of variance 1/2
  const double angle = 2 * kPi * Uniform();
  return Complex(static_cast<float>(radius * std::cos(angle)), static_cast<float>(radius * std::sin(angle)));
}

bool Smooth(std::size_t n) {
  if (n == 0) return false;
  static constexpr std::size_t kPrimes[] = {2, 3, 5, 7};
  for (std::size_t p : kPrimes) {
    while (n % p == 0) n /= p;
  }
  return n == 1;
}

Fft::Fft(std::size_t size)
    : size_(size), factors_(Factor(size)), forward_(Twiddles(size, -1)), inverse_(Twiddles(size, 1)) {
  std::size_t largest = 1;
  for (std::size_t f : factors_) largest = std::max(largest, f);
  scratch_.resize(largest);
}

void Fft::Forward(const Complex* in, Complex* out) const {
  if (size_ == 1) {
    out[0] = in[0];
    return;
  }
  Stage(out, in, 1, 0, forward_);
}

void Fft::Inverse(const Complex* in, Complex* out) const {
  if (size_ == 1) {
    out[0] = in[0];
    return;
  }
  Stage(out, in, 1, 0, inverse_);
}

// Decimation in time: the `p` interleaved sub-sequences of `in` (every
// `stride`-th sample) are transformed into consecutive blocks of `out`,
// then combined by radix-p butterflies.
void Fft::Stage(Complex* out, const Complex* in, std::size_t stride, std::size_t level,
                const std::vector<Complex>& tw) const {
  const std::size_t p = factors_[level];
  std::size_t m = size_ / stride / p;  // the length of each sub-transform
  if (m == 1) {
    for (std::size_t j = 0; j < p; ++j) out[j] = in[j * stride];
  } else {
    for (std::size_t j = 0; j < p; ++j) Stage(out + j * m, in + j * stride, stride * p, level + 1, tw);
  }
  const bool inverse = &tw == &inverse_;
  switch (p) {
    case 2:
      for (std::size_t u = 0; u < m; ++u) {
        const Complex t = out[u + m] * tw[u * stride];
        out[u + m] = out[u] - t;
        out[u] += t;
      }
      break;
    case 4:
      for (std::size_t u = 0; u < m; ++u) {
        const Complex a0 = out[u];
        const Complex a1 = out[u + m] * tw[u * stride];
        const Complex a2 = out[u + 2 * m] * tw[2 * u * stride];
        const Complex a3 = out[u + 3 * m] * tw[3 * u * stride];
        const Complex s0 = a0 + a2, s1 = a0 - a2, s2 = a1 + a3;
        Complex s3 = a1 - a3;
        // Times -i forward, +i inverse.
        s3 = inverse ? Complex(-s3.imag(), s3.real()) : Complex(s3.imag(), -s3.real());
        out[u] = s0 + s2;
        out[u + m] = s1 + s3;
        out[u + 2 * m] = s0 - s2;
        out[u + 3 * m] = s1 - s3;
      }
      break;
    default: {
      // A plain DFT of the p twiddled values for each u.
      Complex* a = scratch_.data();
      const std::size_t n = size_;
      for (std::size_t u = 0; u < m; ++u) {
        for (std::size_t q = 0; q < p; ++q) a[q] = out[u + q * m] * tw[(q * u * stride) % n];
        for (std::size_t k = 0; k < p; ++k) {
          Complex sum = a[0];
          for (std::size_t q = 1; q < p; ++q) sum += a[q] * tw[(q * k * m * stride) % n];
          out[u + k * m] = sum;
        }
      }
      break;
    }
  }
}

}  // namespace tolvane::skim
