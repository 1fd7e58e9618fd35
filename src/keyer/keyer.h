// The keyer: Morse tone synthesis and the WAV layout the library writes.
#ifndef TOLVANE_SRC_KEYER_KEYER_H
#define TOLVANE_SRC_KEYER_KEYER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "morse/morse.h"
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

// --- Keying at any rate, pitch, level, shape and timing ----------------------
//
// What the tool keys with: text comes in through a TextCoder (morse.h) as
// codes and word gaps, and samples go out in blocks to a sink, in constant
// memory whatever the length. With the library's sound and whole-sample
// units it writes exactly the samples KeyTextToStream writes.

// Where keyed samples go, block by block.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  // False stops the keying.
  virtual bool Write(const std::int16_t* samples, std::size_t count) = 0;
};

// The library's tone (SynthesizeTone's samples) from where `state` left
// off, copied from the keyer's table of one repeating cycle.
struct LibraryToneState {
  TonePhase phase;
  std::size_t index = 0;  // position in the table's cycle
};
void LibraryTone(LibraryToneState* state, std::int16_t* out, std::size_t count);

struct KeyingSound {
  int sampleRate = kSampleRate;
  double pitchHz = TONE_HZ;
  double peak = TONE_AMPLITUDE;  // in 16-bit steps, at most 32767
  // Length of the raised-cosine rise at the start of each mark and of the
  // fall at its end, both inside the mark; 0 keys hard. Measured at half
  // the envelope, a mark is one rise shorter and a gap one rise longer.
  double riseSeconds = 0;
};

// The library's sound: 8000 Hz, 600 Hz, peak 16000, no shaping. Keyed with
// the library's own tone (truncated, phase carried from tone to tone);
// every other sound runs an oscillator in step with the clock and rounds.
bool IsLibrarySound(const KeyingSound& sound);

// How text is timed, in the terms users set.
struct TimingRules {
  double unitSeconds = UNIT_MS / 1000.0;  // a dot: 1.2 / WPM
  // Effective speed (ARRL Farnsworth): letters keep the unit, and the gaps
  // between letters and words stretch so that PARIS and its word gap take
  // 60 / WPM seconds. 0: none.
  double farnsworthWpm = 0;
  // Silence between two words, in units (before stretching). The library
  // keys 10: the 3 after the letter and 7 for the space.
  double wordGapUnits = 10;
  // Share of a dot and the space after it that is tone, in percent: each
  // mark is lengthened by (weight - 50) / 50 units and the space after it
  // shortened by as much.
  double weightPercent = 50;
};

// Lengths in samples (fractions allowed; edges fall on the nearest sample
// to their exact time, so no error builds up).
struct KeyingTiming {
  double dot = 0;
  double dash = 0;
  double symbolGap = 0;  // after a mark inside a character
  double letterGap = 0;  // after the last mark of a character
  double wordExtra = 0;  // what a word gap adds after the letter gap
};

// The ARRL rule: with character speed c = 1.2 / unit and effective speed
// s, ta = 60 / s - 31 units, and each of the 19 units of gap in PARIS
// becomes ta / 19. Weighting is applied last.
KeyingTiming MakeTiming(const TimingRules& rules, int sampleRate);

// Keys codes into samples. A CodeSink, so a TextCoder can feed it directly;
// Mark and Space are there for models of a hand's timing.
class MorseKeyer : public CodeSink {
 public:
  // `sink` nullptr: only count the samples.
  MorseKeyer(const KeyingSound& sound, const KeyingTiming& timing, SampleSink* sink);

  bool Character(const char* code) override;
  bool WordGap() override;
  void Skipped(char32_t) override {}

  // Tone or silence for `length` samples from where the last one ended.
  bool Mark(double length);
  bool Space(double length);
  // Hands the last block to the sink.
  bool Finish();

  // Samples keyed so far, including those not yet handed on.
  std::uint64_t samples() const { return static_cast<std::uint64_t>(emitted_); }

 private:
  bool Put(std::size_t count);  // `count` samples are in the block now
  bool Tone(std::int64_t count);

  KeyingSound sound_;
  KeyingTiming timing_;
  SampleSink* sink_;
  bool library_;
  LibraryToneState libraryTone_;
  double ramp_;           // rise length in samples
  double cosStep_ = 1;    // the oscillator's rotation per sample
  double sinStep_ = 0;
  double position_ = 0;   // exact time of the next edge, in samples
  std::int64_t emitted_ = 0;
  std::size_t used_ = 0;
  std::int16_t block_[4096] = {};
};

}  // namespace tolvane

#endif  // TOLVANE_SRC_KEYER_KEYER_H
