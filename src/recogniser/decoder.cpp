#include <algorithm>
#include <cstring>
#include <new>

#include "morse/morse.h"
#include "recogniser/recogniser.h"

namespace tolvane {

char DecodedText[kDecodedTextSize];

namespace {

bool Fail(DecodeFailure* why, DecodeError error) {
  if (why != nullptr) why->error = error;
  return false;
}

// The element a full ascending sort would put at n / 4: the lower quartile.
std::int32_t LowerQuartile(std::int32_t* values, std::size_t n) {
  std::int32_t* q = values + n / 4;
  std::nth_element(values, q, values + n);
  return *q;
}

// No row holds more than 7 symbols, so past 8 the pending code reads as '?'
// whatever follows; keeping no more bounds its memory.
constexpr std::size_t kMaxPendingSymbols = 8;

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

std::string DescribeFailure(const DecodeFailure& failure) {
  const std::string reason = failure.sysErrno != 0 ? std::strerror(failure.sysErrno) : "";
  switch (failure.error) {
    case DecodeError::kNone: return "no error";
    case DecodeError::kOpen: return "cannot open: " + reason;
    case DecodeError::kRead: return "cannot read: " + reason;
    case DecodeError::kNotRiff: return "not a RIFF/WAVE file (no RIFF tag)";
    case DecodeError::kNotWave: return "not a RIFF/WAVE file (the form type is not WAVE)";
    case DecodeError::kFormatTooShort: return "the fmt chunk is shorter than 16 bytes";
    case DecodeError::kFormatCut: return "the file ends inside the fmt chunk";
    case DecodeError::kSeek: return "cannot seek (a pipe or device is not a seekable file): " + reason;
    case DecodeError::kNoFormat: return "no fmt chunk";
    case DecodeError::kNoData: return "no data chunk";
    case DecodeError::kUnsupported: {
      const WavFormat& f = failure.format;
      std::string encoding;
      switch (f.formatTag) {
        case 1: encoding = "PCM"; break;
        case 3: encoding = "float"; break;
        case 6: encoding = "A-law"; break;
        case 7: encoding = "mu-law"; break;
        case 0xFFFE: encoding = "extensible format"; break;
        default: {
          char code[16];
          std::snprintf(code, sizeof code, "format 0x%04X", f.formatTag);
          encoding = code;
        }
      }
      return std::to_string(f.sampleRate) + " Hz, " + std::to_string(f.channels) +
             (f.channels == 1 ? " channel, " : " channels, ") + std::to_string(f.bitsPerSample) +
             "-bit " + encoding + "; need 8000 Hz, mono, 16-bit PCM";
    }
    case DecodeError::kTruncated: return "truncated: the data chunk is longer than the file";
    case DecodeError::kOutOfMemory: return "out of memory";
    case DecodeError::kNoSamples: return "the recording holds no samples";
    case DecodeError::kSilent: return "the recording is silent (every sample is zero)";
    case DecodeError::kTooLong: return "the recording is too long";
    case DecodeError::kNoTone: return "no keyed tone found";
  }
  return "unknown error";
}

}  // namespace tolvane
