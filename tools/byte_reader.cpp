#include "byte_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interrupt.h"

namespace tolvane::tool {
namespace {

class DescriptorChannel : public ByteChannel {
 public:
  DescriptorChannel(int fd, bool owned, bool stream, std::int64_t size)
      : fd_(fd), owned_(owned), stream_(stream), size_(size) {}
  ~DescriptorChannel() override {
    if (owned_) close(fd_);
  }
  long Read(void* out, std::size_t n, std::int64_t offset) override {
    for (;;) {
      if (Interrupted()) return 0;  // Ctrl-C: the input ends here
      const ssize_t r = stream_ ? ::read(fd_, out, n) : ::pread(fd_, out, n, static_cast<off_t>(offset));
      if (r < 0 && errno == EINTR) continue;
      return static_cast<long>(r);
    }
  }
  bool stream() const override { return stream_; }
  std::int64_t size() const override { return size_; }

 private:
  int fd_;
  bool owned_;
  bool stream_;
  std::int64_t size_;
};

class Memory : public ByteChannel {
 public:
  Memory(const std::uint8_t* data, std::size_t size, bool stream, std::size_t most)
      : data_(data), size_(size), stream_(stream), most_(std::max<std::size_t>(most, 1)) {}
  long Read(void* out, std::size_t n, std::int64_t offset) override {
    const std::size_t at = stream_ ? next_ : static_cast<std::size_t>(std::min<std::int64_t>(offset, static_cast<std::int64_t>(size_)));
    std::size_t k = std::min(n, size_ - at);
    if (stream_) k = std::min(k, most_);
    if (k > 0) std::memcpy(out, data_ + at, k);
    if (stream_) next_ += k;
    return static_cast<long>(k);
  }
  bool stream() const override { return stream_; }
  std::int64_t size() const override { return static_cast<std::int64_t>(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  bool stream_;
  std::size_t most_;
  std::size_t next_ = 0;
};

}  // namespace

std::unique_ptr<ByteChannel> OpenChannel(const std::string& path, std::string* error) {
  int fd = 0;
  bool owned = false;
  if (path != "-") {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = std::string("cannot open: ") + std::strerror(errno);
      return nullptr;
    }
    owned = true;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    if (owned) close(fd);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = std::string("cannot read: ") + std::strerror(EISDIR);
    if (owned) close(fd);
    return nullptr;
  }
  // A file redirected to standard input is still a file.
  const bool file = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  std::int64_t size = st.st_size;
  if (S_ISBLK(st.st_mode)) {
    const off_t end = lseek(fd, 0, SEEK_END);
    size = end < 0 ? 0 : end;
  }
  return std::make_unique<DescriptorChannel>(fd, owned, !file, size);
}

std::unique_ptr<ByteChannel> MemoryChannel(const std::uint8_t* data, std::size_t size, bool stream,
                                           std::size_t most) {
  return std::make_unique<Memory>(data, size, stream, most);
}

ByteReader::ByteReader(std::unique_ptr<ByteChannel> channel)
    : channel_(std::move(channel)), stream_(channel_->stream()) {}

std::int64_t ByteReader::Length() const {
  if (!stream_) return channel_->size();
  // A stream that ended inside the window has a known length.
  return ended_ ? start_ + static_cast<std::int64_t>(held_) : kStreamLength;
}

bool ByteReader::Seek(std::int64_t offset, int whence) {
  std::int64_t base = 0;
  if (whence == SEEK_CUR) base = position_;
  if (whence == SEEK_END) {
    // Nobody knows where a stream ends: saying so makes decoders that would
    // look at the end first (mpg123) read it as a stream.
    if (stream_ && !ended_) return false;
    base = Length();
  }
  if ((offset < 0 && offset < -base) || (offset > 0 && base > INT64_MAX - offset)) return false;
  const std::int64_t target = base + offset;
  if (stream_ && target < start_) {
    wentBack_ = true;
    return false;
  }
  position_ = target;
  return true;
}

std::size_t ByteReader::Read(void* out, std::size_t n) {
  auto* bytes = static_cast<unsigned char*>(out);
  if (stream_) return ReadStream(bytes, n);
  std::size_t got = 0;
  while (got < n) {
    const long r = channel_->Read(bytes + got, n - got, position_);
    if (r < 0) error_ = errno != 0 ? errno : EIO;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
    position_ += r;
  }
  return got;
}

bool ByteReader::Fill() {
  if (ended_) return false;
  if (!window_) window_.reset(new unsigned char[kWindow]);
  if (held_ == kWindow) {
    // Full: keep the newer half for readers that look back a little.
    std::memmove(window_.get(), window_.get() + kWindow / 2, kWindow / 2);
    held_ = kWindow / 2;
    start_ += static_cast<std::int64_t>(kWindow / 2);
  }
  const long r = channel_->Read(window_.get() + held_, kWindow - held_, 0);
  if (r < 0) error_ = errno != 0 ? errno : EIO;
  if (r <= 0) {
    ended_ = true;
    return false;
  }
  held_ += static_cast<std::size_t>(r);
  return true;
}

std::size_t ByteReader::ReadStream(unsigned char* out, std::size_t n) {
  if (position_ < start_) {
    wentBack_ = true;
    return 0;
  }
  std::size_t served = 0;
  while (served < n) {
    const std::int64_t end = start_ + static_cast<std::int64_t>(held_);
    if (position_ < end) {
      const std::size_t k = std::min(n - served, static_cast<std::size_t>(end - position_));
      std::memcpy(out + served, window_.get() + (position_ - start_), k);
      served += k;
      position_ += static_cast<std::int64_t>(k);
      continue;
    }
    // What has arrived is used up: return it rather than wait, if it is
    // whole samples.
    if (granularity_ > 0 && served >= std::min(n, granularity_) && served % granularity_ == 0) break;
    if (position_ > end && position_ - start_ >= static_cast<std::int64_t>(kWindow)) {
      wentFar_ = true;  // would have to be read and held: read as the end
      break;
    }
    if (!Fill()) break;
  }
  return served;
}

bool ByteReader::Patch(std::int64_t offset, const void* bytes, std::size_t n) {
  if (!stream_ || offset < start_ || offset + static_cast<std::int64_t>(n) > start_ + static_cast<std::int64_t>(held_)) {
    return false;
  }
  std::memcpy(window_.get() + (offset - start_), bytes, n);
  return true;
}

}  // namespace tolvane::tool
