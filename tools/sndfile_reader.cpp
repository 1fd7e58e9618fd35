// libsndfile as a FrameReader, through its virtual I/O over a ByteReader:
// files are read where they lie, streams through the bounded look-ahead,
// never spooled.
#include <sndfile.h>

#include <cstring>

#include "frame_reader.h"

namespace tolvane::tool {
namespace {

// libsndfile's virtual I/O over a ByteReader.
ByteReader* Bytes(void* cookie) { return static_cast<ByteReader*>(cookie); }
sf_count_t VirtualLength(void* cookie) { return Bytes(cookie)->Length(); }
sf_count_t VirtualSeek(sf_count_t offset, int whence, void* cookie) {
  ByteReader* in = Bytes(cookie);
  return in->Seek(offset, whence) ? in->Tell() : -1;
}
sf_count_t VirtualRead(void* out, sf_count_t count, void* cookie) {
  return count <= 0 ? 0 : static_cast<sf_count_t>(Bytes(cookie)->Read(out, static_cast<std::size_t>(count)));
}
sf_count_t VirtualWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t VirtualTell(void* cookie) { return Bytes(cookie)->Tell(); }

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    return "format 0x" + std::to_string(format);
  }
  return info.name;
}

// Bytes per sample of the encodings libsndfile reads sample by sample;
// 0 for those it reads in blocks or through a codec.
std::size_t SampleBytes(int subformat) {
  switch (subformat) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW: return 1;
    case SF_FORMAT_PCM_16: return 2;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 0;
  }
}

class Sndfile : public FrameReader {
 public:
  Sndfile(ByteReader* in, const Container& sniffed) : in_(in), name_(KindName(sniffed.kind)) {}
  ~Sndfile() override { Close(); }

  bool Open(std::string* why) {
    in_->SetGranularity(0);  // headers are read whole
    SF_VIRTUAL_IO io{VirtualLength, VirtualSeek, VirtualRead, VirtualWrite, VirtualTell};
    info_ = SF_INFO{};
    file_ = sf_open_virtual(&io, SFM_READ, &info_, in_);
    if (file_ == nullptr) {
      if (in_->stream() && (in_->wentBack() || in_->wentFar())) {
        *why = NeedsSeeking();
      } else {
        *why = std::string("libsndfile cannot read it: ") + sf_strerror(nullptr);
      }
      return false;
    }
    if (info_.channels < 1 || info_.samplerate < 1) {
      *why = "libsndfile reports no channels or no sample rate";
      return false;
    }
    rate = info_.samplerate;
    channels = info_.channels;
    format = FormatName(info_.format & SF_FORMAT_TYPEMASK) + ", " + FormatName(info_.format & SF_FORMAT_SUBMASK);
    via = sf_version_string();
    // A stream's short reads in whole frames, so that no sample is split.
    in_->SetGranularity(SampleBytes(info_.format & SF_FORMAT_SUBMASK) * static_cast<std::size_t>(channels));
    in_->ClearMisses();
    return true;
  }

  std::size_t Read(float* out, std::size_t max) override {
    if (file_ == nullptr) return 0;
    const sf_count_t got = sf_readf_float(file_, out, static_cast<sf_count_t>(max));
    if (in_->stream() && (in_->wentBack() || in_->wentFar())) {
      error = NeedsSeeking();
      return 0;
    }
    if (got > 0) return static_cast<std::size_t>(got);
    if (in_->error() != 0) {
      error = std::string("cannot read: ") + std::strerror(in_->error());
      cut = true;
    } else if (sf_error(file_) != SF_ERR_NO_ERROR) {
      error = std::string("libsndfile failed while reading: ") + sf_strerror(file_);
    }
    return 0;
  }

  bool Rewind() override {
    Close();
    std::string why;
    if (in_->Seek(0, SEEK_SET) && Open(&why)) return true;
    error = why.empty() ? "cannot go back to the start" : why;
    return false;
  }

 private:
  std::string NeedsSeeking() const {
    return std::string(name_ != nullptr ? name_ : "this format") +
           " needs seeking, which a stream cannot do; give it as a file";
  }
  void Close() {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
  }

  ByteReader* in_;
  const char* name_;
  SNDFILE* file_ = nullptr;
  SF_INFO info_{};
};

}  // namespace

std::unique_ptr<FrameReader> OpenSndfile(ByteReader* in, const Container& sniffed, std::string* error) {
  auto reader = std::make_unique<Sndfile>(in, sniffed);
  if (!reader->Open(error)) return nullptr;
  return reader;
}

}  // namespace tolvane::tool
