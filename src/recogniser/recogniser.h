// The basic recogniser: envelope and on/off runs, unit estimation and text
// assembly, for 8000 Hz 16-bit mono recordings such as the keyer writes.
#ifndef TOLVANE_SRC_RECOGNISER_RECOGNISER_H
#define TOLVANE_SRC_RECOGNISER_RECOGNISER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wav/wav.h"

namespace tolvane {

constexpr int ENVELOPE_WINDOW = 64;  // samples (8 ms)
constexpr int MIN_UNIT = 40;         // samples (5 ms)
constexpr int MAX_UNIT = 1600;       // samples (200 ms)

// --- Envelope and runs ---------------------------------------------------

// envelope[i] = mean of |samples| over the last `window` samples (over all
// samples so far for the first ones), kept as a running sum. window < 1 is
// taken as 1.
void ComputeEnvelope(const std::int16_t* samples, std::size_t count, int window,
                     std::int32_t* envelope);

// The tone and silence runs of a recording, in time order.
struct Runs {
  std::vector<std::int32_t> lengths;  // samples, each at least 1
  std::vector<std::int32_t> states;   // 1 tone, 0 silence
  std::size_t onCount = 0;
  std::size_t offCount = 0;
  std::int32_t peak = 0;       // largest envelope value
  std::int32_t threshold = 0;  // peak / 5: at or above is tone
};

// Classifies every sample against a fifth of the envelope's peak and cuts
// the runs. Fails (kNoSamples, kSilent, kTooLong, kOutOfMemory) when count is
// 0, the peak is 0, count exceeds what a 32-bit run length holds, or memory
// runs out.
bool SegmentRuns(const std::int32_t* envelope, std::size_t count, Runs* runs,
                 DecodeFailure* why = nullptr);

// The runs SegmentRuns finds in the envelope ComputeEnvelope makes: what
// decoding uses. For the decoder's window and recordings of any length it
// finds them straight from the samples in two passes (one for the peak,
// one for the runs) without storing an envelope, testing env >= t as
// sum >= 64 * t on the running sum, which is the same test since
// env = floor(sum / 64); short recordings and other windows go through a
// stored envelope.
bool SegmentSamples(const std::int16_t* samples, std::size_t count, int window, Runs* runs,
                    DecodeFailure* why = nullptr);

// --- Unit and text -------------------------------------------------------

// Samples per unit: the smaller of the lower quartiles of the tone lengths
// and the gap lengths, clamped to MIN_UNIT..MAX_UNIT. Reorders both arrays.
int EstimateUnit(std::int32_t* onLengths, std::size_t onCount, std::int32_t* offLengths,
                 std::size_t offCount);

// Reads every run as whole units (rounded half up): a tone of 3 units or
// more is a dash, a shorter one a dot; a gap of 2-3 units ends a character,
// of 4 or more a word. Appends the characters to `text`, and when `symbols`
// is given the dots and dashes read, with ' ' between characters and " / "
// at word gaps. False only when memory runs out.
bool AssembleText(const Runs& runs, int unit, std::string* text, std::string* symbols = nullptr);

// What a decode measured, for explaining a result.
struct DecodeReport {
  std::size_t sampleCount = 0;
  std::int32_t peak = 0;
  std::int32_t threshold = 0;
  std::size_t onRuns = 0;
  std::size_t offRuns = 0;
  int unit = 0;
  std::string symbols;
};

// Recognises 8000 Hz samples into `text` (any length). The silences before
// the first tone and after the last are left out of the unit estimate: they
// bound the recording, not the keying.
bool DecodeSamples(const std::int16_t* samples, std::size_t count, std::string* text,
                   DecodeReport* report = nullptr, DecodeFailure* why = nullptr);

// Loads and recognises a WAV file into `text`.
bool DecodeWavToText(const char* path, std::string* text, DecodeReport* report = nullptr,
                     DecodeFailure* why = nullptr);

// The longest text the C functions take or give back, in bytes: each is
// held in a buffer of this and a terminator.
constexpr std::size_t kMaxTextBytes = 199;

// The decoded text of the last DecodeWavToText(path) call, terminated.
// Shared, so not re-entrant.
constexpr std::size_t kDecodedTextSize = kMaxTextBytes + 1;
extern char DecodedText[kDecodedTextSize];

// Decodes into DecodedText. A text longer than 199 bytes fails rather than
// being cut.
bool DecodeWavToText(const char* path);

}  // namespace tolvane

#endif  // TOLVANE_SRC_RECOGNISER_RECOGNISER_H
