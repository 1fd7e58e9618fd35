// Any bytes through the tool's input path: the container check, the
// library's WAV reader or libsndfile's virtual I/O (as a file, and as a
// stream giving a few bytes a read), the resampler, the streaming robust
// recogniser as tolvane decode feeds it, and the basic recogniser in
// passes. Samples must be finite, a file read twice must give
// the same samples twice (the passes depend on it), failures must say why
// in one line, and the text may hold only table characters, '?' and spaces.
//
// The first byte chooses how: bit 0 a stream; bits 1-2 the output (8000 Hz
// mono, the input's rate, I/Q pairs at 8000 Hz or at the input's rate);
// bits 3-5 how many bytes a stream read gives; bit 6 headerless, with the
// next byte choosing the sample format (bits 0-1) and the rate (bits 2-3).
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio_source.h"
#include "fuzz/fuzz_support.h"
#include "morse/morse.h"
#include "recogniser/recogniser.h"
#include "robust/robust.h"

namespace {

using tolvane::tool::AudioSource;
using tolvane::tool::SourceOptions;

// Work stays bounded whatever a few bytes declare or decode to: half a
// minute at 8 kHz takes a few seconds under the fuzzing build's
// instrumentation, well inside its time limit even on a busy machine.
constexpr std::uint64_t kMaxFrames = 1 << 18;

class Samples : public tolvane::SampleSource {
 public:
  explicit Samples(AudioSource* source) : source_(source) {}
  std::size_t Read(std::int16_t* out, std::size_t max, tolvane::DecodeFailure* why) override {
    const std::size_t n = source_->ReadPcm16(out, max);
    if (n == 0 && source_->failed()) tolvane::Fail(why, tolvane::DecodeError::kRead);
    return n;
  }
  bool Rewind(std::uint64_t, tolvane::DecodeFailure* why) override {
    return source_->Rewind() || tolvane::Fail(why, tolvane::DecodeError::kRead);
  }

 private:
  AudioSource* source_;
};

void CheckError(const AudioSource& source) {
  if (source.failed() && (source.error().find('\n') != std::string::npos)) tolvane::fuzz::Violated("a failure of two lines");
}

// A fingerprint of every 16-bit sample, and how many.
std::pair<std::uint64_t, std::uint64_t> Pass(AudioSource* source) {
  std::uint64_t hash = 14695981039346656037u;
  std::uint64_t count = 0;
  std::int16_t block[4096];
  for (std::size_t n; (n = source->ReadPcm16(block, 4096)) > 0; count += n) {
    for (std::size_t i = 0; i < n; ++i) hash = (hash ^ static_cast<std::uint16_t>(block[i])) * 1099511628211u;
  }
  return {hash, count};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  SourceOptions options;
  const bool stream = (mode & 1) != 0;
  options.rate = (mode & 2) != 0 ? 0 : 8000;
  options.iq = (mode & 4) != 0;
  static const std::size_t kMost[] = {1, 3, 64, 512, 4096, 65536, 1 << 20, 7};
  const std::size_t most = kMost[(mode >> 3) & 7];
  if ((mode & 0x40) != 0) {
    if (size < 1) return 0;
    static const int kRates[] = {8000, 1000, 44100, 2400000};
    static const tolvane::tool::RawFormat kFormats[] = {tolvane::tool::RawFormat::kS16, tolvane::tool::RawFormat::kU8,
                                                        tolvane::tool::RawFormat::kF32, tolvane::tool::RawFormat::kS16};
    options.rawFormat = kFormats[data[0] & 3];
    options.rawRate = kRates[(data[0] >> 2) & 3];
    ++data;
    --size;
  }
  options.maxFrames = kMaxFrames;

  // The blocks as the robust recogniser gets them: finite, and as many
  // channels as asked for; pushed on the 16-bit scale, as the tool does.
  {
    AudioSource source;
    if (source.OpenMemory(data, size, stream, most, options)) {
      tolvane::RobustOptions robust;
      robust.sampleRate = source.rate();
      robust.complex = options.iq;
      tolvane::RobustDecoder decoder(robust);
      std::vector<tolvane::RobustEvent> events;
      std::vector<float> block;
      // Upsampling multiplies the frames read: the engine's share is
      // bounded by what it is given, not by what was read.
      std::size_t pushed = 0;
      while (pushed < kMaxFrames && source.Read(&block)) {
        if (block.empty()) tolvane::fuzz::Violated("an empty block");
        if (block.size() % static_cast<std::size_t>(source.channels()) != 0) tolvane::fuzz::Violated("half a frame");
        for (float& x : block) {
          if (!std::isfinite(x)) tolvane::fuzz::Violated("a sample that is not finite");
          x *= 32768.0f;
        }
        decoder.Push(block.data(), block.size() / static_cast<std::size_t>(source.channels()));
        pushed += block.size() / static_cast<std::size_t>(source.channels());
        decoder.Take(&events);
      }
      decoder.Flush();
      decoder.Take(&events);
      for (const tolvane::RobustEvent& e : events) {
        if (!e.wordGap && !e.lineEnd && e.text.empty()) tolvane::fuzz::Violated("a character without text");
        if (!(e.confidence >= 0 && e.confidence <= 1)) tolvane::fuzz::Violated("a confidence outside 0 to 1");
      }
    }
    CheckError(source);
  }
  if (options.iq) return 0;

  // A file read twice gives the same samples twice.
  if (!stream) {
    AudioSource source;
    if (source.OpenMemory(data, size, false, most, options)) {
      const auto first = Pass(&source);
      if (!source.failed() && source.Rewind()) {
        const auto second = Pass(&source);
        if (!source.failed() && second != first) tolvane::fuzz::Violated("a second pass read other samples");
      }
    }
    CheckError(source);
  }

  // The basic recogniser in passes: a stream replays what it kept.
  AudioSource source;
  if (source.OpenMemory(data, size, stream, most, options)) {
    Samples samples(&source);
    tolvane::ReplaySource replay(&samples, 1 << 16);
    std::string text;
    tolvane::DecodeFailure why;
    const bool decoded = tolvane::DecodeSource(stream ? static_cast<tolvane::SampleSource*>(&replay) : &samples,
                                               &text, nullptr, &why);
    if (decoded == (why.error != tolvane::DecodeError::kNone)) tolvane::fuzz::Violated("result and reason disagree");
    for (char c : text) {
      if (c != ' ' && c != '?' && tolvane::LookupCode(c) == nullptr) tolvane::fuzz::Violated("character outside the table");
    }
  }
  CheckError(source);
  return 0;
}
