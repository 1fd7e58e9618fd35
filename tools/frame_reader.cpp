// The library's WAV reader and the headerless reader as FrameReaders.
#include "frame_reader.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace tolvane::tool {
namespace {

std::size_t FromBytes(void* context, unsigned char* out, std::size_t n, int* error) {
  auto* in = static_cast<ByteReader*>(context);
  const std::size_t got = in->Read(out, n);
  *error = got == 0 ? in->error() : 0;
  return got;
}

class LibraryWav : public FrameReader {
 public:
  bool Open(const std::string& path, const std::uint8_t* memory, std::size_t size, ByteReader* in,
            DecodeFailure* why) {
    bool ok = false;
    in_ = in;
    if (memory != nullptr && !in->stream()) {
      ok = wav_.Open(memory, size, why);
    } else if (in->stream() || path.empty()) {
      // Whatever a read returns, in whole samples; a file with no name is
      // rewound by walking its header again.
      in->SetGranularity(2);
      ok = wav_.Open(&FromBytes, in, why);
      rewalk_ = !in->stream();
    } else if (path == "-") {
      ok = wav_.OpenDescriptor(0, why);  // a file on standard input
    } else {
      ok = wav_.Open(path.c_str(), why);  // the entry Wave2Morse takes
    }
    rate = kSampleRate;
    channels = 1;
    format = "WAV, 16-bit PCM";
    via = "Tolvane's WAV reader";
    stream_ = in->stream();
    return ok;
  }
  std::size_t Read(float* out, std::size_t max) override {
    std::int16_t block[4096];
    const std::size_t n = Read16(block, max < 4096 ? max : 4096);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(block[i]) / 32768.0f;
    return n;
  }
  bool reads16() const override { return true; }
  std::size_t Read16(std::int16_t* out, std::size_t max) override {
    DecodeFailure why;
    const std::size_t n = wav_.Read(out, max, &why);
    read_ += n;
    if (n == 0 && max > 0) {
      if (why.error != DecodeError::kNone) {
        error = DescribeFailure(why);
        cut = true;
      } else if (!stream_ && read_ < wav_.declaredBytes() / 2) {
        // Measured when opened: the file shrank while it was read.
        why.error = DecodeError::kTruncated;
        error = DescribeFailure(why);
      }
    }
    return n;
  }
  bool Rewind() override {
    DecodeFailure why;
    read_ = 0;
    if (rewalk_ ? in_->Seek(0, SEEK_SET) && wav_.Open(&FromBytes, in_, &why) : wav_.Rewind(&why)) return true;
    error = DescribeFailure(why);
    return false;
  }

 private:
  WavReader wav_;
  ByteReader* in_ = nullptr;
  bool rewalk_ = false;
  bool stream_ = false;
  std::uint64_t read_ = 0;
};

class Raw : public FrameReader {
 public:
  Raw(ByteReader* in, int rate_, RawFormat format_, int channels_) : in_(in), raw_(format_) {
    rate = rate_;
    channels = channels_;
    width_ = raw_ == RawFormat::kU8 ? 1 : raw_ == RawFormat::kS16 ? 2 : 4;
    static const char* const names[] = {"signed 16-bit", "unsigned 8-bit", "32-bit float"};
    format = std::string("headerless, ") + names[static_cast<int>(raw_)] + " little-endian";
    via = "Tolvane's headerless reader";
    in_->SetGranularity(width_ * static_cast<std::size_t>(channels));
  }
  std::size_t Read(float* out, std::size_t max) override {
    const std::size_t frame = width_ * static_cast<std::size_t>(channels);
    bytes_.resize(max * frame);
    const std::size_t got = in_->Read(bytes_.data(), bytes_.size()) / frame;
    const std::size_t samples = got * static_cast<std::size_t>(channels);
    const unsigned char* b = bytes_.data();
    for (std::size_t i = 0; i < samples; ++i, b += width_) {
      if (raw_ == RawFormat::kU8) {
        out[i] = (static_cast<float>(b[0]) - 128.0f) / 128.0f;
      } else if (raw_ == RawFormat::kS16) {
        out[i] = static_cast<float>(static_cast<std::int16_t>(b[0] | b[1] << 8)) / 32768.0f;
      } else {
        const std::uint32_t bits = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                                   static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
        std::memcpy(&out[i], &bits, 4);
      }
    }
    if (got == 0 && in_->error() != 0) {
      error = std::string("cannot read: ") + std::strerror(in_->error());
      cut = true;
    }
    return got;
  }
  bool Rewind() override {
    if (in_->Seek(0, SEEK_SET)) return true;
    error = "cannot go back to the start";
    return false;
  }

 private:
  ByteReader* in_;
  RawFormat raw_;
  std::size_t width_;
  std::vector<unsigned char> bytes_;
};

}  // namespace

std::unique_ptr<FrameReader> OpenLibraryWav(const std::string& path, const std::uint8_t* memory, std::size_t size,
                                            ByteReader* in, DecodeFailure* why) {
  auto reader = std::make_unique<LibraryWav>();
  if (!reader->Open(path, memory, size, in, why)) return nullptr;
  return reader;
}

std::unique_ptr<FrameReader> OpenRaw(ByteReader* in, int rate, RawFormat format, int channels) {
  return std::make_unique<Raw>(in, rate, format, channels);
}

}  // namespace tolvane::tool
