// What an input's first bytes say it is, and for the containers whose frame
// count is exact (WAV, Wave64, AIFF, CAF holding PCM, float or G.711), how
// many bytes of samples the header declares. libsndfile quietly shortens a
// data chunk to what the file holds; this is what lets the tool say a file
// is truncated. Internal to the tool's input path.
#ifndef TOLVANE_TOOLS_CONTAINER_H
#define TOLVANE_TOOLS_CONTAINER_H

#include <cstdint>

#include "byte_reader.h"

namespace tolvane::tool {

struct Container {
  enum Kind { kUnknown, kWav, kWave64, kAiff, kCaf, kAu, kFlac, kOgg, kMp3 };
  Kind kind = kUnknown;
  bool riff = false;  // WAV as "RIFF", little-endian: the library's reader reads no other
  // WAV and Wave64: the format chunk's fields (tag 0xFFFE is replaced by
  // the subformat's), from the last one before the data, as the library's
  // reader takes them.
  std::uint16_t formatTag = 0;
  std::uint16_t channels = 0;
  std::uint32_t sampleRate = 0;
  std::uint16_t bitsPerSample = 0;
  // Exact containers: where the samples start, how many bytes the header
  // declares and the bytes of one frame.
  bool exact = false;
  std::uint64_t dataOffset = 0;
  std::uint64_t declaredBytes = 0;
  std::uint32_t frameBytes = 0;
  // A RIFF WAV's 32-bit data size: where it lies and what it says.
  std::int64_t dataSizeAt = -1;
  std::uint32_t dataSize32 = 0;

  // What the library's WAV reader takes: 8000 Hz 16-bit mono PCM WAV.
  bool LibraryWav() const;
  // The size a program writing to a pipe puts in the header.
  bool Placeholder() const;
  // Formats a stream can hold: those whose readers never need to go back
  // further than the tool's look-ahead. Others (and libsndfile's rarer
  // formats, some of which loop forever on a stream) need a file.
  bool StreamReadable() const;
};

// Looks at the start of `in` and leaves it at position 0. Reads no further
// than the headers before the data, and on a stream stays in the window.
Container Sniff(ByteReader* in);

// "WAV", "FLAC", ... or nullptr when the bytes say nothing known.
const char* KindName(Container::Kind kind);

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_CONTAINER_H
