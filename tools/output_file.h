// Where `tolvane encode` writes, without ever losing the file it replaces.
#ifndef TOLVANE_TOOLS_OUTPUT_FILE_H
#define TOLVANE_TOOLS_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane::tool {

// An output path, resolved through any symbolic links. Where that is a
// regular file or nothing yet, the bytes go to a temporary file in the same
// directory, which Commit syncs, gives the old file's permissions (and
// owner where allowed) and renames over it; until then the old file is
// untouched, and on any failure, on SIGINT, SIGTERM or SIGHUP the
// temporary file is removed. Anything else (a FIFO, a socket, a device,
// standard output as "-" or as /dev/stdout when that is no regular file)
// is written directly, as a stream. Hard links to a replaced file keep
// the old contents. One at a time per process.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` ("-": standard output). On failure `error` says why, in
  // the form "cannot create the file: REASON".
  bool Open(const std::string& path, std::string* error);

  // Whether the bytes go to a regular file that can be written at any
  // offset (the temporary file, or standard output redirected to a file).
  bool seekable() const { return seekable_; }

  // Writes all the bytes at the end, or at `offset` from where the output
  // began. False with `error` set ("write failed: REASON").
  bool Write(const void* data, std::size_t size, std::string* error);
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t size, std::string* error);

  // Makes the new file the one at the path. False with `error` set, and
  // then the old file is still there.
  bool Commit(std::string* error);
  // Removes the temporary file; the old one stays as it was.
  void Abandon();

 private:
  // Writes straight to a pipe, socket or device: a copy of descriptor
  // `copyOf`, or else `path` opened.
  bool OpenStream(int copyOf, const std::string& path, std::string* error);

  int fd_ = -1;
  bool ownsFd_ = false;
  bool seekable_ = false;
  bool temporary_ = false;
  std::uint64_t start_ = 0;  // where the output began, for WriteAt
  std::string target_;       // the resolved path a temporary file replaces
  std::string temp_;
};

// Ignores SIGXFSZ (a write past the file-size limit then fails with EFBIG
// and the temporary file is removed) and removes the temporary file on
// SIGINT, SIGTERM and SIGHUP before dying of the signal.
void InstallOutputSignalHandlers();

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_OUTPUT_FILE_H
