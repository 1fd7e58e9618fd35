#include <cerrno>
#include <cstring>
#include <new>

#include "recogniser/recogniser.h"

namespace tolvane {
namespace {

// 64-bit file positions everywhere, so a chunk size near 4 GiB can only move
// the read position forward, even where long is 32 bits.
#if defined(_WIN32)
using FileOffset = long long;
int Seek(std::FILE* file, FileOffset offset, int whence) { return _fseeki64(file, offset, whence); }
FileOffset Tell(std::FILE* file) { return _ftelli64(file); }
#else
using FileOffset = off_t;
static_assert(sizeof(FileOffset) == 8, "build with _FILE_OFFSET_BITS=64");
int Seek(std::FILE* file, FileOffset offset, int whence) { return fseeko(file, offset, whence); }
FileOffset Tell(std::FILE* file) { return ftello(file); }
#endif

bool Fail(DecodeFailure* why, DecodeError error, int sysErrno = 0) {
  if (why != nullptr) {
    why->error = error;
    why->sysErrno = sysErrno;
  }
  return false;
}

bool ReadBytes(std::FILE* file, unsigned char* out, std::size_t size) {
  return std::fread(out, 1, size, file) == size;
}

bool ReadU16(std::FILE* file, std::uint16_t* value) {
  unsigned char b[2];
  if (!ReadBytes(file, b, sizeof b)) return false;
  *value = static_cast<std::uint16_t>(b[0] | b[1] << 8);
  return true;
}

bool ReadU32(std::FILE* file, std::uint32_t* value) {
  unsigned char b[4];
  if (!ReadBytes(file, b, sizeof b)) return false;
  *value = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  return true;
}

// A read that came up short because of an error, not the end of the file,
// is reported with the system's reason (reading a directory, an I/O error).
bool FailRead(std::FILE* file, DecodeFailure* why, DecodeError atEnd) {
  if (std::ferror(file)) return Fail(why, DecodeError::kRead, errno);
  return Fail(why, atEnd);
}

bool SkipForward(std::FILE* file, std::uint32_t size, DecodeFailure* why) {
  if (size == 0) return true;
  if (Seek(file, static_cast<FileOffset>(size), SEEK_CUR) != 0) {
    return Fail(why, DecodeError::kSeek, errno);
  }
  return true;
}

bool IsLittleEndianHost() {
  const std::uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

}  // namespace

bool LoadWavSamples(std::FILE* file, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why) {
  unsigned char tag[4];
  std::uint32_t riffSize = 0;  // read, never trusted
  if (!ReadBytes(file, tag, 4)) return FailRead(file, why, DecodeError::kNotRiff);
  if (std::memcmp(tag, "RIFF", 4) != 0) return Fail(why, DecodeError::kNotRiff);
  if (!ReadU32(file, &riffSize)) return FailRead(file, why, DecodeError::kNotRiff);
  if (!ReadBytes(file, tag, 4)) return FailRead(file, why, DecodeError::kNotWave);
  if (std::memcmp(tag, "WAVE", 4) != 0) return Fail(why, DecodeError::kNotWave);

  WavFormat format;
  bool formatSeen = false;
  bool dataSeen = false;
  FileOffset dataStart = 0;
  std::uint32_t dataSize = 0;
  while (!formatSeen || !dataSeen) {
    std::uint32_t size = 0;
    // The walk ends quietly at the end of the file; what is missing is
    // reported below.
    if (!ReadBytes(file, tag, 4) || !ReadU32(file, &size)) {
      if (std::ferror(file)) return Fail(why, DecodeError::kRead, errno);
      break;
    }
    if (std::memcmp(tag, "fmt ", 4) == 0) {
      if (size < 16) return Fail(why, DecodeError::kFormatTooShort);
      std::uint32_t byteRate = 0;
      std::uint16_t blockAlign = 0;
      if (!ReadU16(file, &format.formatTag) || !ReadU16(file, &format.channels) ||
          !ReadU32(file, &format.sampleRate) || !ReadU32(file, &byteRate) ||
          !ReadU16(file, &blockAlign) || !ReadU16(file, &format.bitsPerSample)) {
        return FailRead(file, why, DecodeError::kFormatCut);
      }
      if (!SkipForward(file, size - 16, why)) return false;
      formatSeen = true;
    } else if (std::memcmp(tag, "data", 4) == 0) {
      dataStart = Tell(file);
      if (dataStart < 0) return Fail(why, DecodeError::kSeek, errno);
      dataSize = size;
      if (!SkipForward(file, size, why)) return false;
      dataSeen = true;
    } else if (!SkipForward(file, size, why)) {
      return false;
    }
  }
  if (!formatSeen) return Fail(why, DecodeError::kNoFormat);
  if (!dataSeen) return Fail(why, DecodeError::kNoData);
  if (format.formatTag != 1 || format.channels != 1 || format.bitsPerSample != 16 ||
      format.sampleRate != 8000) {
    if (why != nullptr) why->format = format;
    return Fail(why, DecodeError::kUnsupported);
  }

  // Measure what the file really holds before allocating, so a small file
  // that declares gigabytes costs nothing.
  const std::size_t count = dataSize / 2;
  if (Seek(file, 0, SEEK_END) != 0) return Fail(why, DecodeError::kSeek, errno);
  const FileOffset end = Tell(file);
  if (end < 0) return Fail(why, DecodeError::kSeek, errno);
  if (end < dataStart || static_cast<std::uint64_t>(end - dataStart) < 2ull * count) {
    return Fail(why, DecodeError::kTruncated);
  }
  if (Seek(file, dataStart, SEEK_SET) != 0) return Fail(why, DecodeError::kSeek, errno);

  std::unique_ptr<std::int16_t[]> data(new (std::nothrow) std::int16_t[count > 0 ? count : 1]);
  if (!data) return Fail(why, DecodeError::kOutOfMemory);
  if (std::fread(data.get(), 2, count, file) != count) {
    return FailRead(file, why, DecodeError::kTruncated);
  }
  if (!IsLittleEndianHost()) {
    auto* bytes = reinterpret_cast<unsigned char*>(data.get());
    for (std::size_t i = 0; i < count; ++i) {
      data[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
  }
  *samples = std::move(data);
  *sampleRate = 8000;
  *sampleCount = count;
  return true;
}

bool LoadWavSamples(const char* path, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return Fail(why, DecodeError::kOpen, errno);
  const bool ok = LoadWavSamples(file, samples, sampleRate, sampleCount, why);
  std::fclose(file);
  return ok;
}

}  // namespace tolvane
