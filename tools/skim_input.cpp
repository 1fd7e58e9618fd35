#include "skim_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#if defined(TOLVANE_WITH_SNDFILE)
#include <sndfile.h>
#endif

namespace tolvane::tool {
namespace {

#if defined(TOLVANE_WITH_SNDFILE)
constexpr std::size_t kPrefix = 1 << 20;  // of a stream kept so a header may be read again
#endif

// Reads until `size` bytes or the end (or a stop); false on an error.
[[maybe_unused]] bool ReadFully(int fd, unsigned char* out, std::size_t size, std::size_t* got, const volatile std::sig_atomic_t* stop) {
  *got = 0;
  while (*got < size) {
    const ssize_t n = ::read(fd, out + *got, size - *got);
    if (n < 0 && errno == EINTR && (stop == nullptr || *stop == 0)) continue;
    if (n < 0 && errno == EINTR) break;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

struct SkimInput::Impl {
  SkimSource source;
  int fd = -1;
  bool ownFd = false;
  bool live = false;
  double rate = 0;
  int channels = 1;
  std::string description;
  std::vector<unsigned char> bytes;  // raw input awaiting a whole frame
  std::vector<float> frames;
#if defined(TOLVANE_WITH_SNDFILE)
  SNDFILE* file = nullptr;
  // A stream seen by libsndfile: the first MiB kept so that its header
  // reader may seek back, forward seeks read ahead.
  std::vector<unsigned char> prefix;
  sf_count_t position = 0;  // libsndfile's
  sf_count_t consumed = 0;  // bytes taken from the descriptor

  static sf_count_t Length(void*) { return static_cast<sf_count_t>(1) << 62; }
  static sf_count_t Tell(void* self) { return static_cast<Impl*>(self)->position; }
  static sf_count_t Write(const void*, sf_count_t, void*) { return 0; }
  static sf_count_t Read(void* out, sf_count_t count, void* self) { return static_cast<Impl*>(self)->StreamRead(out, count); }
  static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
    Impl& m = *static_cast<Impl*>(self);
    const sf_count_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? m.position + offset : -1;
    if (target < 0) return -1;
    if (target <= m.consumed) {
      // Back into what is kept, or to where the stream stands.
      if (target > static_cast<sf_count_t>(m.prefix.size()) && target != m.consumed) return -1;
      m.position = target;
      return target;
    }
    // Ahead: read the bytes between.
    m.position = m.consumed;
    unsigned char skip[4096];
    while (m.position < target) {
      const sf_count_t n = m.StreamRead(skip, std::min<sf_count_t>(target - m.position, static_cast<sf_count_t>(sizeof skip)));
      if (n <= 0) return -1;
    }
    return m.position;
  }

  sf_count_t StreamRead(void* out, sf_count_t count) {
    auto* dest = static_cast<unsigned char*>(out);
    sf_count_t done = 0;
    const auto kept = static_cast<sf_count_t>(prefix.size());
    if (position < kept) {
      done = std::min(count, kept - position);
      std::memcpy(dest, prefix.data() + position, static_cast<std::size_t>(done));
      position += done;
    }
    if (done == count) return done;
    if (position != consumed) return done > 0 ? done : -1;  // those bytes are no longer kept
    std::size_t got = 0;
    if (!ReadFully(fd, dest + done, static_cast<std::size_t>(count - done), &got, source.stop)) return done > 0 ? done : -1;
    if (consumed == kept && prefix.size() < kPrefix) {
      prefix.insert(prefix.end(), dest + done, dest + done + std::min(got, kPrefix - prefix.size()));
    }
    consumed += static_cast<sf_count_t>(got);
    position += static_cast<sf_count_t>(got);
    return done + static_cast<sf_count_t>(got);
  }
#endif

  ~Impl() {
#if defined(TOLVANE_WITH_SNDFILE)
    if (file != nullptr) sf_close(file);
#endif
    if (ownFd && fd >= 0) ::close(fd);
  }

  bool OpenDescriptor(const std::string& path, std::string* error) {
    if (path == "-") {
      fd = 0;
    } else {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        *error = std::strerror(errno);
        return false;
      }
      ownFd = true;
    }
    struct stat st {};
    live = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);
    return true;
  }

  long ReadRaw(float* out, std::size_t count, std::string* error) {
    const std::size_t width = source.rawFormat == RawFormat::kS16 ? 2 : source.rawFormat == RawFormat::kU8 ? 1 : 4;
    const std::size_t frame = width * static_cast<std::size_t>(channels);
    // Whatever a read returns, kept until it completes a frame.
    std::size_t have = bytes.size();
    bytes.resize(have + count * frame);
    ssize_t n = 0;
    do {
      n = ::read(fd, bytes.data() + have, count * frame);
    } while (n < 0 && errno == EINTR && (source.stop == nullptr || *source.stop == 0));
    if (n < 0 && errno == EINTR) n = 0;  // stopped: as at the end
    if (n < 0) {
      *error = std::strerror(errno);
      bytes.resize(have);
      return -1;
    }
    have += static_cast<std::size_t>(n);
    bytes.resize(have);
    const std::size_t whole = have / frame;
    if (n == 0 && whole == 0) return 0;  // the end (a partial frame there is dropped)
    for (std::size_t i = 0; i < whole * static_cast<std::size_t>(channels); ++i) {
      const unsigned char* b = bytes.data() + i * width;
      float v = 0;
      if (source.rawFormat == RawFormat::kS16) {
        v = static_cast<float>(static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | (b[1] << 8)))) / 32768.0f;
      } else if (source.rawFormat == RawFormat::kU8) {
        v = (static_cast<float>(b[0]) - 127.5f) / 128.0f;
      } else {
        const std::uint32_t u = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                                (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
        std::memcpy(&v, &u, sizeof v);
      }
      out[i] = v;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(whole * frame));
    return static_cast<long>(whole);
  }
};

SkimInput::SkimInput() : impl_(std::make_unique<Impl>()) {}
SkimInput::~SkimInput() = default;

bool SkimReadsFiles() {
#if defined(TOLVANE_WITH_SNDFILE)
  return true;
#else
  return false;
#endif
}

bool SkimInput::Open(const std::string& path, const SkimSource& source, std::string* error) {
  Impl& m = *impl_;
  m.source = source;
  if (source.raw) {
    if (!m.OpenDescriptor(path, error)) return false;
    m.rate = source.rawRate;
    m.channels = source.iq ? 2 : 1;
    const char* names[] = {"signed 16-bit", "unsigned 8-bit", "32-bit float"};
    m.description = std::string("raw ") + names[static_cast<int>(source.rawFormat)] + (source.iq ? " I/Q" : " mono");
    return true;
  }
#if defined(TOLVANE_WITH_SNDFILE)
  SF_INFO info{};
  if (!m.OpenDescriptor(path, error)) return false;
  if (m.live) {
    SF_VIRTUAL_IO io{Impl::Length, Impl::Seek, Impl::Read, Impl::Write, Impl::Tell};
    m.file = sf_open_virtual(&io, SFM_READ, &info, &m);
  } else {
    m.file = sf_open_fd(m.fd, SFM_READ, &info, 0);
  }
  if (m.file == nullptr) {
    *error = std::string("libsndfile cannot read it: ") + sf_strerror(nullptr);
    return false;
  }
  if (info.samplerate <= 0 || info.channels <= 0) {
    *error = "no sample rate or channels in its header";
    return false;
  }
  if (source.iq && info.channels != 2) {
    *error = "--iq needs two channels (I and Q), not " + std::to_string(info.channels);
    return false;
  }
  m.rate = info.samplerate;
  m.channels = info.channels;
  SF_FORMAT_INFO format{};
  format.format = info.format & SF_FORMAT_TYPEMASK;
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format);
  m.description = std::string(format.name != nullptr ? format.name : "audio") + ", " + std::to_string(info.channels) +
                  (info.channels == 1 ? " channel" : " channels");
  return true;
#else
  (void)path;
  *error = "this build reads --raw input only (it was built without libsndfile)";
  return false;
#endif
}

double SkimInput::rate() const { return impl_->rate; }
bool SkimInput::live() const { return impl_->live; }
std::string SkimInput::description() const { return impl_->description; }

long SkimInput::Read(float* out, std::size_t frames, std::string* error) {
  Impl& m = *impl_;
  if (m.source.raw) return m.ReadRaw(out, frames, error);
#if defined(TOLVANE_WITH_SNDFILE)
  const auto channels = static_cast<std::size_t>(m.channels);
  const std::size_t width = m.source.iq ? 2 : 1;
  m.frames.resize(frames * channels);
  const sf_count_t got = sf_readf_float(m.file, m.frames.data(), static_cast<sf_count_t>(frames));
  if (got < 0 || (got == 0 && sf_error(m.file) != SF_ERR_NO_ERROR)) {
    *error = std::string("libsndfile failed while reading: ") + sf_strerror(m.file);
    return -1;
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
    if (width == 2) {
      out[2 * i] = m.frames[2 * i];
      out[2 * i + 1] = m.frames[2 * i + 1];
    } else {
      float sum = 0;
      for (std::size_t c = 0; c < channels; ++c) sum += m.frames[i * channels + c];
      out[i] = sum / static_cast<float>(channels);
    }
  }
  return static_cast<long>(got);
#else
  (void)out;
  (void)frames;
  *error = "no input";
  return -1;
#endif
}

}  // namespace tolvane::tool
