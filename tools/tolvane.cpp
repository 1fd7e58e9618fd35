// tolvane: key text into Morse-code WAV files and read them back.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "api/api.h"
#include "audio_input.h"
#include "keyer/keyer.h"
#include "recogniser/recogniser.h"

namespace {

using tolvane::SAMPLE_RATE;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Units the decoder can estimate: 5 to 200 ms.
constexpr int kMinUnitMs = tolvane::MIN_UNIT * 1000 / SAMPLE_RATE;
constexpr int kMaxUnitMs = tolvane::MAX_UNIT * 1000 / SAMPLE_RATE;

const char kUsage[] =
    "usage: tolvane encode [--wpm N | --unit-ms N] TEXT|- OUTPUT.wav\n"
    "       tolvane decode [--robust] [--explain] INPUT|-\n"
    "       tolvane --help | --version\n";

const char kHelp[] =
    "Tolvane keys text into Morse-code audio (8000 Hz 16-bit mono WAV, 600 Hz tone).\n"
    "\n"
    "  tolvane encode [--wpm N | --unit-ms N] TEXT OUTPUT.wav\n"
    "      Key TEXT (standard input when TEXT is -) into OUTPUT.wav.\n"
    "      --unit-ms N  one unit (a dot) lasts N ms, 5 to 200 (default 60)\n"
    "      --wpm N      N words per minute (PARIS timing: a unit of 1200/N ms),\n"
    "                   6 to 240\n"
    "\n"
    "  tolvane decode [--explain] INPUT\n"
    "      Print the text keyed in INPUT (standard input when INPUT is -); the\n"
    "      speed is estimated from the recording. 8000 Hz 16-bit mono PCM WAV is\n"
    "      read as Wave2Morse reads it; other formats (any WAV, FLAC, Ogg, MP3,\n"
    "      AIFF, ...) are mixed to mono and resampled to 8000 Hz first.\n"
    "      --robust     use the recogniser for real recordings: noise, fading, hand\n"
    "                   keying, Farnsworth spacing, any pitch, changing speed\n"
    "      --explain    also print on standard error what the recogniser measured\n"
    "\n"
    "  tolvane --help      this text\n"
    "  tolvane --version   the version\n"
    "\n"
    "Exit status: 0 on success, 1 when the job fails, 2 for a usage mistake.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "tolvane: %s\n%s", problem, kUsage);
  return kExitUsage;
}

// Parses a whole decimal number; false on anything else.
bool ParseNumber(const char* text, double* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return errno == 0 && *end == '\0' && std::isfinite(*value);
}


int Encode(int argc, char** argv) {
  double samplesPerUnit = tolvane::SamplesPerUnit(tolvane::UNIT_MS);
  bool speedGiven = false;
  std::vector<const char*> operands;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--unit-ms" || arg == "--wpm") {
      if (speedGiven) return Usage("give one of --wpm and --unit-ms, once");
      speedGiven = true;
      double value = 0;
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], &value)) {
        return Usage((arg + " needs a number").c_str());
      }
      ++i;
      if (arg == "--unit-ms") {
        if (value != std::floor(value) || value < kMinUnitMs || value > kMaxUnitMs) {
          return Usage("--unit-ms takes a whole number from 5 to 200");
        }
        samplesPerUnit = value * SAMPLE_RATE / 1000;
      } else {
        // 1200/N ms per unit, i.e. 9600/N samples, rounded to whole samples.
        if (value <= 0) return Usage("--wpm takes a number from 6 to 240");
        samplesPerUnit = std::round(1200.0 / value * SAMPLE_RATE / 1000);
        if (samplesPerUnit < tolvane::MIN_UNIT || samplesPerUnit > tolvane::MAX_UNIT) {
          return Usage("--wpm takes a number from 6 to 240");
        }
      }
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return Usage(("unknown option " + arg).c_str());
    } else {
      if (arg == "--") {
        for (++i; i < argc; ++i) operands.push_back(argv[i]);
        break;
      }
      operands.push_back(argv[i]);
    }
  }
  if (operands.size() != 2) return Usage("encode needs TEXT and OUTPUT.wav");

  std::string text = operands[0];
  if (text == "-") {
    text.clear();
    if (!tolvane::tool::ReadAll(stdin, &text)) {
      std::fprintf(stderr, "tolvane: cannot read standard input: %s\n", std::strerror(errno));
      return kExitFailed;
    }
  }
  const char* path = operands[1];
  tolvane::KeyFailure why;
  if (!tolvane::KeyTextToWavSamples(text, path, static_cast<std::int64_t>(samplesPerUnit), &why)) {
    if (why.sysErrno != 0) {
      std::fprintf(stderr, "tolvane: %s: %s: %s\n", path, tolvane::KeyErrorText(why.error),
                   std::strerror(why.sysErrno));
    } else {
      std::fprintf(stderr, "tolvane: %s: %s\n", path, tolvane::KeyErrorText(why.error));
    }
    return kExitFailed;
  }
  return kExitOk;
}

void Explain(const tolvane::tool::Recording& recording, const tolvane::DecodeReport& report) {
  std::fprintf(stderr, "input:     %s\n", recording.held.c_str());
  std::fprintf(stderr, "read by:   %s\n", recording.via.c_str());
  const double seconds = static_cast<double>(report.sampleCount) / SAMPLE_RATE;
  const double unitMs = report.unit * 1000.0 / SAMPLE_RATE;
  std::fprintf(stderr, "samples:   %zu (%.3f s at %d Hz)\n", report.sampleCount, seconds,
               SAMPLE_RATE);
  std::fprintf(stderr, "envelope:  peak %d, threshold %d\n", report.peak, report.threshold);
  std::fprintf(stderr, "runs:      %zu tone, %zu gap\n", report.onRuns, report.offRuns);
  std::fprintf(stderr, "unit:      %d samples (%.1f ms, %.1f WPM)\n", report.unit, unitMs,
               1200.0 / unitMs);
  std::fprintf(stderr, "read:      %s\n", report.symbols.c_str());
}

void ExplainRobust(const tolvane::tool::Recording& recording, const tolvane::RobustReport& report) {
  std::fprintf(stderr, "input:     %s\n", recording.held.c_str());
  std::fprintf(stderr, "read by:   %s\n", recording.via.c_str());
  std::fprintf(stderr, "samples:   %zu (%.3f s at %d Hz)\n", recording.count(),
               static_cast<double>(recording.count()) / SAMPLE_RATE, SAMPLE_RATE);
  std::fprintf(stderr, "pitch:     %.1f Hz\n", report.pitchHz);
  std::fprintf(stderr, "snr:       %.1f dB (key-down tone over noise in 2500 Hz, estimated)\n",
               report.snrDb);
  std::fprintf(stderr, "filter:    %.0f ms and longer, matched to the local speed\n", report.filterMs);
  std::fprintf(stderr, "levels:    noise %.1f, signal %.1f; key down above %.0f %%, up below %.0f %%\n",
               report.noiseLevel, report.signalLevel, 100 * report.onFraction,
               100 * report.offFraction);
  std::fprintf(stderr, "glitches:  %zu removed\n", report.glitches);
  std::fprintf(stderr, "word gap:  longer than %.1f units\n", report.wordGapUnits);
  std::fprintf(stderr, "speed:    ");
  for (const tolvane::SpeedPoint& p : report.speed) {
    std::fprintf(stderr, " %.0fs:%.1f", p.seconds, p.wpm);
  }
  std::fprintf(stderr, " (seconds:WPM)\n");
  std::fprintf(stderr, "read:     ");
  for (const tolvane::RobustCharacter& c : report.characters) {
    std::fprintf(stderr, " %c%s:%.2f", c.character, c.code.c_str(), c.confidence);
  }
  std::fprintf(stderr, " (character, code, confidence)\n");
}

int Decode(int argc, char** argv) {
  bool explain = false;
  bool robust = false;
  std::vector<const char*> operands;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--explain") {
      explain = true;
    } else if (arg == "--robust") {
      robust = true;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) operands.push_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else {
      operands.push_back(argv[i]);
    }
  }
  if (operands.size() != 1) return Usage("decode needs one INPUT");
  const std::string path = operands[0];
  const char* name = path == "-" ? "standard input" : path.c_str();
  tolvane::tool::Recording recording;
  std::string error;
  if (!tolvane::tool::ReadRecording(path, &recording, &error)) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, error.c_str());
    return kExitFailed;
  }
  std::string text;
  tolvane::DecodeFailure why;
  bool decoded = false;
  if (robust) {
    tolvane::RobustReport report;
    decoded = tolvane::DecodeRobust(recording.samples(), recording.count(), &text, &report, &why);
    if (decoded && explain) ExplainRobust(recording, report);
  } else {
    tolvane::DecodeReport report;
    decoded = tolvane::DecodeSamples(recording.samples(), recording.count(), &text, &report, &why);
    if (decoded && explain) Explain(recording, report);
  }
  if (!decoded) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, tolvane::DescribeFailure(why).c_str());
    return kExitFailed;
  }
  std::printf("%s\n", text.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("tolvane %s\n", TOLVANE_VERSION);
    return kExitOk;
  }
  if (command == "encode") return Encode(argc - 2, argv + 2);
  if (command == "decode") return Decode(argc - 2, argv + 2);
  return Usage(("unknown command " + command).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tolvane: %s\n", e.what());
    return kExitFailed;
  }
}
