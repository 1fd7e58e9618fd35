#include "sim/dsp.h"

#include <algorithm>
#include <cmath>

#include "sim/sim.h"

namespace tolvane::sim::dsp {

std::size_t NextPowerOfTwo(std::size_t n) {
  std::size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

void Fft(std::vector<std::complex<double>>* data, bool inverse) {
  std::vector<std::complex<double>>& a = *data;
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  // One table for every stage, computed directly rather than by
  // recurrence, so long transforms keep their accuracy; kept for the next
  // transform of the same size, as a stream's blocks all are.
  thread_local std::vector<std::complex<double>> tables[2];
  std::vector<std::complex<double>>& twiddle = tables[inverse ? 1 : 0];
  if (twiddle.size() != n / 2) {
    twiddle.resize(n / 2);
    const double angle = (inverse ? 2 : -2) * kPi / static_cast<double>(n);
    for (std::size_t k = 0; k < n / 2; ++k) twiddle[k] = std::polar(1.0, angle * static_cast<double>(k));
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const std::size_t half = length / 2;
    const std::size_t stride = n / length;
    for (std::size_t i = 0; i < n; i += length) {
      std::complex<double>* low = a.data() + i;
      std::complex<double>* high = low + half;
      for (std::size_t k = 0; k < half; ++k) {
        // The product written out: std::complex's operator* also checks
        // for infinities, at a cost here.
        const double xr = high[k].real(), xi = high[k].imag();
        const double wr = twiddle[k * stride].real(), wi = twiddle[k * stride].imag();
        const double vr = xr * wr - xi * wi;
        const double vi = xr * wi + xi * wr;
        const double ur = low[k].real(), ui = low[k].imag();
        low[k] = {ur + vr, ui + vi};
        high[k] = {ur - vr, ui - vi};
      }
    }
  }
}

std::vector<double> DesignFir(const std::function<double(double)>& amplitude, double rate,
                              std::size_t taps) {
  if (taps % 2 == 0) ++taps;
  const std::size_t grid = NextPowerOfTwo(taps * 4);
  std::vector<std::complex<double>> spectrum(grid);
  for (std::size_t k = 0; k <= grid / 2; ++k) {
    const double value = amplitude(rate * static_cast<double>(k) / static_cast<double>(grid));
    spectrum[k] = value;
    if (k > 0 && k < grid / 2) spectrum[grid - k] = value;
  }
  Fft(&spectrum, true);
  const std::size_t half = taps / 2;
  std::vector<double> fir(taps);
  for (std::size_t i = 0; i < taps; ++i) {
    const std::size_t index = (i + grid - half) % grid;
    const double x = static_cast<double>(i) / static_cast<double>(taps - 1);
    const double window = 0.42 - 0.5 * std::cos(2 * kPi * x) + 0.08 * std::cos(4 * kPi * x);
    fir[i] = spectrum[index].real() / static_cast<double>(grid) * window;
  }
  return fir;
}

StreamFilter::StreamFilter(const std::vector<double>& fir)
    : size_(NextPowerOfTwo(std::max<std::size_t>(4096, 4 * fir.size()))),
      block_(size_ - fir.size() + 1),
      delay_(fir.size() / 2),
      response_(size_),
      work_(size_),
      tail_(size_ - block_, 0.0) {
  std::copy(fir.begin(), fir.end(), response_.begin());
  Fft(&response_, false);
}

void StreamFilter::Push(const double* in, std::size_t count, std::vector<double>* out) {
  for (std::size_t i = 0; i < count;) {
    const std::size_t n = std::min(count - i, block_ - filled_);
    std::copy(in + i, in + i + n, work_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += n;
    i += n;
    taken_ += n;
    if (filled_ == block_) Step(out);
  }
}

void StreamFilter::Finish(std::vector<double>* out) {
  // The input is taken as `delay` samples later, so output n lines up with
  // input n: blocks of silence until the last output is complete.
  while (given_ < taken_) Step(out);
}

void StreamFilter::Step(std::vector<double>* out) {
  std::fill(work_.begin() + static_cast<std::ptrdiff_t>(filled_), work_.end(), 0.0);
  filled_ = 0;
  Fft(&work_, false);
  for (std::size_t i = 0; i < size_; ++i) work_[i] *= response_[i];
  Fft(&work_, true);
  // Sums at the block's positions are now complete (what the last block
  // left in the tail, then this block's part); those of positions `delay`
  // earlier are the outputs.
  const std::size_t carried = tail_.size();
  for (std::size_t i = 0; i < block_; ++i) {
    const double part = work_[i].real() / static_cast<double>(size_);
    const double sum = (i < carried ? tail_[i] : 0.0) + part;
    const std::size_t n = stepped_ + i;
    if (n >= delay_ && given_ < taken_) {
      out->push_back(sum);
      ++given_;
    }
  }
  // What reaches past the block, for the next one.
  for (std::size_t i = 0; i < carried; ++i) {
    const double part = work_[block_ + i].real() / static_cast<double>(size_);
    tail_[i] = (block_ + i < carried ? tail_[block_ + i] : 0.0) + part;
  }
  stepped_ += block_;
}

std::vector<double> Filter(const std::vector<double>& in, const std::vector<double>& fir) {
  std::vector<double> out;
  if (in.empty() || fir.empty()) return std::vector<double>(in.size(), 0.0);
  out.reserve(in.size());
  StreamFilter filter(fir);
  filter.Push(in.data(), in.size(), &out);
  filter.Finish(&out);
  return out;
}

std::vector<double> HilbertFir(std::size_t taps) {
  if (taps % 2 == 0) ++taps;
  const std::size_t half = taps / 2;
  std::vector<double> fir(taps, 0.0);
  for (std::size_t i = 0; i < taps; ++i) {
    const auto k = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(half);
    if (k % 2 == 0) continue;
    const double x = static_cast<double>(i) / static_cast<double>(taps - 1);
    const double window = 0.42 - 0.5 * std::cos(2 * kPi * x) + 0.08 * std::cos(4 * kPi * x);
    fir[i] = 2 / (kPi * static_cast<double>(k)) * window;
  }
  return fir;
}

std::size_t BandTaps(double rate) {
  return (static_cast<std::size_t>(std::ceil(rate / 16)) | 1U);
}

std::complex<double> Interpolate(const std::vector<std::complex<double>>& v, double x) {
  if (v.empty()) return 1.0;
  const auto last = static_cast<std::ptrdiff_t>(v.size()) - 1;
  const double floorX = std::floor(x);
  const auto i = static_cast<std::ptrdiff_t>(floorX);
  const double t = x - floorX;
  auto at = [&](std::ptrdiff_t k) { return v[static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(k, 0, last))]; };
  const std::complex<double> p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
  return p1 + 0.5 * t * (p2 - p0 + t * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + t * (3.0 * (p1 - p2) + p3 - p0)));
}

}  // namespace tolvane::sim::dsp

namespace tolvane::sim {

std::vector<float> Resample(const std::vector<float>& in, double fromRate, double toRate) {
  if (in.empty() || fromRate <= 0 || toRate <= 0) return {};
  if (fromRate == toRate) return in;
  const double ratio = toRate / fromRate;
  const double cutoff = 0.45 * std::min(1.0, ratio) * 2;  // of the input's Nyquist, times 2
  const int half = static_cast<int>(std::ceil(16 / std::min(1.0, ratio)));
  const auto count = static_cast<std::size_t>(std::floor(static_cast<double>(in.size()) * ratio));
  std::vector<float> out(count);
  const auto size = static_cast<std::ptrdiff_t>(in.size());
  for (std::size_t m = 0; m < count; ++m) {
    const double x = static_cast<double>(m) / ratio;
    const auto centre = static_cast<std::ptrdiff_t>(std::floor(x));
    double sum = 0;
    for (std::ptrdiff_t k = centre - half + 1; k <= centre + half; ++k) {
      if (k < 0 || k >= size) continue;
      const double d = x - static_cast<double>(k);
      const double arg = dsp::kPi * cutoff * d;
      const double sinc = std::abs(arg) < 1e-12 ? 1.0 : std::sin(arg) / arg;
      const double w = 0.5 + 0.5 * std::cos(dsp::kPi * d / half);
      sum += in[static_cast<std::size_t>(k)] * cutoff * sinc * w;
    }
    out[m] = static_cast<float>(sum);
  }
  return out;
}

}  // namespace tolvane::sim
