#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include "recogniser/recogniser.h"
#include "recogniser/window_sums.h"

namespace tolvane {

void ComputeEnvelope(const std::int16_t* samples, std::size_t count, int window,
                     std::int32_t* envelope) {
  const std::size_t w = window < 1 ? 1 : static_cast<std::size_t>(window);
  // 64 bits, so a long window cannot overflow; the sum of 64 magnitudes
  // would fit 32 bits anyway.
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum += std::abs(static_cast<std::int32_t>(samples[i]));  // -32768 counts as 32768
    if (i < w) {
      envelope[i] = static_cast<std::int32_t>(sum / static_cast<std::int64_t>(i + 1));
    } else {
      sum -= std::abs(static_cast<std::int32_t>(samples[i - w]));
      envelope[i] = static_cast<std::int32_t>(sum / static_cast<std::int64_t>(w));
    }
  }
}

bool SegmentRuns(const std::int32_t* envelope, std::size_t count, Runs* runs, DecodeFailure* why) {
  if (count < 1) return Fail(why, DecodeError::kNoSamples);
  // A run of every sample must fit a 32-bit length.
  if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return Fail(why, DecodeError::kTooLong);
  }
  std::int32_t peak = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (envelope[i] > peak) peak = envelope[i];
  }
  if (peak == 0) return Fail(why, DecodeError::kSilent);
  const std::int32_t threshold = peak / 5;

  // First pass: count the runs, so the arrays are allocated once, exactly.
  std::size_t runCount = 0;
  bool state = false;  // the walk starts in the off state
  std::size_t length = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const bool on = envelope[i] >= threshold;
    if (on != state && length > 0) {
      ++runCount;
      length = 0;
    }
    state = on;
    ++length;
  }
  ++runCount;  // the open run at the end

  try {
    runs->lengths.assign(runCount, 0);
    runs->states.assign(runCount, 0);
  } catch (const std::bad_alloc&) {
    runs->lengths.clear();
    runs->states.clear();
    return Fail(why, DecodeError::kOutOfMemory);
  }
  runs->onCount = 0;
  runs->offCount = 0;
  std::size_t r = 0;
  state = false;
  length = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const bool on = envelope[i] >= threshold;
    if (on != state && length > 0) {
      runs->lengths[r] = static_cast<std::int32_t>(length);
      runs->states[r++] = state ? 1 : 0;
      (state ? runs->onCount : runs->offCount)++;
      length = 0;
    }
    state = on;
    ++length;
  }
  runs->lengths[r] = static_cast<std::int32_t>(length);
  runs->states[r] = state ? 1 : 0;
  (state ? runs->onCount : runs->offCount)++;
  runs->peak = peak;
  runs->threshold = threshold;
  return true;
}

namespace {

// Adds a run, keeping the counts in step.
void Append(Runs* runs, bool on, std::size_t length) {
  runs->lengths.push_back(static_cast<std::int32_t>(length));
  runs->states.push_back(on ? 1 : 0);
  (on ? runs->onCount : runs->offCount)++;
}

// The decoder's own window, fast: window sums from window_sums.h. Pass 1
// keeps each block's smallest and largest sum and the sum just before it;
// pass 2 then walks sample by sample only through the blocks where the
// threshold is crossed, and settles the others at once.
using window_sums::kBlock;
using window_sums::kChunk;
using window_sums::kWindow;
using window_sums::LowestBit;
constexpr std::size_t kMinFast = 2 * kChunk;

inline std::int32_t Magnitude(const std::int16_t* x, std::size_t i) { return window_sums::Magnitude(x[i]); }

bool SegmentFast(const std::int16_t* x, std::size_t count, Runs* runs, DecodeFailure* why) {
  // Positions below kWindow average over fewer samples (the head); from
  // there on, blocks of kBlock positions, block 0 starting at kWindow.
  const std::size_t blocks = (count - kWindow + kBlock - 1) / kBlock;
  std::vector<std::int32_t> before;
  std::vector<std::int32_t> low;
  std::vector<std::int32_t> high;
  try {
    before.resize(blocks);
    low.resize(blocks);
    high.resize(blocks);
  } catch (const std::bad_alloc&) {
    return Fail(why, DecodeError::kOutOfMemory);
  }

  // Pass 1. The head and block 0 one by one.
  std::int32_t sum = 0;
  std::int32_t peak = 0;
  for (std::size_t i = 0; i < kWindow; ++i) {
    sum += Magnitude(x, i);
    peak = std::max(peak, sum / static_cast<std::int32_t>(i + 1));
  }
  std::int32_t a[kWindow + 8 + kChunk];  // |x| from position p - 72
  std::int32_t b[kWindow + kChunk];      // 8-sums from position p - 64
  std::int32_t s[8 + kChunk];            // window sums from position p - 8
  std::size_t p = 2 * kWindow;           // the first position done eight at a time
  before[0] = sum;
  low[0] = std::numeric_limits<std::int32_t>::max();
  high[0] = 0;
  for (std::size_t i = kWindow; i < p; ++i) {
    sum += Magnitude(x, i) - Magnitude(x, i - kWindow);
    low[0] = std::min(low[0], sum);
    high[0] = std::max(high[0], sum);
    if (i >= p - 8) s[i - (p - 8)] = sum;
  }
  window_sums::PrimeHistory(x + p - kWindow - 8, a, b);
  std::int32_t largest = high[0];
  for (std::size_t block = 1; p < count; p += kChunk) {
    const std::size_t m = std::min(kChunk, count - p);
    for (std::size_t j = 0; j < m; ++j) a[kWindow + 8 + j] = Magnitude(x, p + j);
    window_sums::SumChunk(a, b, s, m);
    for (std::size_t j = 0; j < m; j += kBlock, ++block) {
      const std::size_t n = std::min(kBlock, m - j);
      std::int32_t lo = std::numeric_limits<std::int32_t>::max();
      std::int32_t hi = 0;
      for (std::size_t k = 0; k < n; ++k) {
        lo = std::min(lo, s[8 + j + k]);
        hi = std::max(hi, s[8 + j + k]);
      }
      before[block] = s[8 + j - 1];
      low[block] = lo;
      high[block] = hi;
      largest = std::max(largest, hi);
    }
    if (m == kChunk) window_sums::KeepHistory(a, b, s, kChunk);
  }
  peak = std::max(peak, largest / static_cast<std::int32_t>(kWindow));
  if (peak == 0) return Fail(why, DecodeError::kSilent);
  const std::int32_t threshold = peak / 5;
  const std::int32_t limit = static_cast<std::int32_t>(kWindow) * threshold;

  // Pass 2.
  try {
    runs->lengths.clear();
    runs->states.clear();
    runs->onCount = 0;
    runs->offCount = 0;
    bool state = false;  // the walk starts in the off state
    std::size_t start = 0;
    auto visit = [&](std::size_t i, bool on) {
      if (on != state) {
        if (i > start) Append(runs, state, i - start);
        state = on;
        start = i;
      }
    };
    sum = 0;
    for (std::size_t i = 0; i < kWindow; ++i) {
      sum += Magnitude(x, i);
      visit(i, sum >= static_cast<std::int32_t>(i + 1) * threshold);
    }
    for (std::size_t block = 0; block < blocks; ++block) {
      const std::size_t first = kWindow + block * kBlock;
#if defined(__GNUC__)
      // The blocks walked are scattered, which defeats the hardware's
      // prefetching; ask for the samples a few blocks ahead.
      if (first + 8 * kBlock + kBlock <= count) {
        __builtin_prefetch(x + first + 8 * kBlock);
        __builtin_prefetch(x + first + 8 * kBlock + kBlock / 2);
      }
#endif
      if (low[block] >= limit) {
        visit(first, true);
      } else if (high[block] < limit) {
        visit(first, false);
      } else {
        // The threshold is crossed in here: note each position's state as
        // one bit, then visit only the positions where it changes.
        const std::size_t n = std::min(kBlock, count - first);
        std::int32_t change[kBlock];
        for (std::size_t j = 0; j < n; ++j) {
          change[j] = Magnitude(x, first + j) - Magnitude(x, first + j - kWindow);
        }
        std::uint64_t on = 0;
        sum = before[block];
        for (std::size_t j = 0; j < n; ++j) {
          sum += change[j];
          on |= static_cast<std::uint64_t>(sum >= limit) << j;
        }
        const std::uint64_t previous = (on << 1) | (state ? 1u : 0u);
        std::uint64_t edges = (on ^ previous) & (n == 64 ? ~0ull : (1ull << n) - 1);
        while (edges != 0) {
          const std::size_t j = LowestBit(edges);
          visit(first + j, ((on >> j) & 1u) != 0);
          edges &= edges - 1;
        }
      }
    }
    Append(runs, state, count - start);
  } catch (const std::bad_alloc&) {
    runs->lengths.clear();
    runs->states.clear();
    return Fail(why, DecodeError::kOutOfMemory);
  }
  runs->peak = peak;
  runs->threshold = threshold;
  return true;
}

}  // namespace

bool SegmentSamples(const std::int16_t* samples, std::size_t count, int window, Runs* runs,
                    DecodeFailure* why) {
  if (count < 1) return Fail(why, DecodeError::kNoSamples);
  if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return Fail(why, DecodeError::kTooLong);
  }
  bool ok = false;
  if (window == static_cast<int>(kWindow) && count >= kMinFast) {
    ok = SegmentFast(samples, count, runs, why);
  } else {
    // Short recordings and other windows (not the decoder's) take the plain
    // path through a stored envelope.
    std::unique_ptr<std::int32_t[]> envelope(new (std::nothrow) std::int32_t[count]);
    if (!envelope) return Fail(why, DecodeError::kOutOfMemory);
    ComputeEnvelope(samples, count, window, envelope.get());
    ok = SegmentRuns(envelope.get(), count, runs, why);
  }
  // A silent envelope may still come from samples that are not all zero
  // (dither of one bit, say): say which.
  if (!ok && why != nullptr && why->error == DecodeError::kSilent &&
      std::any_of(samples, samples + count, [](std::int16_t s) { return s != 0; })) {
    why->error = DecodeError::kTooQuiet;
  }
  return ok;
}

}  // namespace tolvane
