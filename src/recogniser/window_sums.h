// The basic recogniser's window of 64 magnitudes, summed eight positions at
// a time: s[i] = s[i-8] + b[i] - b[i-64], where b[i] is the sum of the last
// eight magnitudes. No step waits on the one before, so compilers vectorise
// it. The whole-recording segmenter (runs.cpp) and the streaming one
// (segmenter.cpp) both cut their runs from these sums, so their runs agree to
// the sample. Internal to src/recogniser.
#ifndef TOLVANE_SRC_RECOGNISER_WINDOW_SUMS_H
#define TOLVANE_SRC_RECOGNISER_WINDOW_SUMS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tolvane::window_sums {

constexpr std::size_t kWindow = 64;
constexpr std::size_t kBlock = 64;    // positions per block: one 64-bit word of states
constexpr std::size_t kChunk = 1024;  // positions per vector pass, whole blocks

static_assert(kBlock <= 64, "a block's states are kept in one 64-bit word");
static_assert(kChunk % kBlock == 0, "a chunk is whole blocks");

// -32768 counts as 32768.
inline std::int32_t Magnitude(std::int16_t x) { return std::abs(static_cast<std::int32_t>(x)); }

// The history arrays, for a chunk starting at position p: a holds |x| from
// p - kWindow - 8, b the eight-sums from p - kWindow, s the window sums from
// p - 8; the chunk's own values follow in each.
//
// Fills a[0, kWindow + 8) with the magnitudes of x[0, kWindow + 8), and
// b[0, kWindow) from them: b[k] sums a[k + 1 .. k + 8].
inline void PrimeHistory(const std::int16_t* x, std::int32_t* a, std::int32_t* b) {
  for (std::size_t k = 0; k < kWindow + 8; ++k) a[k] = Magnitude(x[k]);
  for (std::size_t k = 0; k < kWindow; ++k) {
    std::int32_t t = 0;
    for (std::size_t j = 0; j < 8; ++j) t += a[k + 8 - j];
    b[k] = t;
  }
}

// With the chunk's m magnitudes in a[kWindow + 8, ...), their eight-sums
// into b[kWindow, ...) and their window sums into s[8, ...).
inline void SumChunk(const std::int32_t* a, std::int32_t* b, std::int32_t* s, std::size_t m) {
  for (std::size_t j = 0; j < m; ++j) {
    const std::int32_t* q = a + kWindow + 8 + j;
    b[kWindow + j] = q[0] + q[-1] + q[-2] + q[-3] + q[-4] + q[-5] + q[-6] + q[-7];
  }
  for (std::size_t j = 0; j < m; ++j) s[8 + j] = s[j] + b[kWindow + j] - b[j];
}

// After a chunk of m positions, the history the next one starts from.
inline void KeepHistory(std::int32_t* a, std::int32_t* b, std::int32_t* s, std::size_t m) {
  std::memmove(a, a + m, sizeof(std::int32_t) * (kWindow + 8));
  std::memmove(b, b + m, sizeof(std::int32_t) * kWindow);
  std::memmove(s, s + m, sizeof(std::int32_t) * 8);
}

// The lowest set bit of a non-zero word: the next position where a block's
// state changes.
inline std::size_t LowestBit(std::uint64_t word) {
#if defined(__GNUC__)
  return static_cast<std::size_t>(__builtin_ctzll(word));
#else
  std::size_t bit = 0;
  while ((word & 1u) == 0) {
    word >>= 1;
    ++bit;
  }
  return bit;
#endif
}

}  // namespace tolvane::window_sums

#endif  // TOLVANE_SRC_RECOGNISER_WINDOW_SUMS_H
