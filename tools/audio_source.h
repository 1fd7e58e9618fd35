// The tool's audio input: a file or a stream, read block by block in
// bounded memory and handed on as float samples at the rate a recogniser
// asks for. 8000 Hz 16-bit mono PCM WAV is read by the library's own WAV
// reader, exactly as Wave2Morse reads it; other formats by libsndfile
// through its virtual I/O, resampled by libsoxr's streaming interface.
#ifndef TOLVANE_TOOLS_AUDIO_SOURCE_H
#define TOLVANE_TOOLS_AUDIO_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::tool {

// Sample formats of headerless input (--raw-format).
enum class RawFormat { kS16, kU8, kF32 };

struct SourceOptions {
  // The rate of the blocks Read gives, in Hz; 0 keeps the input's own.
  double rate = 8000;
  // Interleaved (I, Q) pairs from a 2-channel input (channel 0 is I)
  // instead of the mean of the channels.
  bool iq = false;
  // Headerless samples at this rate (0: the input has a header), mono, or
  // I/Q pairs with `iq`.
  int rawRate = 0;
  RawFormat rawFormat = RawFormat::kS16;
  // Stop after this many seconds of audio, or this many frames of the
  // input, whichever comes first (0: no limit).
  double maxSeconds = 0;
  std::uint64_t maxFrames = 0;
};

// Rates the tool accepts: no Morse code fits below 1 kHz, and nothing that
// records audio or radio runs above 100 MHz.
constexpr double kMinRate = 1000;
constexpr double kMaxRate = 100e6;

class FrameReader;
class ByteChannel;
class ByteReader;
struct Container;

class AudioSource {
 public:
  AudioSource();
  ~AudioSource();
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  // Opens `path` ("-" for standard input). False, with error() saying why
  // in one line, when it cannot be read.
  bool Open(const std::string& path, const SourceOptions& options);
  // The same over bytes in memory, arriving as a file, or as a stream that
  // gives at most `most` bytes a read (for tests and the fuzzer).
  bool OpenMemory(const std::uint8_t* data, std::size_t size, bool stream, std::size_t most,
                  const SourceOptions& options);
  // The same over any channel (byte_reader.h), e.g. one that fails.
  bool OpenChannel(std::unique_ptr<ByteChannel> channel, const SourceOptions& options);

  // The next block: what the input has ready, never empty. False at the end
  // of the input, or on a failure, which error() then says. Samples are
  // finite: NaN and infinities in the input are silence, and values beyond
  // a million times full scale are clipped there before any filter.
  bool Read(std::vector<float>* block);
  // The same as 16-bit samples, rounded and clipped (bit for bit what the
  // library's reader gives, where it reads the input); 0 at the end or on
  // a failure.
  std::size_t ReadPcm16(std::int16_t* out, std::size_t max);
  // Back to the start for another pass; files only.
  bool Rewind();

  double rate() const { return outRate_; }
  int channels() const { return options_.iq ? 2 : 1; }
  bool stream() const;
  // Whether the library's WAV reader reads it (8000 Hz 16-bit mono PCM WAV).
  bool libraryWav() const;
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // What the input held (format, rate, channels, the duration read so far)
  // and which reader took it, for --explain.
  std::string held() const;
  std::string via() const;

 private:
  bool Start(const std::string& path, const SourceOptions& options);
  bool Fail(const std::string& why);
  bool Finish();
  bool ResampleSetUp();
  std::string ReadFailure() const;
  bool TruncatedAtOpen();

  SourceOptions options_;
  std::string path_;
  const std::uint8_t* memory_ = nullptr;  // OpenMemory's bytes
  std::size_t memorySize_ = 0;
  std::unique_ptr<ByteReader> bytes_;
  std::unique_ptr<Container> container_;
  std::unique_ptr<FrameReader> reader_;
  struct Resampler;
  std::unique_ptr<Resampler> resampler_;
  double outRate_ = 0;
  std::uint64_t frames_ = 0;      // read in this pass
  std::uint64_t mostFrames_ = 0;  // read in any pass
  std::uint64_t maxFrames_ = 0;   // --max-duration, in input frames (0: none)
  bool ended_ = false;
  std::string error_;
  std::vector<float> frameBuffer_;
  std::vector<float> mixed_;
  std::vector<float> pending_;  // ReadPcm16's converted samples not yet given
  std::size_t pendingAt_ = 0;
};

// Whether this build reads other formats than 8000 Hz 16-bit mono WAV.
bool ReadsOtherFormats();

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_AUDIO_SOURCE_H
