#include "sim/dsp.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <type_traits>

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
  // transform of the same size, as a stream's blocks all are. The inverse
  // uses its conjugate: cos and sin of a negated angle are exactly the
  // same numbers, negated.
  thread_local std::map<std::size_t, std::vector<std::complex<double>>> tables;
  std::vector<std::complex<double>>& twiddle = tables[n];
  if (twiddle.size() != n / 2) {
    twiddle.resize(n / 2);
    const double angle = -2 * kPi / static_cast<double>(n);
    for (std::size_t k = 0; k < n / 2; ++k) twiddle[k] = std::polar(1.0, angle * static_cast<double>(k));
  }
  const double sign = inverse ? -1 : 1;
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
        const double wr = twiddle[k * stride].real(), wi = sign * twiddle[k * stride].imag();
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

namespace {

// A transform's value, scaled, as the filter's sample type.
template <typename Sample>
Sample Scaled(const std::complex<double>& z, std::size_t size) {
  if constexpr (std::is_same_v<Sample, double>) {
    return z.real() / static_cast<double>(size);
  } else {
    return z / static_cast<double>(size);
  }
}

}  // namespace

template <typename Sample>
BasicStreamFilter<Sample>::BasicStreamFilter(const std::vector<double>& fir, std::size_t sizeOverTaps)
    : size_(NextPowerOfTwo(std::max<std::size_t>(4096, sizeOverTaps * fir.size()))),
      block_(size_ - fir.size() + 1),
      delay_(fir.size() / 2),
      response_(size_),
      work_(size_),
      tail_(size_ - block_, Sample{}) {
  std::copy(fir.begin(), fir.end(), response_.begin());
  Fft(&response_, false);
}

template <typename Sample>
void BasicStreamFilter<Sample>::Push(const Sample* in, std::size_t count, std::vector<Sample>* out) {
  for (std::size_t i = 0; i < count;) {
    const std::size_t n = std::min(count - i, block_ - filled_);
    std::copy(in + i, in + i + n, work_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += n;
    i += n;
    taken_ += n;
    if (filled_ == block_) Step(out);
  }
}

template <typename Sample>
void BasicStreamFilter<Sample>::Finish(std::vector<Sample>* out) {
  // The input is taken as `delay` samples later, so output n lines up with
  // input n: blocks of silence until the last output is complete.
  while (given_ < taken_) Step(out);
}

template <typename Sample>
void BasicStreamFilter<Sample>::Step(std::vector<Sample>* out) {
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
    const Sample part = Scaled<Sample>(work_[i], size_);
    const Sample sum = (i < carried ? tail_[i] : Sample{}) + part;
    const std::size_t n = stepped_ + i;
    if (n >= delay_ && given_ < taken_) {
      out->push_back(sum);
      ++given_;
    }
  }
  // What reaches past the block, for the next one.
  for (std::size_t i = 0; i < carried; ++i) {
    const Sample part = Scaled<Sample>(work_[block_ + i], size_);
    tail_[i] = (block_ + i < carried ? tail_[block_ + i] : Sample{}) + part;
  }
  stepped_ += block_;
}

template class BasicStreamFilter<double>;
template class BasicStreamFilter<std::complex<double>>;

namespace {

// HilbertFir's nonzero taps: those an odd distance from the centre.
std::vector<double> OddTaps(std::size_t taps) {
  const std::vector<double> fir = HilbertFir(taps);
  const std::size_t half = fir.size() / 2;
  std::vector<double> odd;
  for (std::size_t i = (half + 1) % 2; i < fir.size(); i += 2) odd.push_back(fir[i]);
  return odd;
}

}  // namespace

// With the centre H and the nonzero taps g[m] (an odd distance from it),
// y[2k] and y[2k+1] are the same sums over x[2k - 1 - 2j] and x[2k - 2j]:
// pairs z[k] = x[2k] + j x[2k-1] through g give y[2k+1] as the real part
// and y[2k] as the imaginary part, lined up by the filter's own delay.
HilbertStream::HilbertStream(std::size_t taps) : pairs_(OddTaps(taps), 2) {}

void HilbertStream::Push(const float* in, std::size_t count, std::vector<double>* out) {
  in_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    if (even_) {
      in_.emplace_back(in[i], odd_);
    } else {
      odd_ = in[i];
    }
    even_ = !even_;
  }
  taken_ += count;
  pairs_.Push(in_.data(), in_.size(), &filtered_);
  Unpair(out);
}

void HilbertStream::Finish(std::vector<double>* out) {
  if (even_ && taken_ > 0) {
    const std::complex<double> last(0, odd_);  // the last sample was odd; silence after it
    pairs_.Push(&last, 1, &filtered_);
  }
  pairs_.Finish(&filtered_);
  Unpair(out);
}

void HilbertStream::Unpair(std::vector<double>* out) {
  for (const std::complex<double>& z : filtered_) {
    if (given_ < taken_) out->push_back(z.imag()), ++given_;
    if (given_ < taken_) out->push_back(z.real()), ++given_;
  }
  filtered_.clear();
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

namespace {

// Resample's kernel at `d` input samples from the centre.
double SincTap(double d, double cutoff, double half) {
  const double arg = kPi * cutoff * d;
  const double sinc = std::abs(arg) < 1e-12 ? 1.0 : std::sin(arg) / arg;
  return cutoff * sinc * (0.5 + 0.5 * std::cos(kPi * d / half));
}

}  // namespace

Upsampler::Upsampler(std::size_t factor, std::size_t half)
    : factor_(std::max<std::size_t>(1, factor)), history_(2 * half, 0.0), table_(factor_ * 2 * half) {
  const double cutoff = 0.9;  // of the input's Nyquist, as Resample's
  const auto h = static_cast<double>(half);
  for (std::size_t p = 0; p < factor_; ++p) {
    for (std::size_t j = 0; j < 2 * half; ++j) {
      const double d = static_cast<double>(p) / static_cast<double>(factor_) + h - 1 - static_cast<double>(j);
      table_[p * 2 * half + j] = SincTap(d, cutoff, h);
    }
  }
}

void Upsampler::Take(double x) {
  std::copy(history_.begin() + 1, history_.end(), history_.begin());
  history_.back() = x;
}

double Upsampler::Next() {
  const double* taps = table_.data() + phase_ * history_.size();
  double sum = 0;
  for (std::size_t j = 0; j < history_.size(); ++j) sum += history_[j] * taps[j];
  phase_ = (phase_ + 1) % factor_;
  return sum;
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
      sum += in[static_cast<std::size_t>(k)] * dsp::SincTap(x - static_cast<double>(k), cutoff, half);
    }
    out[m] = static_cast<float>(sum);
  }
  return out;
}

}  // namespace tolvane::sim
