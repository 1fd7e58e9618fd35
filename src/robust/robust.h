// The robust recogniser, for real recordings and live audio: noise, fading,
// hand keying, Farnsworth spacing and speed changes. A streaming engine:
// samples go in as they arrive, decided characters come out as events,
// and its memory does not grow with the length of the input.
#ifndef TOLVANE_SRC_ROBUST_ROBUST_H
#define TOLVANE_SRC_ROBUST_ROBUST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "morse/morse.h"
#include "wav/wav.h"

namespace tolvane {

// A signal's keying, in milliseconds, as RobustStatus gives it.
struct RobustKeying {
  double dotMs = 0;  // 0: not known
  double dashMs = 0;
  double elementGapMs = 0;
  double letterGapMs = 0;
  double wordGapMs = 0;
};

// What to listen to.
struct RobustOptions {
  double sampleRate = 8000;  // samples (or I/Q pairs) per second, 1000 and up
  bool complex = false;      // input is interleaved I/Q pairs, not real audio
  // Listen near this pitch only (Hz of audio; for I/Q, an offset from the
  // centre, which may be negative), following it as it drifts.
  bool pitchGiven = false;
  double pitchHz = 0;
  // Look for the signal between these frequencies only; both 0: the whole
  // band the input carries (audio: 100 Hz up to 3600 Hz or 0.45 x rate).
  double bandLoHz = 0;
  double bandHiHz = 0;
  // The alphabet codes are read in: an extended one reads its letters
  // (.-.- is Ä in Latin, Я in Cyrillic) where the basic one names the code
  // as a prosign (<AA>).
  Charset charset = Charset::kBasic;
  // The keying when it is already known (another reading of the same
  // signal learned it): the first characters are read at that speed, not
  // one guessed from them.
  RobustKeying keying;
};

// One decided character or word gap, or the end of a transmission (a
// silence long enough for the squelch to judge what follows afresh).
// Nothing is ever taken back.
struct RobustEvent {
  bool wordGap = false;
  bool lineEnd = false;  // the transmission ended at `time`; no text
  double start = 0;  // seconds of input from its first sample
  double time = 0;   // the end of the character's last tone (a word gap: its start)
  std::string text;  // "C", a prosign such as "<SK>", or "?"; " " for a word gap
  std::string code;  // its dots and dashes; empty for a word gap
  float confidence = 0;  // 0 to 1: how clearly its tones and gaps fell on their sides
  float pitchHz = 0;
  float wpm = 0;
  float snrDb = 0;   // key-down tone power over noise in 2500 Hz
};

// What the engine is doing now, for --explain and status lines.
struct RobustStatus {
  bool locked = false;  // a keyed tone has been found
  bool open = false;    // and judged to be Morse: characters are coming out
  double pitchHz = 0;
  double wpm = 0;
  double snrDb = 0;
  double dotMs = 0, dashMs = 0;                        // key-down lengths
  double elementGapMs = 0, letterGapMs = 0, wordGapMs = 0;  // key-up lengths
  int locks = 0;        // signals locked on so far
  std::size_t characters = 0;
};

// The streaming engine. Push samples in blocks of any size; take the events
// they decided; Flush at the end of the input. A character is decided a
// fixed look-ahead after its last tone (about a second), so text follows
// live audio closely. The same samples give the same events however they
// are split into blocks. Memory stays under 256 KB for any input length.
// Not thread-safe; one engine per signal.
class RobustDecoder {
 public:
  explicit RobustDecoder(const RobustOptions& options);
  ~RobustDecoder();
  RobustDecoder(const RobustDecoder&) = delete;
  RobustDecoder& operator=(const RobustDecoder&) = delete;

  // Real samples (count of them), or I/Q pairs (count pairs, 2 x count
  // floats) for a complex engine. Any scale; non-finite values count as 0.
  void Push(const float* samples, std::size_t count);
  // The end of the input: decides everything still pending.
  void Flush();
  // Moves the events decided so far to the end of `out`.
  void Take(std::vector<RobustEvent>* out);

  RobustStatus status() const;
  std::size_t memoryBytes() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// --- Whole recordings ------------------------------------------------------

// One decoded character and how sure the recogniser is of it.
struct RobustCharacter {
  char character = '?';  // the first byte of the text ('<' for a prosign)
  float confidence = 0;
  double seconds = 0;    // where it starts
  std::string code;
  std::string text;
};

struct SpeedPoint {
  double seconds = 0;
  double wpm = 0;
};

struct RobustReport {
  double pitchHz = 0;
  double snrDb = 0;
  double wordGapUnits = 0;  // gaps longer than this many element gaps end a word
  RobustStatus status;
  std::vector<SpeedPoint> speed;  // every 5 seconds
  std::vector<RobustCharacter> characters;
};

// 8000 Hz samples through the engine at once: the text with single spaces
// between words and none at either end. Fails with kNoSamples, kSilent, or
// kNoTone when no Morse was found.
bool DecodeRobust(const std::int16_t* samples, std::size_t count, std::string* text,
                  RobustReport* report = nullptr, DecodeFailure* why = nullptr);

}  // namespace tolvane

#endif  // TOLVANE_SRC_ROBUST_ROBUST_H
