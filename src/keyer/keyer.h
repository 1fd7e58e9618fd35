// The keyer: Morse tone synthesis and the WAV layout the library writes.
#ifndef TOLVANE_SRC_KEYER_KEYER_H
#define TOLVANE_SRC_KEYER_KEYER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "wav/wav.h"

namespace tolvane {

// Milliseconds per unit when none is asked for: 20 words per minute.
constexpr int UNIT_MS = 60;

constexpr int TONE_HZ = 600;
constexpr double TONE_AMPLITUDE = 16000.0;
// Phase step 2*pi*600/8000 and one full turn, pinned to their bit patterns
// (0x3FDE28C731EB6950 and 0x401921FB54442D18) so every build keys the same
// samples.
constexpr double kPhaseStep = 0x1.E28C731EB695p-2;
constexpr double kTwoPi = 0x1.921FB54442D18p+2;

// Samples in one unit of `unitMs` milliseconds (multiply, then truncate).
constexpr std::int64_t SamplesPerUnit(int unitMs) {
  return static_cast<std::int64_t>(unitMs) * kSampleRate / 1000;
}

// Total samples the keyer produces for `text` at `u` samples per unit:
// 7u per space, per known character u or 3u of tone plus u of silence per
// symbol and 2u after the last, nothing for anything else. Counting stops
// as soon as the total passes kMaxWavSamples (no file could hold it), so the
// result never overflows.
std::uint64_t CountSamples(std::string_view text, std::int64_t u);

// Phase of the tone oscillator. It starts at 0 once per file and carries
// from one tone into the next.
struct TonePhase {
  double phase = 0.0;
};

// Writes `count` tone samples: sin(phase) * 16000 truncated toward zero,
// the phase advancing by kPhaseStep and reduced once it passes 2*pi.
void SynthesizeTone(TonePhase* state, std::int16_t* out, std::size_t count);

enum class KeyError {
  kNone,
  kBadUnit,   // unit shorter than one sample
  kTooLong,   // more samples than a WAV file can describe
  kOpen,      // the output could not be created (errno in sysErrno)
  kWrite,     // a write failed (errno in sysErrno)
  kClose,     // flushing at close failed (errno in sysErrno)
  kOutOfMemory,
};

struct KeyFailure {
  KeyError error = KeyError::kNone;
  int sysErrno = 0;
};

// Keys `text` at `unitMs` milliseconds per unit into a new WAV file at
// `path` (created or truncated). True when the file was opened and every
// write, and the final close, completed. A text that is too long or a unit
// under one sample fails before anything is created; a write failure leaves
// the partly written file in place. `why`, when given, says what failed.
bool KeyTextToWav(std::string_view text, const char* path, int unitMs,
                  KeyFailure* why = nullptr);

// The same with the unit given in samples, for speeds that are no whole
// number of milliseconds per unit.
bool KeyTextToWavSamples(std::string_view text, const char* path, std::int64_t u,
                         KeyFailure* why = nullptr);

// The same into an open stream (any FILE*: a file, a pipe, memory), which
// is flushed but stays open.
bool KeyTextToStream(std::string_view text, std::FILE* file, std::int64_t u,
                     KeyFailure* why = nullptr);

// A short English description of a failure, for messages.
const char* KeyErrorText(KeyError error);

}  // namespace tolvane

#endif  // TOLVANE_SRC_KEYER_KEYER_H
