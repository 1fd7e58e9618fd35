// tolvane encode: text to a Morse-code WAV file.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "audio_input.h"
#include "commands.h"
#include "keyer/keyer.h"
#include "options.h"
#include "recogniser/recogniser.h"

namespace tolvane::tool {

int Encode(int argc, char** argv) {
  Arguments args;
  std::string problem;
  if (!args.Parse(argc, argv, {{"--wpm", true}, {"--unit-ms", true}}, &problem)) return Usage(problem);
  if (args.Has("--wpm") && args.Has("--unit-ms")) return Usage("give one of --wpm and --unit-ms, once");
  if (args.operands().size() != 2) return Usage("encode needs TEXT and OUTPUT.wav");
  // Units the basic recogniser can estimate: 5 to 200 ms.
  constexpr double kMinUnitMs = MIN_UNIT * 1000.0 / kSampleRate;
  constexpr double kMaxUnitMs = MAX_UNIT * 1000.0 / kSampleRate;
  double unitMs = 0;
  double wpm = 0;
  if (!NumberOption(args, "--unit-ms", kMinUnitMs, kMaxUnitMs, true, UNIT_MS, &unitMs, &problem) ||
      !NumberOption(args, "--wpm", 1200 / kMaxUnitMs, 1200 / kMinUnitMs, false, 0, &wpm, &problem)) {
    return Usage(problem);
  }
  // 1200/N ms per unit, i.e. 9600/N samples, rounded to whole samples.
  const double samplesPerUnit =
      wpm > 0 ? std::round(1200.0 / wpm * kSampleRate / 1000) : unitMs * kSampleRate / 1000;

  std::string text = args.operands()[0];
  if (text == "-") {
    text.clear();
    if (!ReadAll(stdin, &text)) {
      std::fprintf(stderr, "tolvane: cannot read standard input: %s\n", std::strerror(errno));
      return kExitFailed;
    }
  }
  const std::string& path = args.operands()[1];
  KeyFailure why;
  if (!KeyTextToWavSamples(text, path.c_str(), static_cast<std::int64_t>(samplesPerUnit), &why)) {
    if (why.sysErrno != 0) {
      std::fprintf(stderr, "tolvane: %s: %s: %s\n", path.c_str(), KeyErrorText(why.error),
                   std::strerror(why.sysErrno));
    } else {
      std::fprintf(stderr, "tolvane: %s: %s\n", path.c_str(), KeyErrorText(why.error));
    }
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace tolvane::tool
