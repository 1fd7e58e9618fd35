// Runs cut from blocks of samples: the same arithmetic as SegmentSamples
// (window sums found eight positions at a time, so compilers vectorise
// them; 64-position blocks that stay on one side of the threshold settled
// at once), with the history carried from one chunk to the next instead of
// kept for the whole recording.
#include <algorithm>
#include <cstring>
#include <limits>

#include "recogniser/streaming.h"
#include "recogniser/window_sums.h"

namespace tolvane {

using window_sums::KeepHistory;
using window_sums::LowestBit;
using window_sums::Magnitude;

Segmenter::Segmenter(bool tracking, std::int32_t threshold, RunSink* sink)
    : tracking_(tracking), sink_(sink), threshold_(tracking ? 0 : threshold) {}

void Segmenter::Push(const std::int16_t* samples, std::size_t count) {
  while (count > 0) {
    const std::size_t n = std::min(count, kChunk - pendingCount_);
    std::memcpy(pending_ + pendingCount_, samples, n * sizeof(std::int16_t));
    pendingCount_ += n;
    samples += n;
    count -= n;
    if (pendingCount_ == kChunk) Process(kChunk);
  }
}

void Segmenter::Finish() {
  if (pendingCount_ > 0) Process(pendingCount_);
  if (count_ > start_) sink_->Run(state_, count_ - start_);
}

void Segmenter::Process(std::size_t n) {
  pendingCount_ = 0;
  if (count_ == 0) {
    Prime(n);
  } else {
    Vector(pending_, n);
  }
}

void Segmenter::Visit(std::uint64_t position, bool on) {
  if (on != state_) {
    if (position > start_) sink_->Run(state_, position - start_);
    state_ = on;
    start_ = position;
  }
}

void Segmenter::Rethreshold(std::int32_t peak, std::uint64_t at) {
  if (!tracking_ || peak <= peak_) return;
  peak_ = peak;
  if (peak / 5 == threshold_) return;
  // The runs cut so far used a lower threshold: they start again here, and
  // the caller cuts what came before once the final threshold is known.
  threshold_ = peak / 5;
  restartedAt_ = at;
  state_ = false;
  start_ = at;
  sink_->Restart(at);
}

// The first positions, one by one: those under a full window average over
// the samples so far.
void Segmenter::Prime(std::size_t n) {
  const std::int16_t* x = pending_;
  const std::size_t prime = std::min(n, kPrime);
  std::int32_t sums[kPrime];
  std::int32_t sum = 0;
  std::int32_t peak = 0;
  for (std::size_t i = 0; i < prime; ++i) {
    anyNonZero_ = anyNonZero_ || x[i] != 0;
    sum += Magnitude(x[i]);
    if (i >= kWindow) sum -= Magnitude(x[i - kWindow]);
    sums[i] = sum;
    peak = std::max(peak, sum / static_cast<std::int32_t>(i < kWindow ? i + 1 : kWindow));
  }
  Rethreshold(peak, 0);
  for (std::size_t i = 0; i < prime; ++i) {
    const std::int32_t scale = static_cast<std::int32_t>(i < kWindow ? i + 1 : kWindow);
    Visit(i, sums[i] >= scale * threshold_);
  }
  count_ = prime;
  if (prime < kPrime) return;
  window_sums::PrimeHistory(x + kPrime - kWindow - 8, a_, b_);
  for (std::size_t k = 0; k < 8; ++k) s_[k] = sums[kPrime - 8 + k];
  Vector(x + kPrime, n - kPrime);
}

void Segmenter::Vector(const std::int16_t* x, std::size_t m) {
  if (m == 0) return;
  const std::uint64_t p = count_;
  std::int32_t bits = 0;  // an OR of every sample, which vectorises where || would not
  for (std::size_t j = 0; j < m; ++j) {
    a_[kWindow + 8 + j] = Magnitude(x[j]);
    bits |= x[j];
  }
  anyNonZero_ = anyNonZero_ || bits != 0;
  window_sums::SumChunk(a_, b_, s_, m);

  constexpr std::size_t kBlocks = kChunk / kBlock;
  std::int32_t low[kBlocks];
  std::int32_t high[kBlocks];
  std::int32_t largest = 0;
  const std::size_t blocks = (m + kBlock - 1) / kBlock;
  for (std::size_t k = 0; k < blocks; ++k) {
    const std::int32_t* block = s_ + 8 + k * kBlock;
    const std::size_t n = std::min(kBlock, m - k * kBlock);
    std::int32_t lo = std::numeric_limits<std::int32_t>::max();
    std::int32_t hi = 0;
    for (std::size_t j = 0; j < n; ++j) {
      lo = std::min(lo, block[j]);
      hi = std::max(hi, block[j]);
    }
    low[k] = lo;
    high[k] = hi;
    largest = std::max(largest, hi);
  }
  Rethreshold(largest / static_cast<std::int32_t>(kWindow), p);

  const std::int32_t limit = static_cast<std::int32_t>(kWindow) * threshold_;
  for (std::size_t k = 0; k < blocks; ++k) {
    const std::uint64_t first = p + k * kBlock;
    if (low[k] >= limit) {
      Visit(first, true);
    } else if (high[k] < limit) {
      Visit(first, false);
    } else {
      // The threshold is crossed in here: note each position's state as one
      // bit, then visit only the positions where it changes.
      const std::int32_t* block = s_ + 8 + k * kBlock;
      const std::size_t n = std::min(kBlock, m - k * kBlock);
      std::uint64_t on = 0;
      for (std::size_t j = 0; j < n; ++j) on |= static_cast<std::uint64_t>(block[j] >= limit) << j;
      const std::uint64_t previous = (on << 1) | (state_ ? 1u : 0u);
      std::uint64_t edges = (on ^ previous) & (n == 64 ? ~0ull : (1ull << n) - 1);
      while (edges != 0) {
        const std::size_t j = LowestBit(edges);
        Visit(first + j, ((on >> j) & 1u) != 0);
        edges &= edges - 1;
      }
    }
  }
  count_ += m;
  KeepHistory(a_, b_, s_, m);
}

}  // namespace tolvane
