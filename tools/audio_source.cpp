#include "audio_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "byte_reader.h"
#include "container.h"
#include "frame_reader.h"

#if defined(TOLVANE_WITH_SNDFILE)
#include <soxr.h>
#endif

namespace tolvane::tool {
namespace {

constexpr std::size_t kFrames = 4096;  // frames per read
// Beyond a million times full scale, samples are clipped: no sum in the
// mixing or the resampler's filter can then overflow a float.
constexpr float kClip = 1e6f;

float Clean(float x) { return std::isfinite(x) ? std::clamp(x, -kClip, kClip) : 0.0f; }

std::string Hz(double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f Hz", rate);
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

// The failures of the library's reader that other readers may still read
// past, as the tool did before: its reason is kept if they cannot.
// PCM that the headerless reader reads as it stands: 8-bit unsigned,
// 16-bit signed or 32-bit float, at a rate and channel count it can take.
// (Only a build with libsndfile asks.)
[[maybe_unused]] bool PlainPcm(const Container& c, RawFormat* format) {
  if (c.channels < 1 || c.channels > 64 || c.sampleRate < kMinRate || c.sampleRate > kMaxRate) return false;
  if (c.formatTag == 1 && c.bitsPerSample == 8) *format = RawFormat::kU8;
  else if (c.formatTag == 1 && c.bitsPerSample == 16) *format = RawFormat::kS16;
  else if (c.formatTag == 3 && c.bitsPerSample == 32) *format = RawFormat::kF32;
  else return false;
  return true;
}

bool OddWav(DecodeError e) {
  return e == DecodeError::kNoFormat || e == DecodeError::kNoData || e == DecodeError::kFormatTooShort ||
         e == DecodeError::kFormatCut;
}

}  // namespace

struct AudioSource::Resampler {
#if defined(TOLVANE_WITH_SNDFILE)
  ~Resampler() { soxr_delete(soxr); }
  soxr_t soxr = nullptr;
#endif
  std::vector<float> out;
};

AudioSource::AudioSource() = default;
AudioSource::~AudioSource() = default;

bool ReadsOtherFormats() {
#if defined(TOLVANE_WITH_SNDFILE)
  return true;
#else
  return false;
#endif
}

bool AudioSource::Fail(const std::string& why) {
  if (error_.empty()) error_ = why;
  return false;
}

bool AudioSource::stream() const { return bytes_ != nullptr && bytes_->stream(); }
bool AudioSource::libraryWav() const { return reader_ != nullptr && reader_->reads16(); }

bool AudioSource::Open(const std::string& path, const SourceOptions& options) {
  std::string why;
  std::unique_ptr<ByteChannel> channel = tool::OpenChannel(path, &why);
  if (channel == nullptr) return Fail(why);
  bytes_ = std::make_unique<ByteReader>(std::move(channel));
  return Start(path, options);
}

bool AudioSource::OpenChannel(std::unique_ptr<ByteChannel> channel, const SourceOptions& options) {
  bytes_ = std::make_unique<ByteReader>(std::move(channel));
  return Start("", options);
}

bool AudioSource::OpenMemory(const std::uint8_t* data, std::size_t size, bool stream, std::size_t most,
                             const SourceOptions& options) {
  bytes_ = std::make_unique<ByteReader>(MemoryChannel(data, size, stream, most));
  memory_ = data;
  memorySize_ = size;
  return Start("", options);
}

bool AudioSource::Start(const std::string& path, const SourceOptions& options) {
  options_ = options;
  path_ = path;
  [[maybe_unused]] const bool stream = bytes_->stream();
  if (options.rawRate > 0) {
    if (options.rawRate < kMinRate || options.rawRate > kMaxRate) return Fail("--raw takes a rate from 1000 to 100000000 Hz");
    reader_ = OpenRaw(bytes_.get(), options.rawRate, options.rawFormat, options.iq ? 2 : 1);
  } else {
    container_ = std::make_unique<Container>(Sniff(bytes_.get()));
    DecodeFailure wavWhy;
    if (container_->LibraryWav() || !ReadsOtherFormats()) {
      // Wave2Morse's reader by the path it takes; streams through the bytes
      // already looked at.
      reader_ = OpenLibraryWav(path, memory_, memorySize_, bytes_.get(), &wavWhy);
      if (reader_ == nullptr && (!ReadsOtherFormats() || !OddWav(wavWhy.error))) return Fail(DescribeFailure(wavWhy));
      // A file with no name has no size check of the reader's own.
      if (reader_ != nullptr && path.empty() && memory_ == nullptr && TruncatedAtOpen()) return false;
      if (reader_ == nullptr) bytes_->Seek(0, SEEK_SET);  // for libsndfile
    }
#if defined(TOLVANE_WITH_SNDFILE)
    if (reader_ == nullptr) {
      const Container& c = *container_;
      if (stream && !c.StreamReadable()) {
        return Fail("not a format the tool reads from a stream (WAV, Wave64, AIFF, CAF, AU, FLAC, Ogg, MP3); "
                    "give it as a file");
      }
      if (TruncatedAtOpen()) return false;
      RawFormat pcm = RawFormat::kS16;
      if (stream && c.Placeholder() && c.riff && PlainPcm(c, &pcm)) {
        // libsndfile stops at the size a WAV written to a pipe declares
        // (sox's 0x7FFFF000 is 3.4 hours of 44.1 kHz stereo): plain PCM
        // is read as headerless frames from the data to the stream's end.
        bytes_->Seek(static_cast<std::int64_t>(c.dataOffset), SEEK_SET);
        reader_ = OpenRaw(bytes_.get(), static_cast<int>(c.sampleRate), pcm, c.channels);
        reader_->format = std::string("WAV with no size, ") + (pcm == RawFormat::kU8    ? "unsigned 8-bit PCM"
                                                               : pcm == RawFormat::kS16 ? "16-bit PCM"
                                                                                        : "32-bit float");
        reader_->via = "Tolvane's headerless reader, to the end of the stream";
      }
      if (reader_ == nullptr && stream && c.kind == Container::kWav && c.dataSize32 == 0) {
        // Written to a pipe with no size: the data runs to the end.
        const unsigned char unknown[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        bytes_->Patch(c.dataSizeAt, unknown, 4);
      }
      std::string why;
      if (reader_ == nullptr) reader_ = OpenSndfile(bytes_.get(), c, &why);
      if (reader_ == nullptr && c.kind == Container::kWav && wavWhy.error == DecodeError::kNone && !stream) {
        // The library's reader may say better what is wrong with a WAV file.
        bytes_->Seek(0, SEEK_SET);
        if (OpenLibraryWav(path, memory_, memorySize_, bytes_.get(), &wavWhy) != nullptr || !OddWav(wavWhy.error)) {
          wavWhy.error = DecodeError::kNone;
        }
      }
      if (reader_ == nullptr) return Fail(wavWhy.error != DecodeError::kNone ? DescribeFailure(wavWhy) : why);
    }
#endif
  }
  if (reader_ == nullptr) return Fail("no reader takes this input");
  const double rate = reader_->rate;
  if (rate < kMinRate) return Fail("the sample rate is " + Hz(rate) + ", below 1000 Hz: no Morse code fits in it");
  if (rate > kMaxRate) return Fail("the sample rate is " + Hz(rate) + ", above 100 MHz");
  if (options.iq && reader_->channels != 2) {
    return Fail("I/Q input needs 2 channels; it has " + std::to_string(reader_->channels));
  }
  maxFrames_ = options.maxSeconds > 0 ? static_cast<std::uint64_t>(std::ceil(options.maxSeconds * rate)) : 0;
  if (options.maxFrames > 0 && (maxFrames_ == 0 || options.maxFrames < maxFrames_)) maxFrames_ = options.maxFrames;
  outRate_ = options.rate > 0 ? options.rate : rate;
  return ResampleSetUp();
}

bool AudioSource::ResampleSetUp() {
  resampler_.reset();
  if (outRate_ == reader_->rate) return true;
#if defined(TOLVANE_WITH_SNDFILE)
  resampler_ = std::make_unique<Resampler>();
  const soxr_io_spec_t formats = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // the same output on every run
  soxr_error_t failure = nullptr;
  resampler_->soxr = soxr_create(reader_->rate, outRate_, static_cast<unsigned>(channels()), &failure, &formats,
                                 &quality, &runtime);
  if (resampler_->soxr == nullptr) return Fail(std::string("libsoxr cannot resample: ") + failure);
  return true;
#else
  return Fail("this build cannot resample " + Hz(reader_->rate) + " to " + Hz(outRate_));
#endif
}

// A failure while reading, and where it came, in audio time: input that
// cannot be read further is truncated.
std::string AudioSource::ReadFailure() const {
  const std::string at = Seconds(static_cast<double>(frames_) / reader_->rate) + " of audio";
  return reader_->cut ? "truncated after " + at + ": " + reader_->error : reader_->error + " after " + at;
}

// Whether a file declares more samples than it holds (checked before any is
// read, as the library's reader checks its own).
bool AudioSource::TruncatedAtOpen() {
  const Container& c = *container_;
  if (stream() || !c.exact) return false;
  const std::uint64_t held = static_cast<std::uint64_t>(std::max<std::int64_t>(bytes_->Length(), 0));
  if (c.dataOffset <= held && c.declaredBytes <= held - c.dataOffset) return false;
  return !Fail("truncated: the header declares " + std::to_string(c.declaredBytes) +
               " bytes of samples, the file holds " + std::to_string(c.dataOffset > held ? 0 : held - c.dataOffset) +
               (c.Placeholder() ? " (a WAV written to a pipe has no true size: give it on standard input)" : ""));
}

// At the end of the input: a file whose header declares more frames than
// came is truncated (the library's reader checks its own).
bool AudioSource::Finish() {
  const Container* c = container_.get();
  const bool capped = maxFrames_ > 0 && frames_ >= maxFrames_;
  if (c == nullptr || !c->exact || stream() || capped || reader_->reads16()) return true;
  const std::uint64_t declared = c->declaredBytes / c->frameBytes;
  if (frames_ >= declared) return true;
  return Fail("truncated: the header declares " + std::to_string(declared) + " frames (" +
              Seconds(static_cast<double>(declared) / reader_->rate) + "), the file holds " + std::to_string(frames_));
}

bool AudioSource::Read(std::vector<float>* block) {
  block->clear();
  if (reader_ == nullptr || failed() || ended_) return false;
  const std::size_t in = static_cast<std::size_t>(reader_->channels);
  const std::size_t out = static_cast<std::size_t>(channels());
  frameBuffer_.resize(kFrames * in);
  std::vector<float>& mixed = mixed_;
  while (block->empty()) {
    std::size_t want = kFrames;
    if (maxFrames_ > 0) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, maxFrames_ - frames_));
    const std::size_t n = want > 0 ? reader_->Read(frameBuffer_.data(), want) : 0;
    if (n == 0 && !reader_->error.empty()) return Fail(ReadFailure());
    if (n == 0 && !Finish()) return false;
    frames_ += n;
    mostFrames_ = std::max(mostFrames_, frames_);
    mixed.resize(n * out);
    for (std::size_t f = 0; f < n; ++f) {
      const float* frame = frameBuffer_.data() + f * in;
      if (options_.iq) {
        mixed[2 * f] = Clean(frame[0]);
        mixed[2 * f + 1] = Clean(frame[1]);
      } else {
        double sum = 0;
        for (std::size_t c = 0; c < in; ++c) sum += Clean(frame[c]);
        mixed[f] = static_cast<float>(sum / static_cast<double>(in));
      }
    }
    if (resampler_ == nullptr) {
      block->assign(mixed.begin(), mixed.end());
      if (n == 0) ended_ = true;
      if (n == 0) return false;
      continue;
    }
#if defined(TOLVANE_WITH_SNDFILE)
    // With no input left, drain what the filter still holds.
    const float* next = n > 0 ? mixed.data() : nullptr;
    std::size_t left = n;
    std::vector<float>& done = resampler_->out;
    done.resize((kFrames + 64) * out);
    do {
      std::size_t used = 0;
      std::size_t made = 0;
      if (const soxr_error_t e = soxr_process(resampler_->soxr, next, left, next != nullptr ? &used : nullptr,
                                              done.data(), done.size() / out, &made)) {
        return Fail(std::string("libsoxr failed: ") + e);
      }
      for (std::size_t i = 0; i < made * out; ++i) block->push_back(Clean(done[i]));
      if (next == nullptr ? made == 0 : used == 0 && made == 0) break;
      if (next != nullptr) {
        next += used * out;
        left -= used;
      }
    } while (next == nullptr || left > 0);
    if (n == 0) {
      ended_ = true;
      return !block->empty();
    }
#endif
  }
  return true;
}

std::size_t AudioSource::ReadPcm16(std::int16_t* out, std::size_t max) {
  if (reader_ == nullptr || failed()) return 0;
  if (reader_->reads16() && resampler_ == nullptr && !options_.iq) {
    // The library's samples as they are: bit for bit what Wave2Morse reads.
    if (maxFrames_ > 0) max = static_cast<std::size_t>(std::min<std::uint64_t>(max, maxFrames_ - frames_));
    const std::size_t n = max > 0 ? reader_->Read16(out, max) : 0;
    frames_ += n;
    mostFrames_ = std::max(mostFrames_, frames_);
    if (n == 0 && !reader_->error.empty()) Fail(ReadFailure());
    return n;
  }
  if (pendingAt_ == pending_.size()) {
    pendingAt_ = 0;
    if (!Read(&pending_)) return 0;
  }
  const std::size_t n = std::min(max, pending_.size() - pendingAt_);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = std::nearbyint(static_cast<double>(pending_[pendingAt_ + i]) * 32768.0);
    out[i] = static_cast<std::int16_t>(v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v));
  }
  pendingAt_ += n;
  return n;
}

bool AudioSource::Rewind() {
  if (reader_ == nullptr || stream()) return Fail("a stream cannot go back to its start");
  if (!reader_->Rewind()) return Fail(reader_->error);
  frames_ = 0;
  ended_ = false;
  pending_.clear();
  pendingAt_ = 0;
  return ResampleSetUp();  // a fresh filter gives the same output again
}

std::string AudioSource::held() const {
  if (reader_ == nullptr) return "";
  const int channels = reader_->channels;
  return reader_->format + ", " + Hz(reader_->rate) + ", " + std::to_string(channels) +
         (channels == 1 ? " channel, " : " channels, ") + Seconds(static_cast<double>(mostFrames_) / reader_->rate);
}

std::string AudioSource::via() const {
  if (reader_ == nullptr) return "";
  std::string via = reader_->via;
  if (reader_->channels > 1 && !options_.iq) via += ", channels mixed to mono";
  if (resampler_ != nullptr) via += ", resampled to " + Hz(outRate_) + " by libsoxr (high quality)";
  return via;
}

}  // namespace tolvane::tool
