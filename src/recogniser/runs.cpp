#include <cstdlib>
#include <limits>
#include <new>

#include "recogniser/recogniser.h"

namespace tolvane {
namespace {

bool Fail(DecodeFailure* why, DecodeError error) {
  if (why != nullptr) why->error = error;
  return false;
}

}  // namespace

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

}  // namespace tolvane
