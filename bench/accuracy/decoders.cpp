#include "decoders.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "recogniser/recogniser.h"
#include "robust/robust.h"
#include "sim/sim.h"

namespace accuracy {
namespace {

std::string FldigiScript() { return std::string(TOLVANE_SOURCE_DIR) + "/bench/fldigi_decode.py"; }

// Runs `command` with a scratch WAV of `samples` in place of {}, returning
// what it prints.
std::string RunOnWav(const std::vector<std::int16_t>& samples, const std::string& before, const std::string& after) {
  char path[] = "/tmp/tolvane-accuracy-XXXXXX.wav";
  const int fd = mkstemps(path, 4);
  if (fd < 0) return "";
  close(fd);
  std::string out;
  if (WriteWav(path, samples, 8000)) {
    const std::string command = before + " '" + path + "'" + after;
    if (std::FILE* p = popen(command.c_str(), "r")) {
      char buffer[4096];
      std::size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
      pclose(p);
    }
  }
  std::remove(path);
  return out;
}

}  // namespace

const char* DecoderName(Decoder decoder) {
  switch (decoder) {
    case Decoder::kRobust: return "robust";
    case Decoder::kBasic: return "basic";
    case Decoder::kMultimon: return "multimon-ng";
    case Decoder::kFldigi: return "fldigi";
  }
  return "?";
}

bool Available(Decoder decoder) {
  switch (decoder) {
    case Decoder::kMultimon: return std::system("command -v multimon-ng >/dev/null 2>&1") == 0;
    case Decoder::kFldigi: return access(FldigiScript().c_str(), R_OK) == 0;
    default: return true;
  }
}

std::vector<std::int16_t> ToPcm8000(const std::vector<float>& audio, double rate) {
  const std::vector<float> at8000 = rate == 8000 ? audio : tolvane::sim::Resample(audio, rate, 8000);
  std::vector<std::int16_t> out(at8000.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::int16_t>(std::clamp(std::lround(at8000[i] * 32768.0), -32768L, 32767L));
  }
  return out;
}

// The streaming recogniser on the audio as it is, at its own rate, told the
// wanted pitch when there is one.
std::string Robust(const std::vector<float>& audio, double rate, double pitchHz) {
  tolvane::RobustOptions options;
  options.sampleRate = rate;
  options.pitchGiven = pitchHz > 0;
  options.pitchHz = pitchHz;
  tolvane::RobustDecoder decoder(options);
  decoder.Push(audio.data(), audio.size());
  decoder.Flush();
  std::vector<tolvane::RobustEvent> events;
  decoder.Take(&events);
  std::string text;
  for (const tolvane::RobustEvent& e : events) {
    if (e.wordGap || e.lineEnd) {
      if (!text.empty() && text.back() != ' ') text += ' ';
      continue;
    }
    text += e.text;
  }
  return text;
}

std::string Decode(Decoder decoder, const std::vector<float>& audio, double rate, double pitchHz) {
  if (decoder == Decoder::kRobust) return Robust(audio, rate, pitchHz);
  // The others read 8000 Hz 16-bit files; of them only fldigi can be told
  // a pitch (its carrier, where its AFC starts).
  const std::vector<std::int16_t> pcm = ToPcm8000(audio, rate);
  const std::string pitch = pitchHz > 0 ? " --pitch " + std::to_string(static_cast<int>(std::lround(pitchHz))) : "";
  std::string text;
  switch (decoder) {
    case Decoder::kRobust: break;
    case Decoder::kBasic: tolvane::DecodeSamples(pcm.data(), pcm.size(), &text); break;
    case Decoder::kMultimon: text = RunOnWav(pcm, "multimon-ng -t wav -a MORSE_CW -q", " 2>/dev/null"); break;
    case Decoder::kFldigi: text = RunOnWav(pcm, "python3 '" + FldigiScript() + "'" + pitch, " 2>/dev/null"); break;
  }
  return text;
}

bool WriteWav(const std::string& path, const std::vector<std::int16_t>& samples, std::uint32_t rate) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  auto u32 = [f](std::uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    std::fwrite(b, 1, 4, f);
  };
  auto u16 = [f](std::uint16_t v) {
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    std::fwrite(b, 1, 2, f);
  };
  const auto bytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::fwrite("RIFF", 1, 4, f);
  u32(bytes + 36);
  std::fwrite("WAVEfmt ", 1, 8, f);
  u32(16);
  u16(1);
  u16(1);
  u32(rate);
  u32(rate * 2);
  u16(2);
  u16(16);
  std::fwrite("data", 1, 4, f);
  u32(bytes);
  for (std::int16_t s : samples) u16(static_cast<std::uint16_t>(s));
  return std::fclose(f) == 0;
}

}  // namespace accuracy
