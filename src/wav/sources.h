// The bytes behind each WavReader entry; internal to src/wav.
#ifndef TOLVANE_SRC_WAV_SOURCES_H
#define TOLVANE_SRC_WAV_SOURCES_H

#include <cstdint>
#include <cstdio>
#include <memory>

#include "wav/wav.h"

namespace tolvane {

// Positions count from where the walk began, in 64 bits, so no chunk size
// can wrap them; a seekable source may be moved past its end, after which
// reads give nothing, as with a file.
struct WavReader::Source {
  virtual ~Source() = default;
  // Up to n bytes; fewer only at the end of the input or on an error, which
  // leaves `error` set.
  virtual std::size_t Read(unsigned char* out, std::size_t n) = 0;
  // Up to n bytes, but at least one unless the input ended or failed: a
  // stream gives what has arrived instead of waiting for all n.
  virtual std::size_t ReadSome(unsigned char* out, std::size_t n) { return Read(out, n); }
  virtual bool Seekable() const = 0;
  virtual bool SeekTo(std::uint64_t position) = 0;  // seekable sources only
  virtual bool Size(std::uint64_t* size) = 0;       // seekable sources only

  // Forward by n bytes: a seek where the source allows it, else reading
  // and dropping what comes.
  bool Skip(std::uint64_t n);

  std::uint64_t position = 0;
  int error = 0;  // errno of the last failed operation
};

std::unique_ptr<WavReader::Source> MemoryBytes(const std::uint8_t* data, std::size_t size);
// `owned`: closed with the source.
std::unique_ptr<WavReader::Source> FileBytes(std::FILE* file, bool owned);
#if !defined(_WIN32)
std::unique_ptr<WavReader::Source> DescriptorBytes(int fd);
#endif
std::unique_ptr<WavReader::Source> StreamBytes(WavReader::StreamRead read, void* context);

}  // namespace tolvane

#endif  // TOLVANE_SRC_WAV_SOURCES_H
