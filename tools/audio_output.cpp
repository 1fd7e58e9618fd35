#include "audio_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#if defined(TOLVANE_WITH_SNDFILE)
#include <sndfile.h>
#endif

namespace tolvane::tool {
namespace {

struct FormatInfo {
  AudioFormat format;
  const char* name;
  const char* extensions[2];
  const char* title;      // for messages
  const int* rates;       // the rates it takes, ended by 0; nullptr: any
};

const int kOpusRates[] = {8000, 12000, 16000, 24000, 48000, 0};
const int kMp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 0};

const FormatInfo kFormats[] = {
    {AudioFormat::kWav, "wav", {"wav", nullptr}, "WAV", nullptr},
    {AudioFormat::kFlac, "flac", {"flac", nullptr}, "FLAC", nullptr},
    {AudioFormat::kVorbis, "ogg", {"ogg", "oga"}, "Ogg Vorbis", nullptr},
    {AudioFormat::kOpus, "opus", {"opus", nullptr}, "Opus", kOpusRates},
    {AudioFormat::kMp3, "mp3", {"mp3", nullptr}, "MP3", kMp3Rates},
};

const FormatInfo& InfoOf(AudioFormat format) {
  for (const FormatInfo& info : kFormats) {
    if (info.format == format) return info;
  }
  return kFormats[0];
}

// sox's length for a WAV header it cannot go back to: readers take the
// data to the end of the stream.
constexpr std::uint32_t kUnknownDataBytes = 0x7FFFF000;

void PutU32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The library's 44-byte layout, at any rate.
void WavHeader(unsigned char* header, int rate, std::uint32_t dataBytes) {
  static const unsigned char kTemplate[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                              16,  0,   0,   0,   1, 0, 1, 0, 0,   0,   0,   0,   0,   0,   0,   0,
                                              2,   0,   16,  0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
  std::memcpy(header, kTemplate, sizeof kTemplate);
  PutU32(header + 4, dataBytes + 36);
  PutU32(header + 24, static_cast<std::uint32_t>(rate));
  PutU32(header + 28, static_cast<std::uint32_t>(rate) * 2);
  PutU32(header + 40, dataBytes);
}

class WavWriter : public AudioWriter {
 public:
  WavWriter(int rate, std::int64_t knownSamples, OutputFile* out) : rate_(rate), known_(knownSamples), out_(out) {}

  bool Begin() {
    std::uint32_t dataBytes = 0;  // patched at the end
    if (known_ >= 0) {
      dataBytes = static_cast<std::uint32_t>(known_ * 2);
    } else if (!out_->seekable()) {
      dataBytes = kUnknownDataBytes;
    }
    unsigned char header[44];
    WavHeader(header, rate_, dataBytes);
    return out_->Write(header, sizeof header, &error_);
  }

  bool Write(const std::int16_t* samples, std::size_t count) override {
    if (samples_ + count > kMaxWavSamples) {
      error_ = "the audio passes the WAV format's 4 GiB limit";
      return false;
    }
    samples_ += count;
    for (std::size_t i = 0; i < count; ++i) {
      const auto value = static_cast<std::uint16_t>(samples[i]);
      bytes_[used_++] = static_cast<unsigned char>(value & 0xFF);
      bytes_[used_++] = static_cast<unsigned char>(value >> 8);
      if (used_ == sizeof bytes_ && !Flush()) return false;
    }
    return true;
  }

  bool Finish() override {
    if (!Flush()) return false;
    if (known_ >= 0 || !out_->seekable()) return true;
    unsigned char sizes[4];
    PutU32(sizes, static_cast<std::uint32_t>(samples_ * 2 + 36));
    if (!out_->WriteAt(4, sizes, 4, &error_)) return false;
    PutU32(sizes, static_cast<std::uint32_t>(samples_ * 2));
    return out_->WriteAt(40, sizes, 4, &error_);
  }

 private:
  bool Flush() {
    const std::size_t n = used_;
    used_ = 0;
    return n == 0 || out_->Write(bytes_, n, &error_);
  }

  int rate_;
  std::int64_t known_;
  OutputFile* out_;
  std::uint64_t samples_ = 0;
  std::size_t used_ = 0;
  unsigned char bytes_[1 << 16] = {};
};

#if defined(TOLVANE_WITH_SNDFILE)

// libsndfile writes through these, so a failed write keeps its errno.
class SndfileWriter : public AudioWriter {
 public:
  explicit SndfileWriter(OutputFile* out) : out_(out) {}
  ~SndfileWriter() override {
    if (file_ != nullptr) sf_close(file_);
  }

  bool Begin(AudioFormat format, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    switch (format) {
      case AudioFormat::kFlac: info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16; break;
      case AudioFormat::kVorbis: info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS; break;
      case AudioFormat::kOpus: info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS; break;
      default: info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III; break;
    }
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* self) -> sf_count_t { return static_cast<SndfileWriter*>(self)->length_; };
    io.seek = [](sf_count_t offset, int whence, void* self) { return static_cast<SndfileWriter*>(self)->Seek(offset, whence); };
    io.read = [](void*, sf_count_t, void*) -> sf_count_t { return 0; };
    io.write = [](const void* data, sf_count_t size, void* self) {
      return static_cast<SndfileWriter*>(self)->Put(data, size);
    };
    io.tell = [](void* self) -> sf_count_t { return static_cast<SndfileWriter*>(self)->position_; };
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
    if (file_ == nullptr) {
      error_ = Failure("cannot start the encoder", sf_strerror(nullptr));
      return false;
    }
    return true;
  }

  bool Write(const std::int16_t* samples, std::size_t count) override {
    const auto n = static_cast<sf_count_t>(count);
    if (sf_write_short(file_, samples, n) == n && writeError_.empty()) return true;
    error_ = Failure("write failed", sf_strerror(file_));
    return false;
  }

  bool Finish() override {
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed == 0 && writeError_.empty()) return true;
    error_ = Failure("write failed", sf_error_number(closed));
    return false;
  }

 private:
  std::string Failure(const char* what, const char* libraryReason) const {
    return writeError_.empty() ? std::string(what) + ": " + libraryReason : writeError_;
  }

  sf_count_t Seek(sf_count_t offset, int whence) {
    const sf_count_t base = whence == SEEK_CUR ? position_ : whence == SEEK_END ? length_ : 0;
    if (!out_->seekable() && base + offset != position_) return -1;
    position_ = base + offset;
    return position_;
  }

  sf_count_t Put(const void* data, sf_count_t size) {
    if (!writeError_.empty()) return 0;
    const auto n = static_cast<std::size_t>(size);
    const bool ok = position_ == length_ ? out_->Write(data, n, &writeError_)
                                         : out_->WriteAt(static_cast<std::uint64_t>(position_), data, n, &writeError_);
    if (!ok) return 0;
    position_ += size;
    length_ = std::max(length_, position_);
    return size;
  }

  OutputFile* out_;
  SNDFILE* file_ = nullptr;
  sf_count_t position_ = 0;
  sf_count_t length_ = 0;
  std::string writeError_;
};

// Whether the linked libsndfile lists a container and an encoding.
bool SndfileHas(int major, int subtype) {
  int count = 0;
  bool hasMajor = false;
  bool hasSubtype = false;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
    hasMajor = hasMajor || info.format == major;
  }
  sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &info, sizeof info);
    hasSubtype = hasSubtype || info.format == subtype;
  }
  SF_INFO probe{};
  probe.samplerate = 48000;
  probe.channels = 1;
  probe.format = major | subtype;
  return hasMajor && hasSubtype && sf_format_check(&probe) != 0;
}

#endif

}  // namespace

bool ParseFormat(const std::string& name, AudioFormat* format) {
  for (const FormatInfo& info : kFormats) {
    if (name == info.name) {
      *format = info.format;
      return true;
    }
  }
  return false;
}

const char* FormatName(AudioFormat format) { return InfoOf(format).name; }

bool FormatOfPath(const std::string& path, AudioFormat* format) {
  const std::size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (path == "-" || dot == std::string::npos || dot == 0) {
    *format = AudioFormat::kWav;
    return true;
  }
  std::string extension = base.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const FormatInfo& info : kFormats) {
    for (const char* known : info.extensions) {
      if (known != nullptr && extension == known) {
        *format = info.format;
        return true;
      }
    }
  }
  return false;
}

std::string CheckFormat(AudioFormat format, int rate) {
  const FormatInfo& info = InfoOf(format);
  if (format == AudioFormat::kWav) return "";
#if defined(TOLVANE_WITH_SNDFILE)
  const int codes[][2] = {{SF_FORMAT_FLAC, SF_FORMAT_PCM_16},
                          {SF_FORMAT_OGG, SF_FORMAT_VORBIS},
                          {SF_FORMAT_OGG, SF_FORMAT_OPUS},
                          {SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III}};
  const auto* code = codes[static_cast<int>(format) - 1];
  if (!SndfileHas(code[0], code[1])) {
    return std::string("the installed libsndfile (") + sf_version_string() + ") cannot write " + info.title;
  }
#else
  return std::string("this tolvane was built without libsndfile and writes WAV only, not ") + info.title;
#endif
  if (info.rates == nullptr) return "";
  std::string list;
  for (const int* r = info.rates; *r != 0; ++r) {
    if (*r == rate) return "";
    list += (list.empty() ? "" : r[1] == 0 ? " and " : ", ") + std::to_string(*r);
  }
  return std::string(info.title) + " takes a rate of " + list + " Hz, not " + std::to_string(rate);
}

std::unique_ptr<AudioWriter> AudioWriter::Create(AudioFormat format, int rate, std::int64_t knownSamples,
                                                 OutputFile* out, std::string* error) {
  if (format == AudioFormat::kWav) {
    auto writer = std::make_unique<WavWriter>(rate, knownSamples, out);
    if (!writer->Begin()) {
      *error = writer->error();
      return nullptr;
    }
    return writer;
  }
#if defined(TOLVANE_WITH_SNDFILE)
  auto writer = std::make_unique<SndfileWriter>(out);
  if (!writer->Begin(format, rate)) {
    *error = writer->error();
    return nullptr;
  }
  return writer;
#else
  (void)rate;
  (void)knownSamples;
  (void)out;
  *error = CheckFormat(format, rate);
  return nullptr;
#endif
}

}  // namespace tolvane::tool
