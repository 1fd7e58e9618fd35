// tolvane decode: Morse-code audio to text.
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "audio_source.h"
#include "commands.h"
#include "event_output.h"
#include "interrupt.h"
#include "options.h"
#include "recogniser/recogniser.h"
#include "robust/robust.h"

namespace tolvane::tool {
namespace {

// What the basic recogniser keeps of a stream for a second look: ten
// minutes at 8000 Hz, 9.6 MB.
constexpr std::size_t kStreamKeep = std::size_t{10} * 60 * kSampleRate;

// The exit code of a run stopped by Ctrl-C, as a shell reports one.
constexpr int kExitInterrupted = 130;

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

void ExplainRobust(const AudioSource& source, std::uint64_t count, const RobustDecoder& decoder) {
  const RobustStatus s = decoder.status();
  std::fprintf(stderr, "input:     %s\n", source.held().c_str());
  std::fprintf(stderr, "read by:   %s\n", source.via().c_str());
  std::fprintf(stderr, "samples:   %llu (%.3f s at %.0f Hz)\n", static_cast<unsigned long long>(count),
               static_cast<double>(count) / source.rate(), source.rate());
  std::fprintf(stderr, "signal:    %s; %d locked on, %zu characters\n",
               s.open ? "open (Morse)" : (s.locked ? "locked, not judged Morse" : "none"), s.locks, s.characters);
  std::fprintf(stderr, "pitch:     %.1f Hz\n", s.pitchHz);
  std::fprintf(stderr, "snr:       %.1f dB (key-down tone over noise in 2500 Hz, estimated)\n", s.snrDb);
  std::fprintf(stderr, "speed:     %.1f WPM\n", s.wpm);
  std::fprintf(stderr, "timing:    dot %.0f ms, dash %.0f ms; gaps %.0f, %.0f and %.0f ms\n", s.dotMs, s.dashMs,
               s.elementGapMs, s.letterGapMs, s.wordGapMs);
  std::fprintf(stderr, "memory:    %zu bytes in the recogniser\n", decoder.memoryBytes());
}

// Why a decode failed: the source's own words where it failed.
std::string Reason(const AudioSource& source, const DecodeFailure& why) {
  if (source.failed()) return source.error();
  if (why.error == DecodeError::kCannotRewind) {
    return "the basic recogniser must read this stream again and keeps only its first 10 minutes "
           "(its loudest moment came later, or it held more tone and gap runs than it keeps); "
           "give it as a file, or leave out --basic";
  }
  return DescribeFailure(why);
}

int Basic(AudioSource* source, bool explain, const char* name) {
  SourceSamples samples(source);
  DecodeReport report;
  std::string text;
  DecodeFailure why;
  bool ok = false;
  if (source->stream()) {
    ReplaySource replay(&samples, kStreamKeep);
    ok = DecodeSource(&replay, &text, &report, &why);
  } else {
    ok = DecodeSource(&samples, &text, &report, &why);
  }
  if (!ok) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, Reason(*source, why).c_str());
    return kExitFailed;
  }
  if (explain) Explain(*source, report);
  if (std::printf("%s\n", text.c_str()) < 0) NoteOutputError(errno);
  return kExitOk;
}

// Reads the source block by block into one engine, writing each event as it
// is decided.
int Robust(AudioSource* source, const RobustOptions& options, const EventOutputOptions& output, bool explain,
           const char* name) {
  RobustDecoder decoder(options);
  EventWriter writer(stdout, output);
  std::vector<float> block;
  std::vector<RobustEvent> events;
  std::uint64_t count = 0;
  const auto drain = [&] {
    events.clear();
    decoder.Take(&events);
    for (const RobustEvent& e : events) {
      if (!writer.Write(e)) return false;
    }
    return true;
  };
  bool written = writer.Start(options.sampleRate);
  while (written && !Interrupted() && source->Read(&block)) {
    // The int16 scale, as the browser page pushes, so both read alike.
    for (float& x : block) x *= 32768.0f;
    decoder.Push(block.data(), block.size());
    count += block.size();
    written = drain();
  }
  if (written) {
    decoder.Flush();
    written = drain() && writer.End(static_cast<double>(count) / options.sampleRate);
  }
  if (!written) {
    // FinishOutput says why; a reader that went away (`| head`) took what
    // it wanted, which is no failure.
    const int error = errno;
    NoteOutputError(error);
    return error == EPIPE ? kExitOk : kExitFailed;
  }
  if (explain) ExplainRobust(*source, count, decoder);
  if (Interrupted()) return kExitInterrupted;
  if (source->failed()) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, source->error().c_str());
    return kExitFailed;
  }
  if (writer.characters() == 0) {
    std::fprintf(stderr, "tolvane: %s: no Morse code found%s\n", name,
                 count == 0 ? " (the input holds no samples)" : "");
    return kExitFailed;
  }
  return kExitOk;
}

bool ParseBand(const std::string& text, double* lo, double* hi) {
  const std::size_t dash = text.find('-', 1);
  return dash != std::string::npos && ParseDecimal(text.substr(0, dash), lo) &&
         ParseDecimal(text.substr(dash + 1), hi) && *lo >= 0 && *hi > *lo;
}

}  // namespace

int Decode(int argc, char** argv) {
  Arguments args;
  std::string problem;
  if (!args.Parse(argc, argv,
                  {{"--explain", false},
                   {"--robust", false},
                   {"--basic", false},
                   {"--json", false},
                   {"--timestamps", false},
                   {"--pitch", true},
                   {"--band", true},
                   {"--charset", true},
                   {"--raw", true},
                   {"--raw-format", true},
                   {"--max-duration", true}},
                  &problem)) {
    return Usage(problem);
  }
  if (args.operands().size() != 1) return Usage("decode needs one INPUT");
  const bool basic = args.Has("--basic");
  if (basic && args.Has("--robust")) return Usage("give one of --basic and --robust");
  if (args.Has("--json") && args.Has("--timestamps")) return Usage("give one of --json and --timestamps");
  for (const char* option : {"--json", "--timestamps", "--pitch", "--band", "--charset"}) {
    if (basic && args.Has(option)) return Usage(std::string(option) + " is for the robust recogniser, not --basic");
  }
  SourceOptions options;
  RobustOptions robust;
  double raw = 0;
  if (!NumberOption(args, "--raw", kMinRate, kMaxRate, true, 0, &raw, &problem) ||
      !NumberOption(args, "--max-duration", 0.001, 1e9, false, 0, &options.maxSeconds, &problem) ||
      !NumberOption(args, "--pitch", 100, 3600, false, 0, &robust.pitchHz, &problem)) {
    return Usage(problem);
  }
  robust.pitchGiven = args.Has("--pitch");
  if (const std::string* band = args.Value("--band")) {
    if (!ParseBand(*band, &robust.bandLoHz, &robust.bandHiHz) || robust.bandHiHz > 4000) {
      return Usage("--band takes LO-HI in Hz, 0 <= LO < HI <= 4000, not '" + *band + "'");
    }
  }
  if (const std::string* name = args.Value("--charset"); name && !ParseCharset(name->c_str(), &robust.charset)) {
    return Usage("--charset takes basic, latin, cyrillic, greek, hebrew or arabic, not '" + *name + "'");
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
  EventOutputOptions output;
  output.json = args.Has("--json");
  output.timestamps = args.Has("--timestamps");
  robust.sampleRate = options.rate;
  const bool explain = args.Has("--explain");
  const std::string& path = args.operands()[0];
  const char* name = path == "-" ? "standard input" : path.c_str();
  CatchInterrupt();
  try {
    AudioSource source;
    if (!source.Open(path, options)) {
      std::fprintf(stderr, "tolvane: %s: %s\n", name, source.error().c_str());
      return kExitFailed;
    }
    return basic ? Basic(&source, explain, name) : Robust(&source, robust, output, explain, name);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tolvane: %s: out of memory\n", name);
    return kExitFailed;
  }
}

}  // namespace tolvane::tool
