// The page's window on the core: the streaming recogniser and the keyer
// behind plain C functions, with results as JSON text, so the JavaScript
// side needs no generated glue beyond Emscripten's own.
#include "tolvane_web.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "keyer/keyer.h"
#include "morse/morse.h"
#include "robust/robust.h"

namespace {

using tolvane::RobustDecoder;
using tolvane::RobustEvent;

// Keyed audio is held whole for the page; past this (70 minutes at 8 kHz)
// a browser tab would run short of memory.
constexpr std::size_t kMaxKeySamples = std::size_t{1} << 25;

// JSON has no nan or infinity; JSON.parse would throw on them.
void AppendNumber(std::string* out, double value) {
  if (!std::isfinite(value)) {
    *out += "null";
    return;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  *out += text;
}

void AppendString(std::string* out, const std::string& value) {
  *out += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char text[8];
      std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(c));
      *out += text;
    } else {
      *out += c;
    }
  }
  *out += '"';
}

void AppendEvent(std::string* out, const RobustEvent& e) {
  *out += "{\"wordGap\":";
  *out += e.wordGap ? "true" : "false";
  *out += ",\"start\":";
  AppendNumber(out, e.start);
  *out += ",\"time\":";
  AppendNumber(out, e.time);
  *out += ",\"text\":";
  AppendString(out, e.text);
  *out += ",\"code\":";
  AppendString(out, e.code);
  *out += ",\"confidence\":";
  AppendNumber(out, e.confidence);
  *out += ",\"pitchHz\":";
  AppendNumber(out, e.pitchHz);
  *out += ",\"wpm\":";
  AppendNumber(out, e.wpm);
  *out += ",\"snrDb\":";
  AppendNumber(out, e.snrDb);
  *out += '}';
}

// Counts and names what the text could not key, and passes the rest on.
class SkipCounter : public tolvane::CodeSink {
 public:
  explicit SkipCounter(tolvane::CodeSink* next) : next_(next) {}
  bool Character(const char* code) override { return next_->Character(code); }
  bool WordGap() override { return next_->WordGap(); }
  void Skipped(char32_t c) override {
    ++count_;
    if (seen_.size() < kShown && std::find(seen_.begin(), seen_.end(), c) == seen_.end()) seen_.push_back(c);
  }
  std::string Json() const {
    std::string out = "{\"count\":" + std::to_string(count_) + ",\"characters\":[";
    for (std::size_t i = 0; i < seen_.size(); ++i) {
      if (i > 0) out += ',';
      AppendString(&out, Utf8(seen_[i]));
    }
    return out + "]}";
  }

 private:
  static constexpr std::size_t kShown = 10;

  static std::string Utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
  }

  tolvane::CodeSink* next_;
  std::uint64_t count_ = 0;
  std::vector<char32_t> seen_;
};

class VectorSink : public tolvane::SampleSink {
 public:
  explicit VectorSink(std::vector<std::int16_t>* out) : out_(out) {}
  bool Write(const std::int16_t* samples, std::size_t count) override {
    out_->insert(out_->end(), samples, samples + count);
    return true;
  }

 private:
  std::vector<std::int16_t>* out_;
};

struct KeyState {
  std::vector<std::int16_t> samples;
  std::string error;
  std::string skipped = "{\"count\":0,\"characters\":[]}";
};

KeyState& Keyed() {
  static KeyState state;
  return state;
}

int KeyFailed(const std::string& why) {
  KeyState& state = Keyed();
  state.samples.clear();
  state.samples.shrink_to_fit();
  state.error = why;
  state.skipped = "{\"count\":0,\"characters\":[]}";
  return -1;
}

std::string Range(const char* name, double lo, double hi) {
  char text[96];
  std::snprintf(text, sizeof text, "%s must be from %g to %g", name, lo, hi);
  return text;
}

bool Within(double value, double lo, double hi) { return std::isfinite(value) && value >= lo && value <= hi; }

}  // namespace

struct TvDecoder {
  explicit TvDecoder(const tolvane::RobustOptions& options) : engine(options) {}
  RobustDecoder engine;
  std::vector<float> input;
  std::vector<RobustEvent> events;
  std::string json;
};

extern "C" {

TvDecoder* tv_decoder_new(double sampleRate, double pitchHz, double bandLoHz, double bandHiHz) {
  if (!Within(sampleRate, 1000, 768000)) return nullptr;
  if (!Within(pitchHz, 0, sampleRate / 2) || pitchHz >= sampleRate / 2 || !Within(bandLoHz, 0, sampleRate / 2) ||
      !Within(bandHiHz, 0, sampleRate / 2) || (bandHiHz > 0 && bandHiHz <= bandLoHz)) {
    return nullptr;
  }
  tolvane::RobustOptions options;
  options.sampleRate = sampleRate;
  options.pitchGiven = pitchHz > 0;
  options.pitchHz = pitchHz;
  options.bandLoHz = bandLoHz;
  options.bandHiHz = bandHiHz;
  return new TvDecoder(options);
}

void tv_decoder_free(TvDecoder* decoder) { delete decoder; }

float* tv_decoder_input(TvDecoder* decoder, int count) {
  if (count < 0) return nullptr;
  if (decoder->input.size() < static_cast<std::size_t>(count)) decoder->input.resize(static_cast<std::size_t>(count));
  return decoder->input.data();
}

void tv_decoder_push(TvDecoder* decoder, int count) {
  const std::size_t n = std::min(decoder->input.size(), static_cast<std::size_t>(std::max(count, 0)));
  // Web Audio's -1 to 1 in 16-bit steps, the numbers the native tool
  // pushes for a 16-bit recording: the engine takes any scale, but its
  // rounding is not quite the same at every scale, and the page should
  // read a file as the tool does.
  for (std::size_t i = 0; i < n; ++i) decoder->input[i] *= 32768.0f;
  decoder->engine.Push(decoder->input.data(), n);
}

void tv_decoder_flush(TvDecoder* decoder) { decoder->engine.Flush(); }

const char* tv_decoder_take(TvDecoder* decoder) {
  decoder->events.clear();
  decoder->engine.Take(&decoder->events);
  std::string& out = decoder->json;
  out = "[";
  for (std::size_t i = 0; i < decoder->events.size(); ++i) {
    if (i > 0) out += ',';
    AppendEvent(&out, decoder->events[i]);
  }
  out += ']';
  return out.c_str();
}

const char* tv_decoder_status(TvDecoder* decoder) {
  const tolvane::RobustStatus s = decoder->engine.status();
  std::string& out = decoder->json;
  out = "{\"locked\":";
  out += s.locked ? "true" : "false";
  out += ",\"open\":";
  out += s.open ? "true" : "false";
  out += ",\"pitchHz\":";
  AppendNumber(&out, s.pitchHz);
  out += ",\"wpm\":";
  AppendNumber(&out, s.wpm);
  out += ",\"snrDb\":";
  AppendNumber(&out, s.snrDb);
  out += ",\"characters\":";
  AppendNumber(&out, static_cast<double>(s.characters));
  out += '}';
  return out.c_str();
}

int tv_key(const char* text, double wpm, double farnsworthWpm, double wordGapUnits, double weightPercent,
           double pitchHz, double volumeDb, int sampleRate, double riseMs, const char* charset,
           int transliterate, int collapse) {
  // The ranges and rules of tolvane encode.
  if (!Within(wpm, 6, 240)) return KeyFailed(Range("speed", 6, 240));
  if (!Within(farnsworthWpm, 0, 240) || (farnsworthWpm > 0 && farnsworthWpm < 1)) {
    return KeyFailed(Range("Farnsworth speed", 1, 240));
  }
  if (farnsworthWpm > wpm) return KeyFailed("Farnsworth speed must not be faster than the letters");
  if (wordGapUnits == 0) wordGapUnits = farnsworthWpm > 0 ? 7 : 10;
  if (!Within(wordGapUnits, 4, 100)) return KeyFailed(Range("word gap", 4, 100));
  if (farnsworthWpm > 0 && wordGapUnits != 7) return KeyFailed("Farnsworth keeps the standard word gap of 7 units");
  if (!Within(weightPercent, 20, 80)) return KeyFailed(Range("weight", 20, 80));
  if (sampleRate < 8000 || sampleRate > 192000) return KeyFailed(Range("rate", 8000, 192000));
  if (!Within(pitchHz, 100, 4000)) return KeyFailed(Range("pitch", 100, 4000));
  if (pitchHz >= sampleRate / 2.0) return KeyFailed("pitch must be below half the rate");
  if (!(volumeDb > 0) && !Within(volumeDb, -60, 0)) return KeyFailed(Range("volume", -60, 0));
  if (!Within(riseMs, 0, 50)) return KeyFailed(Range("rise time", 0, 50));
  const double unitSeconds = 1.2 / wpm;
  const double dotMs = unitSeconds * 1000 * weightPercent / 50;
  if (2 * riseMs > dotMs) {
    char why[128];
    std::snprintf(why, sizeof why, "rise time %g ms does not fit twice in a dot (%.1f ms at this speed)", riseMs,
                  dotMs);
    return KeyFailed(why);
  }
  tolvane::TextOptions textOptions;
  if (!tolvane::ParseCharset(charset, &textOptions.charset)) return KeyFailed("unknown charset");
  textOptions.transliterate = transliterate != 0;
  textOptions.spacing = collapse != 0 ? tolvane::Spacing::kCollapse : tolvane::Spacing::kEachSpace;

  tolvane::KeyingSound sound;
  sound.sampleRate = sampleRate;
  sound.pitchHz = pitchHz;
  if (!(volumeDb > 0)) sound.peak = 32767 * std::pow(10.0, volumeDb / 20);
  sound.riseSeconds = riseMs / 1000;
  tolvane::TimingRules rules;
  rules.unitSeconds = unitSeconds;
  rules.farnsworthWpm = farnsworthWpm;
  rules.wordGapUnits = wordGapUnits;
  rules.weightPercent = weightPercent;
  const tolvane::KeyingTiming timing = tolvane::MakeTiming(rules, sampleRate);
  const std::size_t length = std::strlen(text);

  // Counted first, so a text too long for the tab is refused before any
  // memory is taken for it.
  tolvane::MorseKeyer counter(sound, timing, nullptr);
  tolvane::TextCoder counting(textOptions);
  counting.Feed(text, length, &counter);
  counting.Finish(&counter);
  if (counter.samples() > kMaxKeySamples) return KeyFailed("the text is too long to key here");

  KeyState& state = Keyed();
  state.samples.clear();
  state.samples.reserve(static_cast<std::size_t>(counter.samples()));
  VectorSink sink(&state.samples);
  tolvane::MorseKeyer keyer(sound, timing, &sink);
  SkipCounter skips(&keyer);
  tolvane::TextCoder coder(textOptions);
  coder.Feed(text, length, &skips);
  coder.Finish(&skips);
  keyer.Finish();
  state.error.clear();
  state.skipped = skips.Json();
  return static_cast<int>(state.samples.size());
}

const std::int16_t* tv_key_samples(void) { return Keyed().samples.data(); }

const char* tv_key_error(void) { return Keyed().error.c_str(); }

const char* tv_key_skipped(void) { return Keyed().skipped.c_str(); }

}  // extern "C"
