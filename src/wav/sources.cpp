#include <cerrno>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/types.h>
#include <unistd.h>
#endif

#include "wav/sources.h"

namespace tolvane {

bool WavReader::Source::Skip(std::uint64_t n) {
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
    const auto most = static_cast<std::uint64_t>(std::numeric_limits<Offset>::max() - base_);
    if (to > most) to = most;
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
      const std::size_t r = ReadSome(out + got, n - got);
      if (r == 0) break;
      got += r;
    }
    return got;
  }
  std::size_t ReadSome(unsigned char* out, std::size_t n) override {
    for (;;) {
      const ssize_t r = ::read(fd_, out, n);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        error = errno;
        return 0;
      }
      position += static_cast<std::size_t>(r);
      return static_cast<std::size_t>(r);
    }
  }
  bool Seekable() const override { return seekable_; }
  bool SeekTo(std::uint64_t to) override {
    const auto most = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - base_);
    if (to > most) to = most;
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

// A stream the caller reads for us, block by block, never seeking.
class CallbackSource : public Source {
 public:
  CallbackSource(WavReader::StreamRead read, void* context) : read_(read), context_(context) {}
  std::size_t Read(unsigned char* out, std::size_t n) override {
    std::size_t got = 0;
    while (got < n) {
      const std::size_t r = ReadSome(out + got, n - got);
      if (r == 0) break;
      got += r;
    }
    return got;
  }
  std::size_t ReadSome(unsigned char* out, std::size_t n) override {
    int failed = 0;
    const std::size_t r = read_(context_, out, n, &failed);
    if (r == 0 && failed != 0) error = failed;
    position += r;
    return r;
  }
  bool Seekable() const override { return false; }
  bool SeekTo(std::uint64_t) override { return false; }
  bool Size(std::uint64_t*) override { return false; }

 private:
  WavReader::StreamRead read_;
  void* context_;
};

}  // namespace

std::unique_ptr<Source> MemoryBytes(const std::uint8_t* data, std::size_t size) {
  return std::make_unique<MemorySource>(data, size);
}
std::unique_ptr<Source> FileBytes(std::FILE* file, bool owned) { return std::make_unique<FileSource>(file, owned); }
#if !defined(_WIN32)
std::unique_ptr<Source> DescriptorBytes(int fd) { return std::make_unique<DescriptorSource>(fd); }
#endif
std::unique_ptr<Source> StreamBytes(WavReader::StreamRead read, void* context) {
  return std::make_unique<CallbackSource>(read, context);
}

}  // namespace tolvane
