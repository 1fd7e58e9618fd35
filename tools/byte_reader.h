// The bytes of one input for the tool's readers (libsndfile's virtual I/O,
// the library's WAV reader, the container check): a file read where it
// lies, or a stream (standard input, a pipe, a socket, a device) seen
// through a bounded look-ahead window. Internal to the tool's input path.
#ifndef TOLVANE_TOOLS_BYTE_READER_H
#define TOLVANE_TOOLS_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tolvane::tool {

// Where the bytes come from: a descriptor, or memory for tests and the
// fuzzer.
class ByteChannel {
 public:
  virtual ~ByteChannel() = default;
  // Streams: the next bytes, one read's worth (whatever has arrived).
  // Files: the bytes at `offset`. -1 on an error, with errno set.
  virtual long Read(void* out, std::size_t n, std::int64_t offset) = 0;
  virtual bool stream() const = 0;
  virtual std::int64_t size() const = 0;  // files only
};

// Opens `path` ("-": standard input); nullptr with `error` set (the system's
// reason) when it cannot be opened. Regular files and block devices are
// files; everything else is a stream.
std::unique_ptr<ByteChannel> OpenChannel(const std::string& path, std::string* error);
// Memory as a file, or as a stream giving at most `most` bytes a read.
std::unique_ptr<ByteChannel> MemoryChannel(const std::uint8_t* data, std::size_t size, bool stream,
                                           std::size_t most);

class ByteReader {
 public:
  // A stream is never held beyond this much.
  static constexpr std::size_t kWindow = 1 << 20;
  // What a stream reports as its length, which nobody knows: larger than
  // any size a header can declare in 32 bits, so none looks truncated.
  static constexpr std::int64_t kStreamLength = std::int64_t{1} << 40;

  explicit ByteReader(std::unique_ptr<ByteChannel> channel);

  // Up to n bytes from the position. A file gives all n but at its end; a
  // stream gives what has arrived, at least min(n, granularity) bytes and
  // a multiple of the granularity unless it ended (see SetGranularity).
  std::size_t Read(void* out, std::size_t n);
  // Like fseek; false (nothing moved) before the start, or on a stream
  // before the window. A stream is not read on a seek: a later read far
  // beyond the window gives nothing instead (see wentFar).
  bool Seek(std::int64_t offset, int whence);
  std::int64_t Tell() const { return position_; }
  std::int64_t Length() const;
  bool stream() const { return stream_; }

  // Short reads of a stream come in multiples of this many bytes (0: a
  // stream read fills what was asked, as a file's does), so that a reader
  // decoding fixed-size samples never sees half of one.
  void SetGranularity(std::size_t bytes) { granularity_ = bytes; }
  // Overwrites bytes of a stream still in the window.
  bool Patch(std::int64_t offset, const void* bytes, std::size_t n);

  // Whether a reader asked a stream for bytes behind the window, or so far
  // ahead that they would have had to be held; cleared by ClearMisses.
  bool wentBack() const { return wentBack_; }
  bool wentFar() const { return wentFar_; }
  void ClearMisses() { wentBack_ = wentFar_ = false; }
  // The errno of a failed read (0: none), and whether a stream ended.
  int error() const { return error_; }

 private:
  std::size_t ReadStream(unsigned char* out, std::size_t n);
  bool Fill();

  std::unique_ptr<ByteChannel> channel_;
  bool stream_;
  std::int64_t position_ = 0;
  std::size_t granularity_ = 0;
  // The window: stream bytes [start_, start_ + held_), allocated at the
  // first read and never initialised beyond what was read.
  std::unique_ptr<unsigned char[]> window_;
  std::size_t held_ = 0;
  std::int64_t start_ = 0;
  bool ended_ = false;
  bool wentBack_ = false;
  bool wentFar_ = false;
  int error_ = 0;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_BYTE_READER_H
