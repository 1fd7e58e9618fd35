// WAV files: the 44-byte PCM layout the keyer writes, and the reader that
// walks RIFF chunks to find 8000 Hz 16-bit mono PCM samples in it and in the
// variants other writers produce.
#ifndef TOLVANE_SRC_WAV_WAV_H
#define TOLVANE_SRC_WAV_WAV_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tolvane {

// The one rate the library writes and its reader accepts.
constexpr int kSampleRate = 8000;

// Largest number of 16-bit samples whose sizes still fit the header's 32-bit
// fields (data size * 2 + 36 <= 0xFFFFFFFF).
constexpr std::uint64_t kMaxWavSamples = (0xFFFFFFFFull - 36) / 2;

// --- Failures --------------------------------------------------------------

// Why a recording could not be read or decoded. The reader's reasons come
// first; the recognisers add the last few.
enum class DecodeError {
  kNone,
  kOpen,             // the file cannot be opened (sysErrno)
  kRead,             // reading failed (sysErrno), e.g. a directory
  kNotRiff,          // no "RIFF" tag
  kNotWave,          // no "WAVE" form type
  kFormatTooShort,   // a "fmt " chunk under 16 bytes
  kFormatCut,        // the input ends inside the "fmt " fields
  kSeek,             // a seek failed (sysErrno)
  kDataBeforeFormat, // on a stream, "data" came first and cannot be gone back to
  kNoFormat,         // the input ends before a "fmt " chunk
  kNoData,           // the input ends before a "data" chunk
  kUnsupported,      // not 8000 Hz 16-bit mono PCM (see format)
  kTruncated,        // the data chunk declares more bytes than the input holds
  kOutOfMemory,
  kNoSamples,        // the data chunk is empty
  kSilent,           // every sample is zero
  kTooQuiet,         // some samples are not zero, but the level never reaches 1
  kTooLong,          // more samples, or more text, than the caller can hold
  kNoTone,           // no keyed tone stands out
  kCannotRewind,     // a second look at a stream reaches past the start it keeps
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

// Records why an operation failed, when the caller asked, and returns false,
// so that each failure is one statement. Works for any failure record with
// `error` and `sysErrno` members.
template <typename Failure, typename Error>
bool Fail(Failure* why, Error error, int sysErrno = 0) {
  if (why != nullptr) {
    why->error = error;
    why->sysErrno = sysErrno;
  }
  return false;
}

// One line saying why, e.g. "44100 Hz, 2 channels, 16-bit PCM; need 8000 Hz,
// mono, 16-bit PCM" or "cannot open: No such file or directory".
std::string DescribeFailure(const DecodeFailure& failure);

// --- Writing ---------------------------------------------------------------

// Writes the 44-byte PCM header, field by field, little-endian. False at the
// first write that does not complete.
bool WriteWavHeader(std::FILE* file, int sampleRate, int channels, int bitsPerSample,
                    std::uint32_t dataBytes);

// --- Reading ---------------------------------------------------------------
//
// The chunk walk: "RIFF", a size (never trusted), "WAVE", then chunks in
// order until both "fmt " and "data" have been seen. "data" may come before
// "fmt " where the input can seek back to it; a "fmt " longer than 16 bytes
// and unknown chunks are skipped; no pad byte is skipped after a chunk of odd
// size; a later "fmt " or "data" met before the walk ends replaces an earlier
// one. Only 8000 Hz 16-bit mono PCM (format tag 1) is accepted.

// Reads the samples of one WAV input block by block, from memory, a path, a
// FILE*, a file descriptor or a stream the caller reads; every entry ends in
// the same walk. Where the input can seek, a data chunk that declares more
// bytes than the input holds is refused when opening (kTruncated), before
// anything is read; on a pipe the declared size is only an upper bound, and
// `truncated()` tells afterwards whether fewer bytes came. A pipe's writer
// cannot know the size when it writes the header, so there a size of 0 or
// from 0x7FFFF000 up (sox writes 0x7FFFF000, others 0xFFFFFFFF) means the
// data runs to the end of the input. Not thread-safe; one reader per input.
class WavReader {
 public:
  // Gives up to n bytes of a stream into `out`, at least one unless the
  // stream ended or failed (then 0, with `*error` set to an errno).
  using StreamRead = std::size_t (*)(void* context, unsigned char* out, std::size_t n, int* error);

  WavReader();
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  // [in] data, size: the whole input, borrowed until the reader is closed.
  bool Open(const std::uint8_t* data, std::size_t size, DecodeFailure* why = nullptr);
  // Opens `path` itself and closes it again.
  bool Open(const char* path, DecodeFailure* why = nullptr);
  // [in] file: positioned at "RIFF", borrowed; it stays open.
  bool Open(std::FILE* file, DecodeFailure* why = nullptr);
  // [in] fd: positioned at "RIFF", borrowed; it stays open.
  bool OpenDescriptor(int fd, DecodeFailure* why = nullptr);
  // A stream that cannot seek, read through `read`; `context` is borrowed.
  bool Open(StreamRead read, void* context, DecodeFailure* why = nullptr);

  const WavFormat& format() const;
  // The data chunk's size as declared, and whether the input can seek.
  std::uint32_t declaredBytes() const;
  bool seekable() const;
  // Whether the data runs to the end of the input whatever its size says
  // (a pipe's placeholder size, see above).
  bool toTheEnd() const;

  // Reads up to `max` samples into `out`; 0 at the end of the data chunk or
  // of the input. A stream gives what has arrived (at least one sample
  // until it ends) rather than waiting for `max`. A read error is recorded
  // in `why` (kRead) and also ends it.
  std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure* why = nullptr);
  // Whether the input ended before the declared data did, an odd last byte
  // aside, and the errno of a read that failed (0: none).
  bool truncated() const;
  int readError() const;
  // Back to the first sample, for another pass; seekable inputs only.
  bool Rewind(DecodeFailure* why = nullptr);
  void Close();

  struct Source;  // the bytes behind an entry

 private:
  bool Walk(DecodeFailure* why);

  std::unique_ptr<Source> source_;
  WavFormat format_;
  std::uint32_t declared_ = 0;
  std::uint64_t dataStart_ = 0;
  std::uint64_t remaining_ = 0;  // data bytes not yet read
  bool toTheEnd_ = false;
  bool ended_ = false;           // the input ended inside the data
  int readError_ = 0;
};

// Loads every sample of an 8000 Hz 16-bit mono PCM WAV input into one array,
// as the whole-file form of WavReader. A data chunk that declares more
// samples than the input holds is refused before anything is allocated. On
// true the outputs are set and `samples` owns `sampleCount` values; on false
// none is set.
bool LoadWavSamples(const char* path, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why = nullptr);
bool LoadWavSamples(std::FILE* file, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why = nullptr);
bool LoadWavSamples(const std::uint8_t* data, std::size_t size,
                    std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why = nullptr);

}  // namespace tolvane

#endif  // TOLVANE_SRC_WAV_WAV_H
