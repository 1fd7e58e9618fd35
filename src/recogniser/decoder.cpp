#include <algorithm>
#include <cstring>
#include <new>

#include "morse/morse.h"
#include "recogniser/recogniser.h"
#include "recogniser/streaming.h"

namespace tolvane {

char DecodedText[kDecodedTextSize];

namespace {

// The element a full ascending sort would put at n / 4: the lower quartile.
std::int32_t LowerQuartile(std::int32_t* values, std::size_t n) {
  std::int32_t* q = values + n / 4;
  std::nth_element(values, q, values + n);
  return *q;
}

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

TextAssembler::TextAssembler(int unit, std::string* text, std::string* symbols, std::size_t maxText)
    : unit_(unit < 1 ? 1 : unit), text_(text), symbols_(symbols), maxText_(maxText) {}

bool TextAssembler::Put(char c) {
  if (text_->size() >= maxText_) {
    overflow_ = true;
    return false;
  }
  text_->push_back(c);
  return true;
}

void TextAssembler::Flush() {
  if (pendingCount_ == 0) return;
  pending_[pendingCount_] = '\0';
  Put(LookupChar(pending_));
  pendingCount_ = 0;
}

bool TextAssembler::Push(bool on, std::uint64_t length) {
  // Whole units, rounded half up.
  const std::uint64_t units = (length + static_cast<std::uint64_t>(unit_ / 2)) / static_cast<std::uint64_t>(unit_);
  if (on) {
    const char symbol = units >= 3 ? '-' : '.';
    if (pendingCount_ < kMaxCodeLength + 1) pending_[pendingCount_++] = symbol;
    if (symbols_ != nullptr) {
      if (spaceDue_) symbols_->push_back(' ');
      symbols_->push_back(symbol);
    }
    spaceDue_ = false;
  } else if (units >= 2) {
    spaceDue_ = spaceDue_ || pendingCount_ > 0;
    Flush();
    if (units >= 4) {
      Put(' ');
      if (symbols_ != nullptr) symbols_->append(" / ");
      spaceDue_ = false;
    }
  }
  return !overflow_;
}

bool TextAssembler::Finish() {
  Flush();
  return !overflow_;
}

bool AssembleText(const Runs& runs, int unit, std::string* text, std::string* symbols) {
  try {
    TextAssembler assembler(unit, text, symbols, std::string::npos);
    for (std::size_t r = 0; r < runs.lengths.size(); ++r) {
      assembler.Push(runs.states[r] != 0, static_cast<std::uint64_t>(runs.lengths[r]));
    }
    assembler.Finish();
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
  return DecodeWavFile(path, text, report, why, std::string::npos);
}

bool DecodeWavToText(const char* path) {
  try {
    std::string text;
    // A longer text fails anyway: stop as soon as it passes the limit.
    if (!DecodeWavFile(path, &text, nullptr, nullptr, kMaxTextBytes)) return false;
    std::memcpy(DecodedText, text.c_str(), text.size() + 1);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tolvane
