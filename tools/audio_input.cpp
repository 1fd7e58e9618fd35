#include "audio_input.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "wav/wav.h"

#if defined(TOLVANE_WITH_SNDFILE)
#include <sndfile.h>
#include <soxr.h>
#endif

namespace tolvane::tool {
namespace {

// A buffer seen with a file's rules: any forward seek succeeds and reads
// past the end give nothing.
struct Memory {
  const std::string* bytes;
  off64_t position;
};

ssize_t MemoryRead(void* cookie, char* out, std::size_t size) {
  auto* m = static_cast<Memory*>(cookie);
  const auto length = static_cast<off64_t>(m->bytes->size());
  if (m->position >= length) return 0;
  const std::size_t n = std::min<std::size_t>(size, static_cast<std::size_t>(length - m->position));
  std::memcpy(out, m->bytes->data() + m->position, n);
  m->position += static_cast<off64_t>(n);
  return static_cast<ssize_t>(n);
}

int MemorySeek(void* cookie, off64_t* offset, int whence) {
  auto* m = static_cast<Memory*>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) base = m->position;
  if (whence == SEEK_END) base = static_cast<off64_t>(m->bytes->size());
  // Chunk sizes come from the file: a 64-bit one must neither wrap the
  // position round nor move it before the start.
  if (*offset < -base || (*offset > 0 && base > std::numeric_limits<off64_t>::max() - *offset)) {
    errno = EINVAL;
    return -1;
  }
  m->position = base + *offset;
  *offset = m->position;
  return 0;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

// A stream must be read to its end before anything can seek in it.
bool IsStream(const std::string& path) {
  if (path == "-") return true;
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}


#if defined(TOLVANE_WITH_SNDFILE)

sf_count_t VirtualLength(void* cookie) {
  return static_cast<sf_count_t>(static_cast<Memory*>(cookie)->bytes->size());
}
sf_count_t VirtualSeek(sf_count_t offset, int whence, void* cookie) {
  off64_t o = offset;
  return MemorySeek(cookie, &o, whence) == 0 ? o : -1;
}
sf_count_t VirtualRead(void* out, sf_count_t count, void* cookie) {
  return MemoryRead(cookie, static_cast<char*>(out), static_cast<std::size_t>(count));
}
sf_count_t VirtualWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t VirtualTell(void* cookie) { return static_cast<Memory*>(cookie)->position; }

std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    return "format 0x" + std::to_string(format);
  }
  return info.name;
}

void Append(const float* mono, std::size_t n, std::vector<std::int16_t>* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const double v = std::nearbyint(static_cast<double>(mono[i]) * 32768.0);
    out->push_back(static_cast<std::int16_t>(v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v)));
  }
}

bool ReadWithSndfile(const std::string& path, Memory* memory, Recording* out, std::string* error) {
  SF_INFO info{};
  SF_VIRTUAL_IO io{VirtualLength, VirtualSeek, VirtualRead, VirtualWrite, VirtualTell};
  SNDFILE* file = memory != nullptr ? sf_open_virtual(&io, SFM_READ, &info, memory)
                                    : sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    *error = std::string("libsndfile cannot read it: ") + sf_strerror(nullptr);
    return false;
  }
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
  if (info.channels < 1 || info.samplerate < 1) {
    *error = "libsndfile reports no channels or no sample rate";
    return false;
  }
  const auto channels = static_cast<std::size_t>(info.channels);
  const double rate = info.samplerate;
  soxr_t resampler = nullptr;
  if (info.samplerate != 8000) {
    const soxr_io_spec_t formats = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t failure = nullptr;
    resampler = soxr_create(rate, 8000.0, 1, &failure, &formats, &quality, nullptr);
    if (resampler == nullptr) {
      *error = std::string("libsoxr cannot resample: ") + failure;
      return false;
    }
  }
  std::unique_ptr<soxr, void (*)(soxr_t)> resamplerCloser(resampler, soxr_delete);

  constexpr std::size_t kBlock = 4096;
  std::vector<float> frames(kBlock * channels);
  std::vector<float> mono(kBlock);
  std::vector<float> resampled(kBlock + 64);
  auto resample = [&](const float* in, std::size_t n) {
    // Called with no input at the end, to drain what the filter still holds.
    do {
      std::size_t used = 0;
      std::size_t done = 0;
      if (const soxr_error_t e =
              soxr_process(resampler, in, n, in != nullptr ? &used : nullptr, resampled.data(),
                           resampled.size(), &done)) {
        *error = std::string("libsoxr failed: ") + e;
        return false;
      }
      Append(resampled.data(), done, &out->converted);
      if (in == nullptr ? done == 0 : used == 0 && done == 0) break;
      if (in != nullptr) {
        in += used;
        n -= used;
      }
    } while (in == nullptr || n > 0);
    return true;
  };
  sf_count_t total = 0;
  for (;;) {
    const sf_count_t got = sf_readf_float(file, frames.data(), static_cast<sf_count_t>(kBlock));
    if (got <= 0) break;
    const auto n = static_cast<std::size_t>(got);
    total += got;
    for (std::size_t f = 0; f < n; ++f) {
      double sum = 0;
      for (std::size_t c = 0; c < channels; ++c) sum += frames[f * channels + c];
      mono[f] = static_cast<float>(sum / static_cast<double>(channels));
    }
    if (resampler == nullptr) {
      Append(mono.data(), n, &out->converted);
    } else if (!resample(mono.data(), n)) {
      return false;
    }
  }
  if (resampler != nullptr && !resample(nullptr, 0)) return false;
  if (sf_error(file) != SF_ERR_NO_ERROR) {
    *error = std::string("libsndfile failed while reading: ") + sf_strerror(file);
    return false;
  }

  out->held = FormatName(info.format & SF_FORMAT_TYPEMASK) + ", " +
              FormatName(info.format & SF_FORMAT_SUBMASK) + ", " + std::to_string(info.samplerate) +
              " Hz, " + std::to_string(info.channels) + (info.channels == 1 ? " channel, " : " channels, ") +
              Seconds(static_cast<double>(total) / rate);
  out->via = std::string(sf_version_string()) +
             (channels > 1 ? ", channels mixed to mono" : "") +
             (resampler != nullptr ? ", resampled to 8000 Hz by libsoxr (high quality)" : "") +
             ", rounded to 16 bits";
  return true;
}

#endif  // TOLVANE_WITH_SNDFILE

}  // namespace

bool ReadAll(std::FILE* in, std::string* out) {
  char buffer[1 << 16];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) out->append(buffer, n);
  return std::ferror(in) == 0;
}

bool ReadsOtherFormats() {
#if defined(TOLVANE_WITH_SNDFILE)
  return true;
#else
  return false;
#endif
}

bool ReadRecording(const std::string& path, Recording* out, std::string* error) {
  const bool stream = IsStream(path);
  std::string bytes;
  Memory memory{&bytes, 0};
  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  DecodeFailure why;
  bool ok = false;
  if (stream) {
    std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
      *error = std::string("cannot open: ") + std::strerror(errno);
      return false;
    }
    const bool read = ReadAll(in, &bytes);
    const int readErrno = errno;
    if (in != stdin) std::fclose(in);
    if (!read) {
      *error = std::string("cannot read: ") + std::strerror(readErrno);
      return false;
    }
    ok = LoadWavSamples(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &samples,
                        &rate, &count, &why);
  } else {
    ok = LoadWavSamples(path.c_str(), &samples, &rate, &count, &why);
  }
  if (ok) {
    out->loaded = std::move(samples);
    out->loadedCount = count;
    out->held = "WAV, 16-bit PCM, 8000 Hz, 1 channel, " + Seconds(static_cast<double>(count) / 8000);
    out->via = "Tolvane's WAV reader";
    return true;
  }

  // What is not 8000 Hz 16-bit mono PCM WAV goes to libsndfile. So does a
  // stream whose header claims more data than it held, as programs that
  // write WAV to a pipe do; a file keeps the reader's verdict, so that the
  // tool and Wave2Morse agree on it.
  const DecodeError e = why.error;
  const bool notOurs = e == DecodeError::kNotRiff || e == DecodeError::kNotWave ||
                       e == DecodeError::kUnsupported;
  const bool oddWav = e == DecodeError::kNoFormat || e == DecodeError::kNoData ||
                      e == DecodeError::kFormatTooShort || e == DecodeError::kFormatCut ||
                      (stream && e == DecodeError::kTruncated);
#if defined(TOLVANE_WITH_SNDFILE)
  if (notOurs || oddWav) {
    if (ReadWithSndfile(path, stream ? &memory : nullptr, out, error)) return true;
    if (oddWav) *error = DescribeFailure(why);
    return false;
  }
#else
  (void)notOurs;
  (void)oddWav;
#endif
  *error = DescribeFailure(why);
  return false;
}

}  // namespace tolvane::tool
