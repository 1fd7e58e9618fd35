// tolvane decode: Morse-code audio to text.
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "audio_source.h"
#include "commands.h"
#include "options.h"
#include "recogniser/recogniser.h"
#include "robust/robust.h"

namespace tolvane::tool {
namespace {

// What the basic recogniser keeps of a stream for a second look: ten
// minutes at 8000 Hz, 9.6 MB.
constexpr std::size_t kStreamKeep = 10 * 60 * kSampleRate;

// The source's 16-bit samples for the basic recogniser, which reads in
// passes: a file is rewound, a stream replays the start it kept.
class SourceSamples : public SampleSource {
 public:
  explicit SourceSamples(AudioSource* source) : source_(source) {}
  std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure* why) override {
    const std::size_t n = source_->ReadPcm16(out, max);
    if (n == 0 && source_->failed()) Fail(why, DecodeError::kRead);  // the source says why
    return n;
  }
  bool Rewind(std::uint64_t, DecodeFailure* why) override {
    return source_->Rewind() || Fail(why, DecodeError::kRead);
  }

 private:
  AudioSource* source_;
};

// The robust recogniser takes the whole recording for now; a recogniser
// that takes blocks as they come replaces this and keeps the loop below.
class WholeRecording {
 public:
  void Push(const std::vector<float>& block) {
    for (float x : block) {
      const double v = std::nearbyint(static_cast<double>(x) * 32768.0);
      samples_.push_back(static_cast<std::int16_t>(v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v)));
    }
  }
  bool Finish(std::string* text, RobustReport* report, DecodeFailure* why) {
    return DecodeRobust(samples_.data(), samples_.size(), text, report, why);
  }
  std::size_t count() const { return samples_.size(); }

 private:
  std::vector<std::int16_t> samples_;
};

void Explain(const AudioSource& source, const DecodeReport& report) {
  std::fprintf(stderr, "input:     %s\n", source.held().c_str());
  std::fprintf(stderr, "read by:   %s%s\n", source.via().c_str(), source.libraryWav() ? "" : ", rounded to 16 bits");
  const double seconds = static_cast<double>(report.sampleCount) / kSampleRate;
  const double unitMs = report.unit * 1000.0 / kSampleRate;
  std::fprintf(stderr, "samples:   %zu (%.3f s at %d Hz)\n", report.sampleCount, seconds, kSampleRate);
  std::fprintf(stderr, "envelope:  peak %d, threshold %d\n", report.peak, report.threshold);
  std::fprintf(stderr, "runs:      %zu tone, %zu gap\n", report.onRuns, report.offRuns);
  std::fprintf(stderr, "unit:      %d samples (%.1f ms, %.1f WPM)\n", report.unit, unitMs, 1200.0 / unitMs);
  std::fprintf(stderr, "read:      %s\n", report.symbols.c_str());
}

void ExplainRobust(const AudioSource& source, std::size_t count, const RobustReport& report) {
  std::fprintf(stderr, "input:     %s\n", source.held().c_str());
  std::fprintf(stderr, "read by:   %s%s\n", source.via().c_str(), source.libraryWav() ? "" : ", rounded to 16 bits");
  std::fprintf(stderr, "samples:   %zu (%.3f s at %d Hz)\n", count, static_cast<double>(count) / kSampleRate,
               kSampleRate);
  std::fprintf(stderr, "pitch:     %.1f Hz\n", report.pitchHz);
  std::fprintf(stderr, "snr:       %.1f dB (key-down tone over noise in 2500 Hz, estimated)\n", report.snrDb);
  std::fprintf(stderr, "filter:    %.0f ms and longer, matched to the local speed\n", report.filterMs);
  std::fprintf(stderr, "levels:    noise %.1f, signal %.1f; key down above %.0f %%, up below %.0f %%\n",
               report.noiseLevel, report.signalLevel, 100 * report.onFraction, 100 * report.offFraction);
  std::fprintf(stderr, "glitches:  %zu removed\n", report.glitches);
  std::fprintf(stderr, "word gap:  longer than %.1f units\n", report.wordGapUnits);
  std::fprintf(stderr, "speed:    ");
  for (const SpeedPoint& p : report.speed) std::fprintf(stderr, " %.0fs:%.1f", p.seconds, p.wpm);
  std::fprintf(stderr, " (seconds:WPM)\n");
  std::fprintf(stderr, "read:     ");
  for (const RobustCharacter& c : report.characters) {
    std::fprintf(stderr, " %c%s:%.2f", c.character, c.code.c_str(), c.confidence);
  }
  std::fprintf(stderr, " (character, code, confidence)\n");
}

// Why a decode failed: the source's own words where it failed.
std::string Reason(const AudioSource& source, const DecodeFailure& why) {
  if (source.failed()) return source.error();
  if (why.error == DecodeError::kCannotRewind) {
    return "the basic recogniser must read this stream again and keeps only its first 10 minutes "
           "(its loudest moment came later, or it held more tone and gap runs than it keeps); "
           "give it as a file, or use --robust";
  }
  return DescribeFailure(why);
}

bool Basic(AudioSource* source, bool explain, std::string* text, DecodeFailure* why) {
  SourceSamples samples(source);
  DecodeReport report;
  bool ok = false;
  if (source->stream()) {
    ReplaySource replay(&samples, kStreamKeep);
    ok = DecodeSource(&replay, text, &report, why);
  } else {
    ok = DecodeSource(&samples, text, &report, why);
  }
  if (ok && explain) Explain(*source, report);
  return ok;
}

bool Robust(AudioSource* source, bool explain, std::string* text, DecodeFailure* why) {
  WholeRecording recogniser;
  std::vector<float> block;
  while (source->Read(&block)) recogniser.Push(block);
  if (source->failed()) return Fail(why, DecodeError::kRead);
  RobustReport report;
  const bool ok = recogniser.Finish(text, &report, why);
  if (ok && explain) ExplainRobust(*source, recogniser.count(), report);
  return ok;
}

}  // namespace

int Decode(int argc, char** argv) {
  Arguments args;
  std::string problem;
  if (!args.Parse(argc, argv,
                  {{"--explain", false}, {"--robust", false}, {"--basic", false}, {"--raw", true},
                   {"--raw-format", true}, {"--max-duration", true}},
                  &problem)) {
    return Usage(problem);
  }
  if (args.operands().size() != 1) return Usage("decode needs one INPUT");
  if (args.Has("--basic") && args.Has("--robust")) return Usage("give one of --basic and --robust");
  SourceOptions options;
  double raw = 0;
  if (!NumberOption(args, "--raw", kMinRate, kMaxRate, true, 0, &raw, &problem) ||
      !NumberOption(args, "--max-duration", 0.001, 1e9, false, 0, &options.maxSeconds, &problem)) {
    return Usage(problem);
  }
  options.rawRate = static_cast<int>(raw);
  if (const std::string* format = args.Value("--raw-format")) {
    if (!args.Has("--raw")) return Usage("--raw-format needs --raw RATE");
    if (*format == "s16") {
      options.rawFormat = RawFormat::kS16;
    } else if (*format == "u8") {
      options.rawFormat = RawFormat::kU8;
    } else if (*format == "f32") {
      options.rawFormat = RawFormat::kF32;
    } else {
      return Usage("--raw-format takes s16, u8 or f32, not '" + *format + "'");
    }
  }
  const bool explain = args.Has("--explain");
  const std::string& path = args.operands()[0];
  const char* name = path == "-" ? "standard input" : path.c_str();
  AudioSource source;
  std::string text;
  DecodeFailure why;
  bool decoded = false;
  try {
    decoded = source.Open(path, options) && (args.Has("--robust") ? Robust(&source, explain, &text, &why)
                                                                  : Basic(&source, explain, &text, &why));
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tolvane: %s: out of memory\n", name);
    return kExitFailed;
  }
  if (!decoded) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, Reason(source, why).c_str());
    return kExitFailed;
  }
  std::printf("%s\n", text.c_str());
  return kExitOk;
}

}  // namespace tolvane::tool
