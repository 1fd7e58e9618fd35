// tolvane decode: Morse-code audio to text.
#include <cstdio>
#include <string>

#include "audio_input.h"
#include "commands.h"
#include "options.h"
#include "recogniser/recogniser.h"
#include "robust/robust.h"

namespace tolvane::tool {
namespace {

void Explain(const Recording& recording, const DecodeReport& report) {
  std::fprintf(stderr, "input:     %s\n", recording.held.c_str());
  std::fprintf(stderr, "read by:   %s\n", recording.via.c_str());
  const double seconds = static_cast<double>(report.sampleCount) / kSampleRate;
  const double unitMs = report.unit * 1000.0 / kSampleRate;
  std::fprintf(stderr, "samples:   %zu (%.3f s at %d Hz)\n", report.sampleCount, seconds,
               kSampleRate);
  std::fprintf(stderr, "envelope:  peak %d, threshold %d\n", report.peak, report.threshold);
  std::fprintf(stderr, "runs:      %zu tone, %zu gap\n", report.onRuns, report.offRuns);
  std::fprintf(stderr, "unit:      %d samples (%.1f ms, %.1f WPM)\n", report.unit, unitMs,
               1200.0 / unitMs);
  std::fprintf(stderr, "read:      %s\n", report.symbols.c_str());
}

void ExplainRobust(const Recording& recording, const RobustReport& report) {
  std::fprintf(stderr, "input:     %s\n", recording.held.c_str());
  std::fprintf(stderr, "read by:   %s\n", recording.via.c_str());
  std::fprintf(stderr, "samples:   %zu (%.3f s at %d Hz)\n", recording.count(),
               static_cast<double>(recording.count()) / kSampleRate, kSampleRate);
  std::fprintf(stderr, "pitch:     %.1f Hz\n", report.pitchHz);
  std::fprintf(stderr, "snr:       %.1f dB (key-down tone over noise in 2500 Hz, estimated)\n",
               report.snrDb);
  const RobustStatus& s = report.status;
  std::fprintf(stderr, "timing:    dot %.0f ms, dash %.0f ms; gaps %.0f, %.0f and %.0f ms\n", s.dotMs, s.dashMs,
               s.elementGapMs, s.letterGapMs, s.wordGapMs);
  std::fprintf(stderr, "word gap:  longer than %.1f element gaps\n", report.wordGapUnits);
  std::fprintf(stderr, "speed:    ");
  for (const SpeedPoint& p : report.speed) {
    std::fprintf(stderr, " %.0fs:%.1f", p.seconds, p.wpm);
  }
  std::fprintf(stderr, " (seconds:WPM)\n");
  std::fprintf(stderr, "read:     ");
  for (const RobustCharacter& c : report.characters) {
    std::fprintf(stderr, " %s%s:%.2f", c.text.c_str(), c.code.c_str(), c.confidence);
  }
  std::fprintf(stderr, " (character, code, confidence)\n");
}

}  // namespace

int Decode(int argc, char** argv) {
  Arguments args;
  std::string problem;
  if (!args.Parse(argc, argv, {{"--explain", false}, {"--robust", false}}, &problem)) return Usage(problem);
  if (args.operands().size() != 1) return Usage("decode needs one INPUT");
  const bool explain = args.Has("--explain");
  const std::string& path = args.operands()[0];
  const char* name = path == "-" ? "standard input" : path.c_str();
  Recording recording;
  std::string error;
  if (!ReadRecording(path, &recording, &error)) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, error.c_str());
    return kExitFailed;
  }
  std::string text;
  DecodeFailure why;
  bool decoded = false;
  if (args.Has("--robust")) {
    RobustReport report;
    decoded = DecodeRobust(recording.samples(), recording.count(), &text, &report, &why);
    if (decoded && explain) ExplainRobust(recording, report);
  } else {
    DecodeReport report;
    decoded = DecodeSamples(recording.samples(), recording.count(), &text, &report, &why);
    if (decoded && explain) Explain(recording, report);
  }
  if (!decoded) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, DescribeFailure(why).c_str());
    return kExitFailed;
  }
  std::printf("%s\n", text.c_str());
  return kExitOk;
}

}  // namespace tolvane::tool
