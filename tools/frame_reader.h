// Frames at an input's own rate, from whichever reader takes it: the
// library's WAV reader, a headerless reader, or libsndfile. Internal to the
// tool's input path; AudioSource mixes and resamples what they give.
#ifndef TOLVANE_TOOLS_FRAME_READER_H
#define TOLVANE_TOOLS_FRAME_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio_source.h"
#include "byte_reader.h"
#include "container.h"
#include "wav/wav.h"

namespace tolvane::tool {

class FrameReader {
 public:
  virtual ~FrameReader() = default;
  // Up to `max` frames, channels interleaved, full scale +-1; what the
  // input has ready, at least one frame until it ends. 0 at the end or on a
  // failure, which `error` then says.
  virtual std::size_t Read(float* out, std::size_t max) = 0;
  // Back to the first frame (files only); false with `error` set.
  virtual bool Rewind() = 0;
  // Where the input's samples are 16-bit and mono already (the library's
  // reader), reads them without a conversion; otherwise gives nothing.
  virtual bool reads16() const { return false; }
  virtual std::size_t Read16(std::int16_t*, std::size_t) { return 0; }

  int rate = 0;
  int channels = 0;
  std::string format;  // e.g. "WAV, 16-bit PCM"
  std::string via;     // which reader
  std::string error;
  bool cut = false;  // the error is that the bytes could not be read
};

// The library's reader, as Wave2Morse reads: by `path` for a file (the
// descriptor for standard input), from `memory` where it is given, through
// `in` for a stream. On failure `why` says why.
std::unique_ptr<FrameReader> OpenLibraryWav(const std::string& path, const std::uint8_t* memory, std::size_t size,
                                            ByteReader* in, DecodeFailure* why);

// Headerless samples: little-endian signed 16-bit, unsigned 8-bit (128 is
// silence, as rtl_sdr writes) or 32-bit float.
std::unique_ptr<FrameReader> OpenRaw(ByteReader* in, int rate, RawFormat format, int channels);

// libsndfile over `in`, through its virtual I/O. On failure `error` says
// why; `sniffed` names the format for a stream that needed seeking.
std::unique_ptr<FrameReader> OpenSndfile(ByteReader* in, const Container& sniffed, std::string* error);

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_FRAME_READER_H
