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
  kNoTone,        // the robust recogniser found no keyed tone
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

// The decoded text of the last DecodeWavToText(path) call: 199 bytes and a
// terminator. Shared, so not re-entrant.
constexpr std::size_t kDecodedTextSize = 200;
extern char DecodedText[kDecodedTextSize];

// Decodes into DecodedText. A text longer than 199 bytes fails rather than
// being cut.
bool DecodeWavToText(const char* path);

// --- The robust recogniser -----------------------------------------------
//
// A second recogniser beside the one above, for real recordings: noise,
// fading, hand keying, Farnsworth spacing and speed changes. It finds the
// tone's pitch, filters a narrow band around it matched to the keying speed,
// decides on and off against the tracked noise and signal levels with
// hysteresis, drops glitches, and reads tones and gaps against a unit it
// tracks through the recording.

// One decoded character and how sure the recogniser is of it (0 to 1: the
// smallest margin by which any of its tones or gaps fell on its side of a
// decision boundary; 0 for a code no character has).
struct RobustCharacter {
  char character = '?';
  float confidence = 0;
  double seconds = 0;  // where it starts
  std::string code;
};

struct SpeedPoint {
  double seconds = 0;
  double wpm = 0;
};

struct RobustReport {
  double pitchHz = 0;
  double snrDb = 0;         // estimated key-down tone power over noise in 2500 Hz
  double filterMs = 0;      // the matched filter's length (where the speed is lowest)
  double noiseLevel = 0;    // envelope level with the key up
  double signalLevel = 0;   // median envelope level with the key down
  double onFraction = 0;    // hysteresis thresholds, as fractions of the
  double offFraction = 0;   //   way from the noise level to the signal level
  double wordGapUnits = 0;  // gaps longer than this many units end a word
  std::size_t glitches = 0; // runs shorter than a fraction of a dot, removed
  std::vector<SpeedPoint> speed;
  std::vector<RobustCharacter> characters;
};

// The tone's pitch, 200 to 2000 Hz, from the whole recording's averaged
// spectrum; 0 when there is no tone at all.
double EstimatePitch(const std::int16_t* samples, std::size_t count);

// Mixes the tone at `pitchHz` down to zero and keeps one complex value per
// millisecond (the mean of 8 samples): the recording's baseband.
void Demodulate(const std::int16_t* samples, std::size_t count, double pitchHz,
                std::vector<float>* inPhase, std::vector<float>* quadrature);

// The tone's key-down (true) and key-up stretches, in milliseconds.
struct KeyRun {
  bool on = false;
  double start = 0;
  double length = 0;
};

// Merges every run shorter than `shortestMs` into its neighbours, shortest
// first; returns how many were merged away.
std::size_t RemoveGlitches(std::vector<KeyRun>* runs, double shortestMs);

// The length of a dot in milliseconds that best explains the tone lengths
// as dots (1 unit) and dashes (3 units), with a mild preference for 12 to
// 30 WPM that settles recordings where every tone is alike.
double EstimateDotMs(const std::vector<double>& toneMs);

bool DecodeRobust(const std::int16_t* samples, std::size_t count, std::string* text,
                  RobustReport* report = nullptr, DecodeFailure* why = nullptr);

}  // namespace tolvane

#endif  // TOLVANE_SRC_RECOGNISER_RECOGNISER_H
