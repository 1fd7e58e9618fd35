#include "keyer/keyer.h"

#include <cerrno>
#include <cmath>

#include "morse/morse.h"

namespace tolvane {
namespace {

constexpr int kSpaceUnits = 7;
constexpr int kDashUnits = 3;
constexpr int kCharGapUnits = 2;  // after the 1u that follows every symbol

bool WriteBytes(std::FILE* file, const void* bytes, std::size_t size) {
  return std::fwrite(bytes, 1, size, file) == size;
}

bool WriteU16(std::FILE* file, std::uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF),
                                  static_cast<unsigned char>(value >> 8)};
  return WriteBytes(file, bytes, sizeof bytes);
}

bool WriteU32(std::FILE* file, std::uint32_t value) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>((value >> 8) & 0xFF),
      static_cast<unsigned char>((value >> 16) & 0xFF), static_cast<unsigned char>(value >> 24)};
  return WriteBytes(file, bytes, sizeof bytes);
}

// Writes samples straight to the stream, one item each.
struct SampleWriter {
  std::FILE* file;
  TonePhase phase;

  bool Silence(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      if (!WriteU16(file, 0)) return false;
    }
    return true;
  }

  bool Tone(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      std::int16_t sample = 0;
      SynthesizeTone(&phase, &sample, 1);
      if (!WriteU16(file, static_cast<std::uint16_t>(sample))) return false;
    }
    return true;
  }
};

bool Fail(KeyFailure* why, KeyError error, int sysErrno = 0) {
  if (why != nullptr) {
    why->error = error;
    why->sysErrno = sysErrno;
  }
  return false;
}

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
    // The cast truncates toward zero, which the stored samples rely on.
    out[i] = static_cast<std::int16_t>(static_cast<int>(std::sin(phase) * TONE_AMPLITUDE));
    phase += kPhaseStep;
    if (phase > kTwoPi) phase -= kTwoPi;
  }
  state->phase = phase;
}

bool WriteWavHeader(std::FILE* file, int sampleRate, int channels, int bitsPerSample,
                    std::uint32_t dataBytes) {
  const auto byteRate =
      (static_cast<std::uint32_t>(sampleRate) * static_cast<std::uint32_t>(channels) *
       static_cast<std::uint32_t>(bitsPerSample)) >> 3;
  const int blockAlign = (channels * bitsPerSample) / 8;
  return WriteBytes(file, "RIFF", 4) && WriteU32(file, dataBytes + 36) &&
         WriteBytes(file, "WAVE", 4) && WriteBytes(file, "fmt ", 4) && WriteU32(file, 16) &&
         WriteU16(file, 1) && WriteU16(file, static_cast<std::uint16_t>(channels)) &&
         WriteU32(file, static_cast<std::uint32_t>(sampleRate)) && WriteU32(file, byteRate) &&
         WriteU16(file, static_cast<std::uint16_t>(blockAlign)) &&
         WriteU16(file, static_cast<std::uint16_t>(bitsPerSample)) &&
         WriteBytes(file, "data", 4) && WriteU32(file, dataBytes);
}

bool KeyTextToWav(std::string_view text, const char* path, int unitMs, KeyFailure* why) {
  return KeyTextToWavSamples(text, path, SamplesPerUnit(unitMs), why);
}

bool KeyTextToWavSamples(std::string_view text, const char* path, std::int64_t u,
                         KeyFailure* why) {
  if (u < 1) return Fail(why, KeyError::kBadUnit);
  const std::uint64_t total = CountSamples(text, u);
  if (total > kMaxWavSamples) return Fail(why, KeyError::kTooLong);

  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return Fail(why, KeyError::kOpen, errno);

  SampleWriter writer{file, TonePhase{}};
  bool ok = WriteWavHeader(file, SAMPLE_RATE, 1, 16, static_cast<std::uint32_t>(total * 2));
  for (std::size_t i = 0; ok && i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') {
      ok = writer.Silence(kSpaceUnits * u);
    } else if (const char* code = LookupCode(c)) {
      for (const char* symbol = code; ok && *symbol != '\0'; ++symbol) {
        ok = writer.Tone(*symbol == '-' ? kDashUnits * u : u) && writer.Silence(u);
      }
      ok = ok && writer.Silence(kCharGapUnits * u);
    }
  }
  if (!ok) {
    const int err = errno;
    std::fclose(file);
    return Fail(why, KeyError::kWrite, err);
  }
  // A full disk often shows only when the buffer is flushed here.
  if (std::fclose(file) != 0) return Fail(why, KeyError::kClose, errno);
  return true;
}

const char* KeyErrorText(KeyError error) {
  switch (error) {
    case KeyError::kNone: return "no error";
    case KeyError::kBadUnit: return "unit shorter than one sample";
    case KeyError::kTooLong: return "text too long for a WAV file (over 4 GiB of samples)";
    case KeyError::kOpen: return "cannot create the file";
    case KeyError::kWrite: return "write failed";
    case KeyError::kClose: return "write failed when closing";
  }
  return "unknown error";
}

}  // namespace tolvane
