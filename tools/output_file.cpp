#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "options.h"

namespace tolvane::tool {
namespace {

// The temporary file's name, for the signal handler, which may only use
// what is async-signal-safe: a fixed buffer and unlink.
char gTempPath[4096];
volatile std::sig_atomic_t gTempLive = 0;

extern "C" void RemoveTempAndDie(int signal) {
  if (gTempLive != 0) unlink(gTempPath);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

std::string Reason(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links to the path they end at, which may not exist yet
// (a dangling link is written through, as other programs do).
bool Resolve(std::string path, std::string* resolved, int* error) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *resolved = path;
      return true;
    }
    std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1);
    const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
    if (length < 0) {
      *error = errno;
      return false;
    }
    const std::string link(target.data(), static_cast<std::size_t>(length));
    if (link[0] == '/') {
      path = link;
    } else {
      path = DirectoryOf(path);
      path += '/';
      path += link;
    }
  }
  *error = ELOOP;
  return false;
}

// The descriptor that /dev/stdout, /dev/stderr, /dev/fd/N or
// /proc/self/fd/N names, or -1. Such a name is written through a copy of
// the descriptor, as a shell redirection does: a socket cannot be opened
// again by name.
int DescriptorNamed(const std::string& path) {
  if (path == "/dev/stdout") return STDOUT_FILENO;
  if (path == "/dev/stderr") return STDERR_FILENO;
  for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::size_t n = prefix.size();
    if (path.compare(0, n, prefix) == 0 && path.size() > n && path.size() <= n + 9 &&
        path.find_first_not_of("0123456789", n) == std::string::npos) {
      return static_cast<int>(std::strtol(path.c_str() + n, nullptr, 10));
    }
  }
  return -1;
}

// Blocks the signals whose handler removes the temporary file, while its
// name changes hands.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

}  // namespace

void InstallOutputSignalHandlers() {
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = RemoveTempAndDie;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Open(const std::string& path, std::string* error) {
  if (path == "-") {
    fd_ = STDOUT_FILENO;
    struct stat info {};
    // An appending descriptor writes every pwrite at the end, so the
    // header could not be fixed there.
    const int flags = fcntl(fd_, F_GETFL);
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    seekable_ = fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 && (flags & O_APPEND) == 0 && at >= 0;
    start_ = seekable_ ? static_cast<std::uint64_t>(at) : 0;
    return true;
  }
  // A pipe, socket or device, named directly or through links such as
  // /dev/stdout, is written as a stream: it cannot be replaced, and its
  // link leads to a name like "pipe:[N]" that is no file. A regular file
  // behind such a link is replaced below, as any other.
  struct stat named {};
  const int standard = DescriptorNamed(path);
  const bool found = standard >= 0 ? fstat(standard, &named) == 0 : stat(path.c_str(), &named) == 0;
  if (standard >= 0 && !found) {
    *error = Reason("cannot create the file", errno);
    return false;
  }
  if (found && !S_ISREG(named.st_mode) && !S_ISDIR(named.st_mode)) return OpenStream(standard, path, error);
  int resolveError = 0;
  if (!Resolve(path, &target_, &resolveError)) {
    *error = Reason("cannot create the file", resolveError);
    return false;
  }
  struct stat old {};
  const bool exists = stat(target_.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) {
    *error = Reason("cannot create the file", EISDIR);
    return false;
  }
  // Made since the look above: never renamed over.
  if (exists && !S_ISREG(old.st_mode)) return OpenStream(-1, target_, error);
  const std::size_t slash = target_.rfind('/');
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  temp_ = DirectoryOf(target_) + "/." + base + ".tolvane-XXXXXX";
  if (temp_.size() >= sizeof gTempPath) {
    *error = Reason("cannot create the file", ENAMETOOLONG);
    return false;
  }
  std::vector<char> name(temp_.begin(), temp_.end());
  name.push_back('\0');
  {
    SignalsHeld held;
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) {
      *error = Reason("cannot create the file", errno);
      return false;
    }
    temp_ = name.data();
    std::memcpy(gTempPath, temp_.c_str(), temp_.size() + 1);
    gTempLive = 1;
  }
  ownsFd_ = true;
  temporary_ = true;
  seekable_ = true;
  // The old file's permissions and owner, or what a new file would get.
  mode_t mode = old.st_mode & 07777;
  if (!exists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (exists && fchown(fd_, old.st_uid, old.st_gid) != 0) {
    // Not allowed to give it away: the group alone may still be kept.
    (void)!fchown(fd_, static_cast<uid_t>(-1), old.st_gid);
  }
  if (fchmod(fd_, mode) != 0) {
    *error = Reason("cannot set the permissions", errno);
    Abandon();
    return false;
  }
  return true;
}

bool OutputFile::OpenStream(int copyOf, const std::string& path, std::string* error) {
  fd_ = copyOf >= 0 ? fcntl(copyOf, F_DUPFD_CLOEXEC, 0) : open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) {
    *error = Reason("cannot create the file", errno);
    return false;
  }
  ownsFd_ = true;
  return true;
}

bool OutputFile::Write(const void* data, std::size_t size, std::string* error) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd_, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    // A reader that went away ends the run quietly, as it does decode's.
    if (n < 0 && errno == EPIPE) NoteOutputError(EPIPE);
    if (n <= 0) {
      *error = Reason("write failed", n < 0 ? errno : EIO);
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size, std::string* error) {
  const ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(start_ + offset));
  if (n != static_cast<ssize_t>(size)) {
    *error = Reason("write failed", n < 0 ? errno : EIO);
    return false;
  }
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (!temporary_) {
    // Direct outputs: a device's or FIFO's own close reports late errors.
    if (ownsFd_) {
      const int closed = close(fd_);
      fd_ = -1;
      ownsFd_ = false;
      if (closed != 0) {
        *error = Reason("write failed when closing", errno);
        return false;
      }
    }
    return true;
  }
  if (fsync(fd_) != 0) {
    *error = Reason("write failed when syncing", errno);
    Abandon();
    return false;
  }
  const int closed = close(fd_);
  fd_ = -1;
  ownsFd_ = false;
  if (closed != 0) {
    *error = Reason("write failed when closing", errno);
    Abandon();
    return false;
  }
  {
    SignalsHeld held;
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
      *error = Reason("cannot replace the file", errno);
      unlink(temp_.c_str());
      gTempLive = 0;
      temporary_ = false;
      return false;
    }
    gTempLive = 0;
    temporary_ = false;
  }
  // The rename itself survives a crash only once the directory is synced;
  // file systems that cannot sync a directory say so, and that is no error.
  const int dir = open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    const int synced = fsync(dir);
    const int syncError = errno;
    close(dir);
    if (synced != 0 && syncError != EINVAL && syncError != EROFS) {
      *error = Reason("write failed when syncing the directory", syncError);
      return false;
    }
  }
  return true;
}

void OutputFile::Abandon() {
  if (ownsFd_ && fd_ >= 0) close(fd_);
  fd_ = -1;
  ownsFd_ = false;
  if (temporary_) {
    SignalsHeld held;
    unlink(temp_.c_str());
    gTempLive = 0;
    temporary_ = false;
  }
}

}  // namespace tolvane::tool
