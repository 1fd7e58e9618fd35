// The recogniser: WAV loading, envelope and on/off runs, unit estimation and
// text assembly.
#ifndef TOLVANE_SRC_RECOGNISER_RECOGNISER_H
#define TOLVANE_SRC_RECOGNISER_RECOGNISER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tolvane {

constexpr int ENVELOPE_WINDOW = 64;  // samples (8 ms)
constexpr int MIN_UNIT = 40;         // samples (5 ms)
constexpr int MAX_UNIT = 1600;       // samples (200 ms)

// Why a decode failed. The loader's reasons come first.
enum class DecodeError {
  kNone,
  kOpen,          // the file cannot be opened (sysErrno)
  kRead,          // reading failed (sysErrno), e.g. a directory
  kNotRiff,       // no "RIFF" tag
  kNotWave,       // no "WAVE" form type
  kFormatTooShort,  // a "fmt " chunk under 16 bytes
  kFormatCut,     // the file ends inside the "fmt " fields
  kSeek,          // a seek failed (sysErrno), e.g. a pipe
  kNoFormat,      // the file ends before a "fmt " chunk
  kNoData,        // the file ends before a "data" chunk
  kUnsupported,   // not 8000 Hz 16-bit mono PCM (see format)
  kTruncated,     // the data chunk declares more bytes than the file holds
  kOutOfMemory,
  kNoSamples,     // the data chunk is empty
  kSilent,        // every sample is zero
  kTooLong,       // more samples, or more text, than the caller can hold
};

// The fields of a "fmt " chunk that decide whether it is supported.
struct WavFormat {
  std::uint16_t formatTag = 0;
  std::uint16_t channels = 0;
  std::uint32_t sampleRate = 0;
  std::uint16_t bitsPerSample = 0;
};

struct DecodeFailure {
  DecodeError error = DecodeError::kNone;
  int sysErrno = 0;
  WavFormat format;  // what the file held, for kUnsupported
};

// One line saying why, e.g. "44100 Hz, 2 channels, 16-bit PCM; need 8000 Hz,
// mono, 16-bit PCM" or "cannot open: No such file or directory".
std::string DescribeFailure(const DecodeFailure& failure);

// --- Loading -------------------------------------------------------------

// Loads the samples of an 8000 Hz 16-bit mono PCM WAV file. Walks the RIFF
// chunks in order, accepting "data" before "fmt ", a "fmt " longer than 16
// bytes and unknown chunks (no pad byte is skipped after odd sizes). A data
// chunk that declares more samples than the file holds is refused before
// anything is allocated. On true the outputs are set and `samples` owns
// `sampleCount` values; on false none is set.
bool LoadWavSamples(const char* path, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why = nullptr);

// The same from an open stream (positioned at the "RIFF" tag), which stays
// open. The stream must be seekable.
bool LoadWavSamples(std::FILE* file, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why = nullptr);

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

// The runs SegmentRuns finds in the envelope ComputeEnvelope makes, found
// straight from the samples in two passes (one for the peak, one for the
// runs) without storing an envelope: this is what decoding uses. The
// threshold test env >= t is done as sum >= width * t on the running sum,
// which is the same test, since env = floor(sum / width).
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

// The decoded text of the last DecodeWavToText(path) call: 199 bytes and a
// terminator. Shared, so not re-entrant.
constexpr std::size_t kDecodedTextSize = 200;
extern char DecodedText[kDecodedTextSize];

// Decodes into DecodedText. A text longer than 199 bytes fails rather than
// being cut.
bool DecodeWavToText(const char* path);

}  // namespace tolvane

#endif  // TOLVANE_SRC_RECOGNISER_RECOGNISER_H
