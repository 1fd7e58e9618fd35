#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#endif

#include "wav/sources.h"
#include "wav/wav.h"

namespace tolvane {

namespace {

using Source = WavReader::Source;

// The smallest data size read as a pipe writer's placeholder.
constexpr std::uint32_t kPipePlaceholder = 0x7FFFF000;

bool HostIsLittleEndian() {
  const std::uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

bool ReadExactly(Source* s, unsigned char* out, std::size_t n) { return s->Read(out, n) == n; }

bool ReadU16(Source* s, std::uint16_t* value) {
  unsigned char b[2];
  if (!ReadExactly(s, b, 2)) return false;
  *value = static_cast<std::uint16_t>(b[0] | b[1] << 8);
  return true;
}

bool ReadU32(Source* s, std::uint32_t* value) {
  unsigned char b[4];
  if (!ReadExactly(s, b, 4)) return false;
  *value = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  return true;
}

// A read that came up short because of an error, not the end of the input,
// is reported with the system's reason (reading a directory, an I/O error).
bool FailRead(const Source& s, DecodeFailure* why, DecodeError atEnd) {
  if (s.error != 0) return Fail(why, DecodeError::kRead, s.error);
  return Fail(why, atEnd);
}

bool SkipOrFail(Source* s, std::uint64_t n, DecodeFailure* why) {
  if (n == 0 || s->Skip(n)) return true;
  return Fail(why, s->Seekable() ? DecodeError::kSeek : DecodeError::kRead, s->error);
}

}  // namespace

WavReader::WavReader() = default;
WavReader::~WavReader() = default;

bool WavReader::Open(const std::uint8_t* data, std::size_t size, DecodeFailure* why) {
  source_ = MemoryBytes(data, size);
  return Walk(why);
}

bool WavReader::Open(const char* path, DecodeFailure* why) {
  Close();
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return Fail(why, DecodeError::kOpen, errno);
  source_ = FileBytes(file, true);
  return Walk(why);
}

bool WavReader::Open(std::FILE* file, DecodeFailure* why) {
  source_ = FileBytes(file, false);
  return Walk(why);
}

bool WavReader::Open(StreamRead read, void* context, DecodeFailure* why) {
  source_ = StreamBytes(read, context);
  return Walk(why);
}

bool WavReader::OpenDescriptor(int fd, DecodeFailure* why) {
#if defined(_WIN32)
  std::FILE* file = _fdopen(_dup(fd), "rb");
  if (file == nullptr) return Fail(why, DecodeError::kOpen, errno);
  source_ = FileBytes(file, true);
#else
  source_ = DescriptorBytes(fd);
#endif
  return Walk(why);
}

bool WavReader::Walk(DecodeFailure* why) {
  Source* s = source_.get();
  format_ = WavFormat{};
  declared_ = 0;
  remaining_ = 0;
  toTheEnd_ = false;
  ended_ = false;
  readError_ = 0;
  unsigned char tag[4];
  std::uint32_t riffSize = 0;  // read, never trusted: writers to pipes cannot know it
  if (!ReadExactly(s, tag, 4)) return FailRead(*s, why, DecodeError::kNotRiff);
  if (std::memcmp(tag, "RIFF", 4) != 0) return Fail(why, DecodeError::kNotRiff);
  if (!ReadU32(s, &riffSize)) return FailRead(*s, why, DecodeError::kNotRiff);
  if (!ReadExactly(s, tag, 4)) return FailRead(*s, why, DecodeError::kNotWave);
  if (std::memcmp(tag, "WAVE", 4) != 0) return Fail(why, DecodeError::kNotWave);

  bool formatSeen = false;
  bool dataSeen = false;
  while (!formatSeen || !dataSeen) {
    std::uint32_t size = 0;
    // The walk ends quietly at the end of the input; what is missing is
    // reported below.
    if (!ReadExactly(s, tag, 4) || !ReadU32(s, &size)) {
      if (s->error != 0) return Fail(why, DecodeError::kRead, s->error);
      break;
    }
    if (std::memcmp(tag, "fmt ", 4) == 0) {
      // A later "fmt " replaces an earlier one: the walk goes by the last
      // format it read before the data.
      if (size < 16) return Fail(why, DecodeError::kFormatTooShort);
      std::uint32_t byteRate = 0;   // not validated: writers get it wrong
      std::uint16_t blockAlign = 0;  // likewise
      if (!ReadU16(s, &format_.formatTag) || !ReadU16(s, &format_.channels) ||
          !ReadU32(s, &format_.sampleRate) || !ReadU32(s, &byteRate) || !ReadU16(s, &blockAlign) ||
          !ReadU16(s, &format_.bitsPerSample)) {
        return FailRead(*s, why, DecodeError::kFormatCut);
      }
      // Extensions (cbSize and what follows) say nothing this reader uses.
      if (!SkipOrFail(s, size - 16, why)) return false;
      formatSeen = true;
    } else if (std::memcmp(tag, "data", 4) == 0) {
      dataStart_ = s->position;
      declared_ = size;
      dataSeen = true;
      if (formatSeen && !s->Seekable()) break;  // the samples follow; read them as they come
      // A stream cannot come back for samples it has passed.
      if (!s->Seekable()) return Fail(why, DecodeError::kDataBeforeFormat);
      if (!SkipOrFail(s, size, why)) return false;
    } else if (!SkipOrFail(s, size, why)) {
      // Unknown chunks (LIST, cue, bext, ...) are skipped whole. No pad
      // byte is skipped after an odd size: the layout these files follow
      // has none, and writers that pad are rare next to the ones that don't.
      return false;
    }
  }
  if (!formatSeen) return Fail(why, DecodeError::kNoFormat);
  if (!dataSeen) return Fail(why, DecodeError::kNoData);
  if (format_.formatTag != 1 || format_.channels != 1 || format_.bitsPerSample != 16 ||
      format_.sampleRate != static_cast<std::uint32_t>(kSampleRate)) {
    if (why != nullptr) why->format = format_;
    return Fail(why, DecodeError::kUnsupported);
  }
  // A last odd byte is no sample.
  remaining_ = declared_ & ~std::uint32_t{1};
  if (!s->Seekable()) {
    toTheEnd_ = declared_ == 0 || declared_ >= kPipePlaceholder;
    if (toTheEnd_) remaining_ = std::numeric_limits<std::uint64_t>::max();
    return true;
  }
  // Measure what the input really holds before anyone allocates for it, so
  // a small file that declares gigabytes costs nothing.
  std::uint64_t end = 0;
  if (!s->Size(&end)) return Fail(why, DecodeError::kSeek, s->error);
  if (end < dataStart_ || end - dataStart_ < remaining_) return Fail(why, DecodeError::kTruncated);
  return Rewind(why);
}

const WavFormat& WavReader::format() const { return format_; }
std::uint32_t WavReader::declaredBytes() const { return declared_; }
bool WavReader::seekable() const { return source_ != nullptr && source_->Seekable(); }

std::size_t WavReader::Read(std::int16_t* out, std::size_t max, DecodeFailure* why) {
  if (source_ == nullptr || ended_ || remaining_ < 2) return 0;
  std::uint64_t limit = remaining_ / 2;
  if (limit > max) limit = max;
  // Straight into `out`: the samples are little-endian, as the host is
  // almost always; others swap below.
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  const std::size_t want = 2 * static_cast<std::size_t>(limit);
  std::size_t got = want == 0 ? 0 : source_->ReadSome(bytes, want);
  if (got % 2 != 0) got += source_->Read(bytes + got, 1);  // a stream split a sample
  const std::size_t samples = got / 2;
  if (!HostIsLittleEndian()) {
    for (std::size_t i = 0; i < samples; ++i) {
      out[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
  }
  if (!toTheEnd_) remaining_ -= 2 * samples;
  if (samples == 0 && want > 0) {
    // The input ended or failed; an odd byte left over is dropped with it.
    if (source_->error != 0) {
      readError_ = source_->error;
      Fail(why, DecodeError::kRead, readError_);
    }
    ended_ = true;
  }
  return samples;
}

bool WavReader::truncated() const { return ended_ && !toTheEnd_ && remaining_ >= 2; }
bool WavReader::toTheEnd() const { return toTheEnd_; }
int WavReader::readError() const { return readError_; }

bool WavReader::Rewind(DecodeFailure* why) {
  if (source_ == nullptr || !source_->Seekable()) return Fail(why, DecodeError::kSeek, ESPIPE);
  if (!source_->SeekTo(dataStart_)) return Fail(why, DecodeError::kSeek, source_->error);
  remaining_ = declared_ & ~std::uint32_t{1};
  ended_ = false;
  readError_ = 0;
  return true;
}

void WavReader::Close() { source_.reset(); }

namespace {

bool LoadAll(WavReader* reader, bool opened, std::unique_ptr<std::int16_t[]>* samples,
             int* sampleRate, std::size_t* sampleCount, DecodeFailure* why) {
  if (!opened) return false;
  const std::size_t declared = reader->declaredBytes() / 2;
  std::unique_ptr<std::int16_t[]> data;
  std::size_t count = 0;
  if (reader->seekable()) {
    // Measured by the walk: the input holds every declared sample.
    data.reset(new (std::nothrow) std::int16_t[declared > 0 ? declared : 1]);
    if (!data) return Fail(why, DecodeError::kOutOfMemory);
    for (std::size_t n; count < declared && (n = reader->Read(data.get() + count, declared - count, why)) > 0;) {
      count += n;
    }
  } else {
    // A stream's size is only a claim: grow as the samples come.
    std::vector<std::int16_t> grown;
    std::int16_t block[4096];
    try {
      for (std::size_t n; (n = reader->Read(block, 4096, why)) > 0;) grown.insert(grown.end(), block, block + n);
    } catch (const std::bad_alloc&) {
      return Fail(why, DecodeError::kOutOfMemory);
    }
    count = grown.size();
    data.reset(new (std::nothrow) std::int16_t[count > 0 ? count : 1]);
    if (!data) return Fail(why, DecodeError::kOutOfMemory);
    std::copy(grown.begin(), grown.end(), data.get());
  }
  if (reader->readError() != 0) return Fail(why, DecodeError::kRead, reader->readError());
  if (!reader->toTheEnd() && count < declared) return Fail(why, DecodeError::kTruncated);
  *samples = std::move(data);
  *sampleRate = kSampleRate;
  *sampleCount = count;
  return true;
}

}  // namespace

bool LoadWavSamples(const char* path, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why) {
  WavReader reader;
  return LoadAll(&reader, reader.Open(path, why), samples, sampleRate, sampleCount, why);
}

bool LoadWavSamples(std::FILE* file, std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why) {
  WavReader reader;
  return LoadAll(&reader, reader.Open(file, why), samples, sampleRate, sampleCount, why);
}

bool LoadWavSamples(const std::uint8_t* data, std::size_t size,
                    std::unique_ptr<std::int16_t[]>* samples, int* sampleRate,
                    std::size_t* sampleCount, DecodeFailure* why) {
  WavReader reader;
  return LoadAll(&reader, reader.Open(data, size, why), samples, sampleRate, sampleCount, why);
}

}  // namespace tolvane
