#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/types.h>
#include <unistd.h>
#endif

#include "wav/wav.h"

namespace tolvane {

// The bytes behind one entry. Positions count from where the walk began, in
// 64 bits, so no chunk size can wrap them; a seekable source may be moved
// past its end, after which reads give nothing, as with a file.
struct WavReader::Source {
  virtual ~Source() = default;
  // Up to n bytes; fewer only at the end of the input or on an error, which
  // leaves `error` set.
  virtual std::size_t Read(unsigned char* out, std::size_t n) = 0;
  virtual bool Seekable() const = 0;
  virtual bool SeekTo(std::uint64_t position) = 0;  // seekable sources only
  virtual bool Size(std::uint64_t* size) = 0;       // seekable sources only

  // Forward by n bytes: a seek where the source allows it, else reading
  // and dropping what comes.
  bool Skip(std::uint64_t n) {
    if (Seekable()) {
      const std::uint64_t limit = std::numeric_limits<std::int64_t>::max();
      return SeekTo(n > limit - position ? limit : position + n);
    }
    unsigned char scratch[4096];
    while (n > 0) {
      const std::size_t want = n < sizeof scratch ? static_cast<std::size_t>(n) : sizeof scratch;
      const std::size_t got = Read(scratch, want);
      n -= got;
      if (got < want) return error == 0;  // the end: the walk stops at the next read
    }
    return true;
  }

  std::uint64_t position = 0;
  int error = 0;  // errno of the last failed operation
};

namespace {

using Source = WavReader::Source;

class MemorySource : public Source {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Read(unsigned char* out, std::size_t n) override {
    // Every read is clamped to what remains, so no position reads outside.
    if (position >= size_) return 0;
    const std::size_t left = size_ - static_cast<std::size_t>(position);
    if (n > left) n = left;
    if (n > 0) std::memcpy(out, data_ + position, n);
    position += n;
    return n;
  }
  bool Seekable() const override { return true; }
  bool SeekTo(std::uint64_t to) override {
    position = to;
    return true;
  }
  bool Size(std::uint64_t* size) override {
    *size = size_;
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

#if defined(_WIN32)
using Offset = long long;
int SeekFile(std::FILE* f, Offset o, int whence) { return _fseeki64(f, o, whence); }
Offset TellFile(std::FILE* f) { return _ftelli64(f); }
#else
using Offset = off_t;
static_assert(sizeof(Offset) == 8, "build with _FILE_OFFSET_BITS=64");
int SeekFile(std::FILE* f, Offset o, int whence) { return fseeko(f, o, whence); }
Offset TellFile(std::FILE* f) { return ftello(f); }
#endif

class FileSource : public Source {
 public:
  FileSource(std::FILE* file, bool owned) : file_(file), owned_(owned) {
    // A pipe cannot tell where it is; a file starts wherever the caller left it.
    const Offset at = TellFile(file_);
    seekable_ = at >= 0 && SeekFile(file_, at, SEEK_SET) == 0;
    base_ = seekable_ ? at : 0;
  }
  ~FileSource() override {
    if (owned_) std::fclose(file_);
  }
  std::size_t Read(unsigned char* out, std::size_t n) override {
    const std::size_t got = std::fread(out, 1, n, file_);
    position += got;
    if (got < n && std::ferror(file_)) error = errno != 0 ? errno : EIO;
    return got;
  }
  bool Seekable() const override { return seekable_; }
  bool SeekTo(std::uint64_t to) override {
    if (to > static_cast<std::uint64_t>(std::numeric_limits<Offset>::max() - base_)) to = std::numeric_limits<Offset>::max() - base_;
    if (SeekFile(file_, base_ + static_cast<Offset>(to), SEEK_SET) != 0) {
      error = errno;
      return false;
    }
    position = to;
    return true;
  }
  bool Size(std::uint64_t* size) override {
    const Offset here = TellFile(file_);
    if (here < 0 || SeekFile(file_, 0, SEEK_END) != 0) return Failed();
    const Offset end = TellFile(file_);
    if (end < 0 || SeekFile(file_, here, SEEK_SET) != 0) return Failed();
    *size = end > base_ ? static_cast<std::uint64_t>(end - base_) : 0;
    return true;
  }

 private:
  bool Failed() {
    error = errno;
    return false;
  }
  std::FILE* file_;
  bool owned_;
  bool seekable_ = false;
  Offset base_ = 0;
};

#if !defined(_WIN32)
class DescriptorSource : public Source {
 public:
  explicit DescriptorSource(int fd) : fd_(fd) {
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    seekable_ = at >= 0;
    base_ = seekable_ ? at : 0;
  }
  std::size_t Read(unsigned char* out, std::size_t n) override {
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::read(fd_, out + got, n - got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        error = errno;
        break;
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    position += got;
    return got;
  }
  bool Seekable() const override { return seekable_; }
  bool SeekTo(std::uint64_t to) override {
    if (to > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - base_)) to = std::numeric_limits<off_t>::max() - base_;
    if (lseek(fd_, base_ + static_cast<off_t>(to), SEEK_SET) < 0) {
      error = errno;
      return false;
    }
    position = to;
    return true;
  }
  bool Size(std::uint64_t* size) override {
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0 || lseek(fd_, base_ + static_cast<off_t>(position), SEEK_SET) < 0) {
      error = errno;
      return false;
    }
    *size = end > base_ ? static_cast<std::uint64_t>(end - base_) : 0;
    return true;
  }

 private:
  int fd_;
  bool seekable_ = false;
  off_t base_ = 0;
};
#endif

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
  source_ = std::make_unique<MemorySource>(data, size);
  return Walk(why);
}

bool WavReader::Open(const char* path, DecodeFailure* why) {
  Close();
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return Fail(why, DecodeError::kOpen, errno);
  source_ = std::make_unique<FileSource>(file, true);
  return Walk(why);
}

bool WavReader::Open(std::FILE* file, DecodeFailure* why) {
  source_ = std::make_unique<FileSource>(file, false);
  return Walk(why);
}

bool WavReader::OpenDescriptor(int fd, DecodeFailure* why) {
#if defined(_WIN32)
  std::FILE* file = _fdopen(_dup(fd), "rb");
  if (file == nullptr) return Fail(why, DecodeError::kOpen, errno);
  source_ = std::make_unique<FileSource>(file, true);
#else
  source_ = std::make_unique<DescriptorSource>(fd);
#endif
  return Walk(why);
}

bool WavReader::Walk(DecodeFailure* why) {
  Source* s = source_.get();
  format_ = WavFormat{};
  declared_ = 0;
  remaining_ = 0;
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
  if (!s->Seekable()) return true;
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
  if (source_ == nullptr) return 0;
  unsigned char bytes[8192];
  std::size_t done = 0;
  while (done < max && remaining_ >= 2) {
    std::size_t want = std::min<std::size_t>(max - done, sizeof bytes / 2);
    if (want > remaining_ / 2) want = static_cast<std::size_t>(remaining_ / 2);
    const std::size_t got = source_->Read(bytes, 2 * want);
    const std::size_t samples = got / 2;
    for (std::size_t i = 0; i < samples; ++i) {
      out[done + i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    done += samples;
    remaining_ -= 2 * samples;
    if (got < 2 * want) {
      // The input ended or failed; an odd byte left over is dropped with it.
      if (source_->error != 0) {
        readError_ = source_->error;
        Fail(why, DecodeError::kRead, readError_);
      }
      ended_ = true;
      break;
    }
  }
  return done;
}

bool WavReader::truncated() const { return ended_ && remaining_ >= 2; }
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
    count = reader->Read(data.get(), declared, why);
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
  if (count < declared) return Fail(why, DecodeError::kTruncated);
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
