// tolvane encode: text to Morse-code audio.
//
// text source -> TextCoder -> [HandKeying] -> MorseKeyer -> [ChannelSink]
// -> AudioWriter -> OutputFile. The bracketed stages make practice files
// (practice.h) and are there only when asked for.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio_output.h"
#include "commands.h"
#include "keyer/keyer.h"
#include "options.h"
#include "output_file.h"
#include "practice.h"
#include "recogniser/recogniser.h"
#include "text_source.h"

namespace tolvane::tool {
namespace {

// Text read ahead of the keying, so that a text that cannot fit a WAV file
// is refused before much is written, and a short one read from a pipe still
// gets true sizes in its header.
constexpr std::size_t kReadAhead = 1 << 20;

struct EncodeSettings {
  KeyingSound sound;
  TimingRules rules;
  TextOptions text;
  AudioFormat format = AudioFormat::kWav;
  bool strict = false;
  Practice practice;
  sim::Fist fist;  // with practice.hand
};

// Counts what the text keys into and names what it skips. A hand draws the
// same lengths here as in the keying, from the same seed.
class Counter : public CodeSink {
 public:
  Counter(const EncodeSettings& settings, const KeyingTiming& timing) : keyer_(settings.sound, timing, nullptr) {
    if (settings.practice.hand) {
      hand_ = std::make_unique<HandKeying>(settings.fist, settings.practice.seed, timing, settings.sound.sampleRate,
                                           &keyer_);
    }
  }
  bool Character(const char* code) override { return hand_ ? hand_->Character(code) : keyer_.Character(code); }
  bool WordGap() override { return hand_ ? hand_->WordGap() : keyer_.WordGap(); }
  void End() {
    if (hand_) hand_->Finish();
  }
  void Skipped(char32_t c) override {
    ++skipped_;
    if (std::find(seen_.begin(), seen_.end(), c) != seen_.end()) return;
    if (seen_.size() == kShown) {
      more_ = true;
      return;
    }
    seen_.push_back(c);
    list_ += (seen_.size() == 1 ? "" : ", ") + Show(c);
  }
  std::uint64_t samples() const { return keyer_.samples(); }
  std::uint64_t skipped() const { return skipped_; }
  std::string Report() const {
    return "skipped " + std::to_string(skipped_) + (skipped_ == 1 ? " character: " : " characters: ") + list_ +
           (more_ ? ", ..." : "");
  }

 private:
  static std::string Show(char32_t c) {
    if (c == kInvalidUtf8) return "invalid UTF-8";
    char text[16];
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
      return text;
    }
    std::string utf8;
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    return utf8;
  }

  static constexpr std::size_t kShown = 10;  // different characters named

  MorseKeyer keyer_;
  std::unique_ptr<HandKeying> hand_;
  std::uint64_t skipped_ = 0;
  std::vector<char32_t> seen_;
  bool more_ = false;
  std::string list_;
};

int Fail(const std::string& path, const std::string& reason) {
  // A reader that went away (`| head`) took what it wanted, as in decode.
  if (OutputReaderGone()) return kExitOk;
  std::fprintf(stderr, "tolvane: %s: %s\n", path.c_str(), reason.c_str());
  return kExitFailed;
}

// Reads ahead, counts, keys and writes; the old file stays until the end.
int Run(TextSource* source, const std::string& sourceName, const EncodeSettings& settings,
        const std::string& path) {
  const KeyingTiming timing = MakeTiming(settings.rules, settings.sound.sampleRate);
  const bool wav = settings.format == AudioFormat::kWav;
  Counter counter(settings, timing);
  TextCoder counting(settings.text);
  std::deque<std::string> ahead;
  std::size_t aheadBytes = 0;
  bool ended = false;
  std::string error;
  // One more block read and counted; false with a message printed.
  auto readMore = [&](bool* failed, int* code) {
    std::string block;
    if (!source->Next(&block, &ended, &error)) {
      *failed = true, *code = Fail(sourceName, error);
      return;
    }
    // The counting keyer never stops the text.
    if (ended) {
      counting.Finish(&counter);
      counter.End();
    } else {
      counting.Feed(block.data(), block.size(), &counter);
    }
    if (wav && counter.samples() > kMaxWavSamples) {
      *failed = true, *code = Fail(path, KeyErrorText(KeyError::kTooLong));
      return;
    }
    if (settings.strict && counter.skipped() > 0) {
      *failed = true, *code = Fail(sourceName, counter.Report() + " (--strict: nothing written)");
      return;
    }
    aheadBytes += block.size();
    if (!block.empty()) ahead.push_back(std::move(block));
  };
  bool failed = false;
  int code = kExitOk;
  while (!ended && aheadBytes < kReadAhead && !failed) readMore(&failed, &code);
  if (failed) return code;

  OutputFile out;
  if (!out.Open(path, &error)) return Fail(path, error);
  const std::int64_t known = ended ? static_cast<std::int64_t>(counter.samples()) : -1;
  const std::unique_ptr<AudioWriter> writer =
      AudioWriter::Create(settings.format, settings.sound.sampleRate, known, &out, &error);
  if (!writer) return Fail(path, error);
  const Practice& practice = settings.practice;
  std::unique_ptr<ChannelSink> channel;
  if (practice.channel()) channel = std::make_unique<ChannelSink>(practice, settings.sound.peak, settings.sound.sampleRate, writer.get());
  MorseKeyer keyer(settings.sound, timing, channel ? static_cast<SampleSink*>(channel.get()) : writer.get());
  std::unique_ptr<HandKeying> hand;
  if (practice.hand) hand = std::make_unique<HandKeying>(settings.fist, practice.seed, timing, settings.sound.sampleRate, &keyer);
  CodeSink* const codes = hand ? static_cast<CodeSink*>(hand.get()) : &keyer;
  TextCoder coder(settings.text);
  while (!ahead.empty()) {
    const std::string block = std::move(ahead.front());
    ahead.pop_front();
    aheadBytes -= block.size();
    if (!coder.Feed(block.data(), block.size(), codes)) return Fail(path, writer->error());
    while (!ended && aheadBytes < kReadAhead && !failed) readMore(&failed, &code);
    if (failed) return code;  // `out` removes the temporary file
  }
  if (!coder.Finish(codes) || (hand && !hand->Finish()) || !keyer.Finish() || (channel && !channel->Finish()) ||
      !writer->Finish()) {
    return Fail(path, writer->error());
  }
  if (!out.Commit(&error)) return Fail(path, error);
  if (counter.skipped() > 0) std::fprintf(stderr, "tolvane: %s\n", counter.Report().c_str());
  return kExitOk;
}

}  // namespace

int Encode(int argc, char** argv) {
  Arguments args;
  std::string problem;
  const bool parsed = args.Parse(argc, argv,
                                 {{"--wpm", true}, {"--unit-ms", true}, {"--farnsworth", true},
                                  {"--word-gap", true}, {"--weight", true}, {"--pitch", true},
                                  {"--volume", true}, {"--rate", true}, {"--rise-ms", true},
                                  {"--format", true}, {"--file", true}, {"--charset", true},
                                  {"--transliterate", false}, {"--strict", false}, {"--groups", true},
                                  {"--koch", true}, {"--seed", true}, {"--snr", true}, {"--fade", true},
                                  {"--fist", true}, {"--jitter", true}},
                                 &problem);
  if (!parsed) return Usage(problem);
  if (args.Has("--wpm") && args.Has("--unit-ms")) return Usage("give one of --wpm and --unit-ms, once");
  if (args.Has("--file") && args.Has("--groups")) return Usage("give one of --file and --groups");
  const bool practising = args.Has("--snr") || args.Has("--fade") || args.Has("--fist") || args.Has("--jitter");
  if (args.Has("--koch") && !args.Has("--groups")) return Usage("--koch goes with --groups");
  if (args.Has("--seed") && !args.Has("--groups") && !practising) {
    return Usage("--seed goes with --groups, --fist, --jitter, --snr or --fade");
  }
  const bool textOperand = !args.Has("--file") && !args.Has("--groups");
  if (args.operands().size() != (textOperand ? 2u : 1u)) {
    return Usage(textOperand ? "encode needs TEXT and OUTPUT" : "encode needs OUTPUT (and no TEXT) with --file or --groups");
  }
  const std::string& path = args.operands().back();

  // Units the basic recogniser can estimate: 5 to 200 ms.
  constexpr double kMinUnitMs = MIN_UNIT * 1000.0 / kSampleRate;
  constexpr double kMaxUnitMs = MAX_UNIT * 1000.0 / kSampleRate;
  EncodeSettings settings;
  double unitMs = 0, wpm = 0, farnsworth = 0, wordGap = 0, weight = 0, pitch = 0, volume = 0, rate = 0,
         riseMs = 0, groups = 0, koch = 0, seed = 0, snr = 0, fade = 0, jitter = 0;
  if (!NumberOption(args, "--unit-ms", kMinUnitMs, kMaxUnitMs, true, UNIT_MS, &unitMs, &problem) ||
      !NumberOption(args, "--wpm", 1200 / kMaxUnitMs, 1200 / kMinUnitMs, false, 0, &wpm, &problem) ||
      !NumberOption(args, "--farnsworth", 1, 240, false, 0, &farnsworth, &problem) ||
      !NumberOption(args, "--word-gap", 4, 100, false, farnsworth > 0 ? 7 : 10, &wordGap, &problem) ||
      !NumberOption(args, "--weight", 20, 80, false, 50, &weight, &problem) ||
      !NumberOption(args, "--pitch", 100, 4000, false, TONE_HZ, &pitch, &problem) ||
      !NumberOption(args, "--volume", -60, 0, false, 0, &volume, &problem) ||
      !NumberOption(args, "--rate", 8000, 192000, true, kSampleRate, &rate, &problem) ||
      !NumberOption(args, "--rise-ms", 0, 50, false, 0, &riseMs, &problem) ||
      !NumberOption(args, "--groups", 1, 1000000, true, 0, &groups, &problem) ||
      !NumberOption(args, "--koch", 2, 41, true, 41, &koch, &problem) ||
      !NumberOption(args, "--seed", 0, 9007199254740992.0, true, -1, &seed, &problem) ||
      !NumberOption(args, "--snr", -30, 60, false, 0, &snr, &problem) ||
      !NumberOption(args, "--fade", 0.01, 20, false, 0, &fade, &problem) ||
      !NumberOption(args, "--jitter", 0, 0.5, false, -1, &jitter, &problem)) {
    return Usage(problem);
  }
  const double unitSeconds = wpm > 0 ? 1.2 / wpm : unitMs / 1000;
  settings.rules.unitSeconds = unitSeconds;
  settings.rules.farnsworthWpm = farnsworth;
  settings.rules.wordGapUnits = wordGap;
  settings.rules.weightPercent = weight;
  if (farnsworth > 1.2 / unitSeconds) return Usage("--farnsworth must not be faster than the letters (--wpm)");
  if (farnsworth > 0 && wordGap != 7) return Usage("--farnsworth keeps the standard word gap: --word-gap 7");
  settings.sound.sampleRate = static_cast<int>(rate);
  settings.sound.pitchHz = pitch;
  if (args.Has("--volume")) settings.sound.peak = 32767 * std::pow(10.0, volume / 20);
  settings.sound.riseSeconds = riseMs / 1000;
  if (pitch >= rate / 2) return Usage("--pitch must be below half the --rate");
  const double dotMs = unitSeconds * 1000 * weight / 50;
  if (2 * riseMs > dotMs) {
    char text[160];
    std::snprintf(text, sizeof text, "--rise-ms %g does not fit twice in a dot (%.1f ms at this speed and weight)",
                  riseMs, dotMs);
    return Usage(text);
  }
  if (const std::string* name = args.Value("--charset"); name && !ParseCharset(name->c_str(), &settings.text.charset)) {
    return Usage("--charset takes basic, latin, cyrillic, greek, hebrew or arabic, not '" + *name + "'");
  }
  settings.text.transliterate = args.Has("--transliterate");
  settings.strict = args.Has("--strict");
  if (const std::string* name = args.Value("--format")) {
    if (!ParseFormat(*name, &settings.format)) return Usage("--format takes wav, flac, ogg, opus or mp3, not '" + *name + "'");
  } else if (!FormatOfPath(path, &settings.format)) {
    return Usage("cannot tell the format of " + path + " from its name; give --format wav, flac, ogg, opus or mp3");
  }
  if (path == "-" && settings.format != AudioFormat::kWav) return Usage("standard output takes WAV only");
  if (const std::string why = CheckFormat(settings.format, settings.sound.sampleRate); !why.empty()) {
    return Fail(path, why);
  }

  Practice& practice = settings.practice;
  practice.seed = seed >= 0 ? static_cast<std::uint64_t>(seed) : std::random_device{}();
  if (const std::string* name = args.Value("--fist"); name && !sim::ParseFistKind(*name, &practice.fist)) {
    return Usage("--fist takes machine, straight, bug or paddle, not '" + *name + "'");
  }
  if (practice.fist != sim::FistKind::kMachine && (args.Has("--weight") || args.Has("--word-gap"))) {
    return Usage("--weight and --word-gap time a machine; --fist " + *args.Value("--fist") +
                 " draws an operator with a weight and spacing of its own");
  }
  practice.hand = args.Has("--fist") || args.Has("--jitter");
  practice.jitter = jitter;
  practice.noise = args.Has("--snr");
  practice.snrDb = snr;
  practice.fadeHz = fade;
  if (practice.hand) {
    settings.fist = PracticeFist(practice, MakeTiming(settings.rules, settings.sound.sampleRate), unitSeconds,
                                 settings.sound.sampleRate, farnsworth);
  }
  if (practice.channel()) settings.sound.peak = PracticePeak(practice, settings.sound.peak);

  InstallOutputSignalHandlers();
  const std::string& operand = args.operands().front();
  if (args.Has("--groups")) {
    KochGroups source(static_cast<std::int64_t>(groups), static_cast<int>(koch), practice.seed);
    settings.text.spacing = Spacing::kCollapse;
    return Run(&source, "--groups", settings, path);
  }
  if (textOperand && operand != "-") {
    StringSource source(operand);
    return Run(&source, "TEXT", settings, path);
  }
  const std::string file = textOperand ? "-" : *args.Value("--file");
  const std::string fileName = file == "-" ? "standard input" : file;
  FileSource source;
  std::string error;
  if (!source.Open(file, &error)) return Fail(fileName, error);
  settings.text.spacing = Spacing::kCollapse;
  return Run(&source, fileName, settings, path);
}

}  // namespace tolvane::tool
