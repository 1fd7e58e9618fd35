#include <algorithm>
#include <cstring>
#include <new>

#include "morse/morse.h"
#include "recogniser/recogniser.h"

namespace tolvane {

char DecodedText[kDecodedTextSize];

namespace {

// The element a full ascending sort would put at n / 4: the lower quartile.
std::int32_t LowerQuartile(std::int32_t* values, std::size_t n) {
  std::int32_t* q = values + n / 4;
  std::nth_element(values, q, values + n);
  return *q;
}

// Past the longest code, the pending code reads as '?' whatever follows;
// keeping one symbol more than that bounds its memory.
constexpr std::size_t kMaxPendingSymbols = kMaxCodeLength + 1;

}  // namespace

int EstimateUnit(std::int32_t* onLengths, std::size_t onCount, std::int32_t* offLengths,
                 std::size_t offCount) {
  std::int32_t w = MAX_UNIT;
  if (onCount > 0) w = LowerQuartile(onLengths, onCount);
  if (offCount > 0) {
    const std::int32_t c = LowerQuartile(offLengths, offCount);
    if (onCount == 0 || w >= c) w = c;
  }
  return std::clamp(w, static_cast<std::int32_t>(MIN_UNIT), static_cast<std::int32_t>(MAX_UNIT));
}

bool AssembleText(const Runs& runs, int unit, std::string* text, std::string* symbols) {
  if (unit < 1) unit = 1;
  try {
    std::string pending;
    pending.reserve(kMaxPendingSymbols);
    auto flush = [&] {
      if (pending.empty()) return;
      text->push_back(LookupChar(pending.c_str()));
      pending.clear();
    };
    const std::int64_t half = unit / 2;
    bool spaceDue = false;  // a character ended: separate its symbols from the next
    for (std::size_t r = 0; r < runs.lengths.size(); ++r) {
      const std::int64_t units = (runs.lengths[r] + half) / unit;
      if (runs.states[r] != 0) {
        const char symbol = units >= 3 ? '-' : '.';
        if (pending.size() < kMaxPendingSymbols) pending.push_back(symbol);
        if (symbols != nullptr) {
          if (spaceDue) symbols->push_back(' ');
          symbols->push_back(symbol);
        }
        spaceDue = false;
      } else if (units >= 2) {
        spaceDue = spaceDue || !pending.empty();
        flush();
        if (units >= 4) {
          text->push_back(' ');
          if (symbols != nullptr) symbols->append(" / ");
          spaceDue = false;
        }
      }
    }
    flush();
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DecodeSamples(const std::int16_t* samples, std::size_t count, std::string* text,
                   DecodeReport* report, DecodeFailure* why) {
  Runs runs;
  if (!SegmentSamples(samples, count, ENVELOPE_WINDOW, &runs, why)) return false;

  std::vector<std::int32_t> onLengths;
  std::vector<std::int32_t> offLengths;
  try {
    onLengths.reserve(runs.onCount);
    offLengths.reserve(runs.offCount);
  } catch (const std::bad_alloc&) {
    return Fail(why, DecodeError::kOutOfMemory);
  }
  const std::size_t last = runs.lengths.size() - 1;
  for (std::size_t r = 0; r <= last; ++r) {
    if (runs.states[r] != 0) {
      onLengths.push_back(runs.lengths[r]);
    } else if (r != 0 && r != last) {
      // Leading and trailing silence bound the recording, not the keying:
      // counted, the one-sample silence before a keyed file's first tone
      // would become the quartile and clamp the unit to its minimum.
      offLengths.push_back(runs.lengths[r]);
    }
  }
  const int unit =
      EstimateUnit(onLengths.data(), onLengths.size(), offLengths.data(), offLengths.size());

  std::string* symbols = report != nullptr ? &report->symbols : nullptr;
  if (symbols != nullptr) symbols->clear();
  if (!AssembleText(runs, unit, text, symbols)) return Fail(why, DecodeError::kOutOfMemory);
  if (report != nullptr) {
    report->sampleCount = count;
    report->peak = runs.peak;
    report->threshold = runs.threshold;
    report->onRuns = runs.onCount;
    report->offRuns = runs.offCount;
    report->unit = unit;
  }
  return true;
}

bool DecodeWavToText(const char* path, std::string* text, DecodeReport* report,
                     DecodeFailure* why) {
  std::unique_ptr<std::int16_t[]> samples;
  int sampleRate = 0;
  std::size_t count = 0;
  if (!LoadWavSamples(path, &samples, &sampleRate, &count, why)) return false;
  return DecodeSamples(samples.get(), count, text, report, why);
}

bool DecodeWavToText(const char* path) {
  try {
    std::string text;
    if (!DecodeWavToText(path, &text)) return false;
    if (text.size() >= kDecodedTextSize) return false;
    std::memcpy(DecodedText, text.c_str(), text.size() + 1);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tolvane
