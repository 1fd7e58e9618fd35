// The basic recogniser over a SampleSource, in passes through fixed
// buffers, and the sources it reads.
#include <algorithm>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "recogniser/recogniser.h"
#include "recogniser/streaming.h"

namespace tolvane {
namespace {

constexpr std::size_t kReadBlock = 1 << 16;  // samples per read: 128 KB, as cat reads
// Lengths above MAX_UNIT share a bin: the unit is clamped to MAX_UNIT, so a
// quartile past it gives MAX_UNIT whichever longer length it is.
constexpr std::size_t kBins = MAX_UNIT + 2;

std::size_t Bin(std::uint64_t length) { return static_cast<std::size_t>(std::min<std::uint64_t>(length, kBins - 1)); }

// The runs cut so far: counts by length for the unit, and while they fit,
// the lengths in order for the text. States alternate, so the first run's
// state gives every other. Silence at either end bounds the recording, not
// the keying, and is left out of the counts; so the first run is counted
// only once Finish knows the runs are complete, since runs cut later may
// be appended before it is.
class Tally : public RunSink {
 public:
  explicit Tally(std::size_t keep) : on_(kBins), off_(kBins), keep_(keep) {}
  Tally(std::vector<std::uint64_t> on, std::vector<std::uint64_t> off, std::size_t keep)
      : on_(std::move(on)), off_(std::move(off)), keep_(keep) {}

  void Restart(std::uint64_t) override {
    std::vector<std::uint64_t> on = std::move(on_);
    std::vector<std::uint64_t> off = std::move(off_);
    std::fill(on.begin(), on.end(), 0);
    std::fill(off.begin(), off.end(), 0);
    *this = Tally(std::move(on), std::move(off), keep_);
  }
  void Run(bool on, std::uint64_t length) override {
    if (hasOpen_ && openOn_ == on) {  // only where two passes meet
      open_ += length;
      return;
    }
    if (hasOpen_) Complete(openOn_, open_, false);
    hasOpen_ = true;
    openOn_ = on;
    open_ = length;
  }

  // Appends `later`, cut from where this tally's runs end.
  void Append(Tally&& later) {
    if (!hasOpen_) {
      *this = std::move(later);
      return;
    }
    if (!later.hasOpen_) return;
    if (later.onCount_ + later.offCount_ == 0) {
      Run(later.openOn_, later.open_);
      return;
    }
    Run(later.firstOn_, later.first_);
    Complete(openOn_, open_, false);  // later's second run follows it
    for (std::size_t i = 0; i < kBins; ++i) {
      on_[i] += later.on_[i];
      off_[i] += later.off_[i];
    }
    onCount_ += later.onCount_ - (later.firstOn_ ? 1 : 0);
    offCount_ += later.offCount_ - (later.firstOn_ ? 0 : 1);
    if (kept_ && later.kept_ && lengths_.size() + later.lengths_.size() - 1 <= keep_) {
      lengths_.insert(lengths_.end(), later.lengths_.begin() + 1, later.lengths_.end());
    } else {
      Drop();
    }
    openOn_ = later.openOn_;
    open_ = later.open_;
  }

  // The open run is the last.
  void Finish() {
    if (!hasOpen_) return;
    Complete(openOn_, open_, true);
    hasOpen_ = false;
    if (firstOn_ && onCount_ + offCount_ > 1) ++on_[Bin(first_)];
  }

  // The element a full ascending sort of the counted lengths would put at
  // n / 4, MAX_UNIT + 1 standing for any longer length.
  static std::int32_t LowerQuartile(const std::vector<std::uint64_t>& bins, std::uint64_t n) {
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBins; ++i) {
      seen += bins[i];
      if (seen > n / 4) return static_cast<std::int32_t>(i);
    }
    return MAX_UNIT;
  }

  // As EstimateUnit over the same lengths.
  int Unit() const {
    std::uint64_t on = 0;
    std::uint64_t off = 0;
    for (std::size_t i = 0; i < kBins; ++i) {
      on += on_[i];
      off += off_[i];
    }
    std::int32_t w = MAX_UNIT;
    if (on > 0) w = LowerQuartile(on_, on);
    if (off > 0) {
      const std::int32_t c = LowerQuartile(off_, off);
      if (on == 0 || w >= c) w = c;
    }
    return std::clamp(w, static_cast<std::int32_t>(MIN_UNIT), static_cast<std::int32_t>(MAX_UNIT));
  }

  bool kept() const { return kept_; }
  const std::vector<std::uint32_t>& lengths() const { return lengths_; }
  bool firstOn() const { return firstOn_; }
  std::uint64_t onCount() const { return onCount_; }
  std::uint64_t offCount() const { return offCount_; }

 private:
  void Complete(bool on, std::uint64_t length, bool last) {
    (on ? onCount_ : offCount_)++;
    if (onCount_ + offCount_ == 1) {
      firstOn_ = on;
      first_ = length;
      if (last && on) ++on_[Bin(length)];  // the only run
    } else if (on || !last) {
      ++(on ? on_ : off_)[Bin(length)];
    }
    if (kept_ && lengths_.size() < keep_) {
      lengths_.push_back(static_cast<std::uint32_t>(length));
    } else {
      Drop();
    }
  }
  void Drop() {
    kept_ = false;
    std::vector<std::uint32_t>().swap(lengths_);
  }

  std::vector<std::uint64_t> on_;
  std::vector<std::uint64_t> off_;
  std::uint64_t onCount_ = 0;  // completed runs
  std::uint64_t offCount_ = 0;
  bool firstOn_ = false;
  std::uint64_t first_ = 0;
  bool hasOpen_ = false;
  bool openOn_ = false;
  std::uint64_t open_ = 0;
  std::size_t keep_;  // lengths kept at most
  bool kept_ = true;
  std::vector<std::uint32_t> lengths_;
};

// Hands each run to the text.
class ToText : public RunSink {
 public:
  explicit ToText(TextAssembler* text) : text_(text) {}
  void Restart(std::uint64_t) override {}
  void Run(bool on, std::uint64_t length) override { full = !text_->Push(on, length) || full; }
  bool full = false;  // the text passed its limit: the rest need not be read

 private:
  TextAssembler* text_;
};

// Reads `source` through `segmenter`, at most `limit` samples and until
// `*stop`; the count read, or false when the source failed.
bool Pass(SampleSource* source, Segmenter* segmenter, std::uint64_t limit, std::vector<std::int16_t>* buffer,
          std::uint64_t* count, DecodeFailure* why, const bool* stop = nullptr) {
  *count = 0;
  while (*count < limit && (stop == nullptr || !*stop)) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer->size(), limit - *count));
    const std::size_t n = source->Read(buffer->data(), want, why);
    if (n == 0) break;
    *count += n;
    // A run of every sample must fit a 32-bit length, as in SegmentSamples.
    if (*count > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      return Fail(why, DecodeError::kTooLong);
    }
    segmenter->Push(buffer->data(), n);
  }
  segmenter->Finish();
  return why->error == DecodeError::kNone;
}

bool Decode(SampleSource* source, std::string* text, DecodeReport* report, DecodeFailure* why,
            std::size_t maxText, std::size_t keep) {
  std::vector<std::int16_t> buffer(kReadBlock);
  Tally later(keep);
  Segmenter first(true, 0, &later);
  std::uint64_t count = 0;
  if (!Pass(source, &first, std::numeric_limits<std::uint64_t>::max(), &buffer, &count, why)) return false;
  if (count == 0) return Fail(why, DecodeError::kNoSamples);
  if (first.peak() == 0) return Fail(why, first.anyNonZero() ? DecodeError::kTooQuiet : DecodeError::kSilent);
  const std::int32_t threshold = first.threshold();

  // The runs before the threshold last rose were cut too low: cut them again.
  Tally runs(keep);
  const std::uint64_t restart = first.restartedAt();
  if (restart > 0) {
    Segmenter again(false, threshold, &runs);
    std::uint64_t got = 0;
    if (!source->Rewind(restart, why) || !Pass(source, &again, restart, &buffer, &got, why)) return false;
    if (got < restart) return Fail(why, DecodeError::kTruncated);
  }
  runs.Append(std::move(later));
  runs.Finish();
  const int unit = runs.Unit();

  std::string* symbols = report != nullptr ? &report->symbols : nullptr;
  if (symbols != nullptr) symbols->clear();
  TextAssembler assembler(unit, text, symbols, maxText);
  bool fits = true;
  if (runs.kept()) {
    bool on = runs.firstOn();
    for (std::uint32_t length : runs.lengths()) {
      if (!(fits = assembler.Push(on, length))) break;
      on = !on;
    }
  } else {
    ToText sink(&assembler);
    Segmenter last(false, threshold, &sink);
    std::uint64_t got = 0;
    if (!source->Rewind(count, why) || !Pass(source, &last, count, &buffer, &got, why, &sink.full)) return false;
    if (got < count && !sink.full) return Fail(why, DecodeError::kTruncated);
    fits = !sink.full;
  }
  if (!assembler.Finish() || !fits) return Fail(why, DecodeError::kTooLong);
  if (report != nullptr) {
    report->sampleCount = static_cast<std::size_t>(count);
    report->peak = first.peak();
    report->threshold = threshold;
    report->onRuns = static_cast<std::size_t>(runs.onCount());
    report->offRuns = static_cast<std::size_t>(runs.offCount());
    report->unit = unit;
  }
  return true;
}

}  // namespace

bool DecodeSource(SampleSource* source, std::string* text, DecodeReport* report, DecodeFailure* why,
                  std::size_t maxText) {
  return DecodeSourceKeeping(source, text, report, why, maxText, kMaxKeptRuns);
}

bool DecodeSourceKeeping(SampleSource* source, std::string* text, DecodeReport* report, DecodeFailure* why,
                         std::size_t maxText, std::size_t keep) {
  DecodeFailure failure;  // the passes need to know, whether the caller asks or not
  bool ok = false;
  try {
    ok = Decode(source, text, report, &failure, maxText, keep);
  } catch (const std::bad_alloc&) {
    ok = Fail(&failure, DecodeError::kOutOfMemory);
  }
  if (!ok && why != nullptr) *why = failure;
  return ok;
}

std::size_t WavSamples::Read(std::int16_t* out, std::size_t max, DecodeFailure* why) {
  const std::size_t n = reader_->Read(out, max, why);
  read_ += n;
  if (n == 0 && max > 0 && why->error == DecodeError::kNone && !upperBound_ && !reader_->toTheEnd() &&
      read_ < reader_->declaredBytes() / 2) {
    Fail(why, DecodeError::kTruncated);
  }
  return n;
}

bool WavSamples::Rewind(std::uint64_t, DecodeFailure* why) {
  read_ = 0;
  return reader_->Rewind(why);
}

std::size_t ReplaySource::Read(std::int16_t* out, std::size_t max, DecodeFailure* why) {
  if (replaying_) {
    const std::uint64_t left = std::min<std::uint64_t>(upTo_, kept_.size()) - at_;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(max, left));
    std::copy(kept_.begin() + static_cast<std::ptrdiff_t>(at_), kept_.begin() + static_cast<std::ptrdiff_t>(at_ + n), out);
    at_ += n;
    return n;
  }
  const std::size_t n = inner_->Read(out, max, why);
  // Reserved whole, so growing never holds two copies; pages are touched
  // only as samples come.
  if (kept_.capacity() == 0 && capacity_ > 0) kept_.reserve(capacity_);
  if (keeping_ && kept_.size() + n <= capacity_) {
    kept_.insert(kept_.end(), out, out + n);
  } else {
    keeping_ = false;
    if (kept_.size() < capacity_) {
      kept_.insert(kept_.end(), out, out + (capacity_ - kept_.size()));
    }
  }
  return n;
}

bool ReplaySource::Rewind(std::uint64_t upTo, DecodeFailure* why) {
  if (upTo > kept_.size()) return Fail(why, DecodeError::kCannotRewind);
  replaying_ = true;
  at_ = 0;
  upTo_ = upTo;
  return true;
}

bool DecodeWavFile(const char* path, std::string* text, DecodeReport* report, DecodeFailure* why,
                   std::size_t maxText) {
  WavReader reader;
  if (!reader.Open(path, why)) return false;
  WavSamples samples(&reader);
  if (reader.seekable()) return DecodeSource(&samples, text, report, why, maxText);
  // A FIFO: about four minutes at 8000 Hz for a second look, 4 MB.
  ReplaySource replay(&samples, 1 << 21);
  return DecodeSource(&replay, text, report, why, maxText);
}

}  // namespace tolvane
