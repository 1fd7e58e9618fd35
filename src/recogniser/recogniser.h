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

// --- Reading in passes, in constant memory ------------------------------

// Samples for the basic recogniser, block by block. It reads them once;
// where it must look again (the loudest moment came late, or there were
// more runs than it keeps), it rewinds and reads the first `upTo` samples
// again, so that a source keeping only the start of a stream can still
// serve a short second look.
class SampleSource {
 public:
  virtual ~SampleSource() = default;
  // Up to `max` samples; 0 at the end of the input, or after a failure,
  // which `why` then records.
  virtual std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure* why) = 0;
  // Back to the first sample, to read at most `upTo` samples; false, with
  // `why` set, where the source cannot.
  virtual bool Rewind(std::uint64_t upTo, DecodeFailure* why) = 0;
};

// What DecodeSamples gives for the same samples, bit for bit, read through
// fixed buffers: a first pass finds the envelope's peak and cuts the runs,
// keeping their lengths as counts (enough for the unit, which is clamped to
// MIN_UNIT..MAX_UNIT) and, up to a quarter of a million, in order (enough
// for the text); a second pass covers the start again when the threshold
// rose after it, and a third reads everything again for the text when the
// runs did not all fit. Memory stays the same for any length. The text
// stops with kTooLong once it would pass `maxText` bytes.
bool DecodeSource(SampleSource* source, std::string* text, DecodeReport* report = nullptr,
                  DecodeFailure* why = nullptr, std::size_t maxText = std::string::npos);

// A WAV input as a SampleSource, rewound by seeking. A data chunk that ends
// before its declared size (a stream, or a file cut while being read) is
// kTruncated unless `upperBound` says the size only bounds the data (as on
// a pipe, where the end of the stream is the end), or the reader found a
// pipe's placeholder size.
class WavSamples : public SampleSource {
 public:
  explicit WavSamples(WavReader* reader, bool upperBound = false) : reader_(reader), upperBound_(upperBound) {}
  std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure* why) override;
  bool Rewind(std::uint64_t upTo, DecodeFailure* why) override;

 private:
  WavReader* reader_;
  bool upperBound_;
  std::uint64_t read_ = 0;
};

// Keeps the first `capacity` samples of a source that cannot seek (a pipe),
// so that a rewind to read no further than those succeeds; beyond them it
// fails with kCannotRewind. Memory: at most `capacity` samples.
class ReplaySource : public SampleSource {
 public:
  ReplaySource(SampleSource* inner, std::size_t capacity) : inner_(inner), capacity_(capacity) {}
  std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure* why) override;
  bool Rewind(std::uint64_t upTo, DecodeFailure* why) override;
  // How many samples it keeps at most.
  std::size_t capacity() const { return capacity_; }

 private:
  SampleSource* inner_;
  std::size_t capacity_;
  std::vector<std::int16_t> kept_;
  bool keeping_ = true;   // every sample read so far is in kept_
  bool replaying_ = false;
  std::uint64_t at_ = 0;  // next sample to replay
  std::uint64_t upTo_ = 0;
};

// Recognises a WAV file into `text` through DecodeSource: the path is
// opened with WavReader, rewound by seeking (a FIFO through a ReplaySource).
bool DecodeWavFile(const char* path, std::string* text, DecodeReport* report, DecodeFailure* why,
                   std::size_t maxText);

// Loads and recognises a WAV file into `text` (DecodeWavFile without a limit).
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
