#include "keyer/keyer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "morse/morse.h"

namespace tolvane {
namespace {

constexpr int kSpaceUnits = 7;
constexpr int kDashUnits = 3;
constexpr int kCharGapUnits = 2;  // after the 1u that follows every symbol

// One tone sample from the phase: sin(phase) * 16000, truncated toward
// zero (the cast), low 16 bits kept.
std::int16_t ToneSample(double phase) {
  return static_cast<std::int16_t>(static_cast<int>(std::sin(phase) * TONE_AMPLITUDE));
}

double NextPhase(double phase) {
  phase += kPhaseStep;
  if (phase > kTwoPi) phase -= kTwoPi;
  return phase;
}

// The tone samples of a file, as little-endian bytes, precomputed. Each
// phase is a function of the one before, so as soon as a phase value comes
// round again, exactly, the samples repeat from there for ever; the table
// holds them up to that point. At 600 Hz and 8000 Hz that is after 40
// samples. Should no phase ever repeat within the table (another step or
// rate), `period` stays 0 and the keyer computes every sample.
struct ToneTable {
  static constexpr std::size_t kCapacity = 1024;
  unsigned char bytes[2 * kCapacity];
  std::size_t cycleStart = 0;  // index of the first sample of the repeating part
  std::size_t period = 0;      // 0: no repetition found
};

const ToneTable& TheToneTable() {
  static const ToneTable table = [] {
    ToneTable t{};
    double phases[ToneTable::kCapacity] = {};
    double phase = 0.0;
    for (std::size_t k = 0; k < ToneTable::kCapacity; ++k) {
      for (std::size_t j = 0; j < k; ++j) {
        if (phases[j] == phase) {
          t.cycleStart = j;
          t.period = k - j;
          return t;
        }
      }
      phases[k] = phase;
      const auto value = static_cast<std::uint16_t>(ToneSample(phase));
      t.bytes[2 * k] = static_cast<unsigned char>(value & 0xFF);
      t.bytes[2 * k + 1] = static_cast<unsigned char>(value >> 8);
      phase = NextPhase(phase);
    }
    t.period = 0;
    return t;
  }();
  return table;
}

// Fills a block of bytes and writes it whole: the bytes on disk are the
// same as writing sample by sample, since the stream buffers anyway, and
// memory stays constant.
class SampleWriter {
 public:
  void Open(std::FILE* file) { file_ = file; }

  bool Silence(std::int64_t count) {
    while (count > 0) {
      const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), Room());
      std::memset(buffer_ + used_, 0, 2 * n);
      used_ += 2 * n;
      count -= static_cast<std::int64_t>(n);
      if (Room() == 0 && !Flush()) return false;
    }
    return true;
  }

  bool Tone(std::int64_t count) {
    const ToneTable& table = TheToneTable();
    while (count > 0) {
      std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), Room());
      if (table.period == 0) {
        for (std::size_t i = 0; i < n; ++i) {
          const auto value = static_cast<std::uint16_t>(ToneSample(phase_));
          buffer_[used_++] = static_cast<unsigned char>(value & 0xFF);
          buffer_[used_++] = static_cast<unsigned char>(value >> 8);
          phase_ = NextPhase(phase_);
        }
      } else {
        // Copy from the table up to the end of its current cycle at most.
        const std::size_t end = table.cycleStart + table.period;
        n = std::min(n, end - index_);
        std::memcpy(buffer_ + used_, table.bytes + 2 * index_, 2 * n);
        used_ += 2 * n;
        index_ += n;
        if (index_ == end) index_ = table.cycleStart;
      }
      count -= static_cast<std::int64_t>(n);
      if (Room() == 0 && !Flush()) return false;
    }
    return true;
  }

  bool Flush() {
    const bool ok = used_ == 0 || std::fwrite(buffer_, 1, used_, file_) == used_;
    used_ = 0;
    return ok;
  }

 private:
  std::size_t Room() const { return (sizeof buffer_ - used_) / 2; }

  std::FILE* file_ = nullptr;
  unsigned char buffer_[1 << 15];
  std::size_t used_ = 0;
  std::size_t index_ = 0;  // position in the tone table
  double phase_ = 0.0;     // without a table
};

}  // namespace

std::uint64_t CountSamples(std::string_view text, std::int64_t u) {
  if (u <= 0) return 0;
  const auto unit = static_cast<std::uint64_t>(u);
  std::uint64_t total = 0;
  for (char c : text) {
    if (c == ' ') {
      total += kSpaceUnits * unit;
    } else if (const char* code = LookupCode(c)) {
      for (const char* symbol = code; *symbol != '\0'; ++symbol) {
        total += (*symbol == '-' ? kDashUnits : 1) * unit + unit;
      }
      total += kCharGapUnits * unit;
    }
    // Past the limit the exact figure no longer matters; stopping here keeps
    // any text length from overflowing the count.
    if (total > kMaxWavSamples) return total;
  }
  return total;
}

void SynthesizeTone(TonePhase* state, std::int16_t* out, std::size_t count) {
  double phase = state->phase;
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = ToneSample(phase);
    phase = NextPhase(phase);
  }
  state->phase = phase;
}

void LibraryTone(LibraryToneState* state, std::int16_t* out, std::size_t count) {
  const ToneTable& table = TheToneTable();
  if (table.period == 0) {
    SynthesizeTone(&state->phase, out, count);
    return;
  }
  const std::size_t end = table.cycleStart + table.period;
  std::size_t index = state->index;
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::int16_t>(table.bytes[2 * index] | table.bytes[2 * index + 1] << 8);
    if (++index == end) index = table.cycleStart;
  }
  state->index = index;
}

bool KeyTextToWav(std::string_view text, const char* path, int unitMs, KeyFailure* why) {
  return KeyTextToWavSamples(text, path, SamplesPerUnit(unitMs), why);
}

namespace {

// Header and samples into an open stream; the caller opens and closes it.
bool WriteKeyed(std::string_view text, std::FILE* file, std::int64_t u, std::uint64_t total,
                SampleWriter* writer, KeyFailure* why) {
  writer->Open(file);
  bool ok = WriteWavHeader(file, kSampleRate, 1, 16, static_cast<std::uint32_t>(total * 2));
  for (std::size_t i = 0; ok && i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') {
      ok = writer->Silence(kSpaceUnits * u);
    } else if (const char* code = LookupCode(c)) {
      for (const char* symbol = code; ok && *symbol != '\0'; ++symbol) {
        ok = writer->Tone(*symbol == '-' ? kDashUnits * u : u) && writer->Silence(u);
      }
      ok = ok && writer->Silence(kCharGapUnits * u);
    }
  }
  ok = ok && writer->Flush();
  return ok || Fail(why, KeyError::kWrite, errno);
}

// Checks that come before anything is created, and the writer's block.
std::unique_ptr<SampleWriter> Prepare(std::string_view text, std::int64_t u, std::uint64_t* total,
                                      KeyFailure* why) {
  if (u < 1) return Fail(why, KeyError::kBadUnit), nullptr;
  *total = CountSamples(text, u);
  if (*total > kMaxWavSamples) return Fail(why, KeyError::kTooLong), nullptr;
  // On the heap: the block is too large for a host thread's small stack,
  // and static storage would not let calls run side by side.
  std::unique_ptr<SampleWriter> writer(new (std::nothrow) SampleWriter);
  if (!writer) Fail(why, KeyError::kOutOfMemory);
  return writer;
}

}  // namespace

bool KeyTextToWavSamples(std::string_view text, const char* path, std::int64_t u,
                         KeyFailure* why) {
  std::uint64_t total = 0;
  const std::unique_ptr<SampleWriter> writer = Prepare(text, u, &total, why);
  if (!writer) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return Fail(why, KeyError::kOpen, errno);
  if (!WriteKeyed(text, file, u, total, writer.get(), why)) {
    std::fclose(file);
    return false;
  }
  // A full disk often shows only when the buffer is flushed here.
  if (std::fclose(file) != 0) return Fail(why, KeyError::kClose, errno);
  return true;
}

bool KeyTextToStream(std::string_view text, std::FILE* file, std::int64_t u, KeyFailure* why) {
  std::uint64_t total = 0;
  const std::unique_ptr<SampleWriter> writer = Prepare(text, u, &total, why);
  if (!writer || !WriteKeyed(text, file, u, total, writer.get(), why)) return false;
  return std::fflush(file) == 0 || Fail(why, KeyError::kWrite, errno);
}

const char* KeyErrorText(KeyError error) {
  switch (error) {
    case KeyError::kNone: return "no error";
    case KeyError::kBadUnit: return "unit shorter than one sample";
    case KeyError::kTooLong: return "text too long for a WAV file (over 4 GiB of samples)";
    case KeyError::kOpen: return "cannot create the file";
    case KeyError::kWrite: return "write failed";
    case KeyError::kClose: return "write failed when closing";
    case KeyError::kOutOfMemory: return "out of memory";
  }
  return "unknown error";
}

}  // namespace tolvane
