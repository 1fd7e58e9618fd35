// Character error rates of the robust recogniser, the specified recogniser
// and multimon-ng, side by side, on the same synthesised recordings.
//
// usage: accuracy [--quick] [--check] [--seeds N] [--no-multimon] [--only TEXT]
//        accuracy --write OUT.wav [--wpm N] [--farnsworth N] [--pitch HZ]
//                 [--jitter F] [--fade F] [--snr DB] [--seed N] TEXT
//
// --quick runs a short set (for CI); --check exits 1 if a clean recording
// is not read exactly by the robust recogniser or if its error rate at
// -6 dB exceeds 1 %. --write only synthesises one file.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "recogniser/recogniser.h"
#include "sim/sim.h"

namespace {

using tolvane::sim::Signal;

std::string Normal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Edit distance over the reference's length.
double ErrorRate(const std::string& reference, const std::string& hypothesis) {
  const std::string a = Normal(reference);
  const std::string b = Normal(hypothesis);
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitute = diagonal + (a[i - 1] != b[j - 1] ? 1 : 0);
      diagonal = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitute});
    }
  }
  return static_cast<double>(row[b.size()]) / static_cast<double>(std::max<std::size_t>(1, a.size()));
}

bool WriteWav(const std::string& path, const std::vector<std::int16_t>& samples) {
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
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  std::fwrite("data", 1, 4, f);
  u32(bytes);
  for (std::int16_t s : samples) u16(static_cast<std::uint16_t>(s));
  return std::fclose(f) == 0;
}

std::string MultimonNg(const std::vector<std::int16_t>& samples) {
  char path[] = "/tmp/tolvane-accuracy-XXXXXX.wav";
  const int fd = mkstemps(path, 4);
  if (fd < 0) return "";
  close(fd);
  std::string out;
  if (WriteWav(path, samples)) {
    const std::string command = std::string("multimon-ng -t wav -a MORSE_CW -q '") + path + "' 2>/dev/null";
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

struct Condition {
  std::string name;
  std::string group;  // "clean", "noise", ...
  std::function<void(Signal*)> set;
};

std::vector<Condition> Conditions(bool quick) {
  std::vector<Condition> c;
  auto add = [&](std::string name, std::string group, std::function<void(Signal*)> set) {
    c.push_back({std::move(name), std::move(group), std::move(set)});
  };
  const std::vector<double> speeds = quick ? std::vector<double>{5, 20, 60}
                                           : std::vector<double>{5, 10, 15, 20, 25, 30, 40, 50, 60};
  for (double wpm : speeds) {
    add("clean, " + std::to_string(static_cast<int>(wpm)) + " WPM", "clean", [wpm](Signal* s) { s->wpm = wpm; });
  }
  const std::vector<double> pitches = quick ? std::vector<double>{300, 2000}
                                            : std::vector<double>{300, 450, 800, 1200, 1600, 2000};
  for (double hz : pitches) {
    add("clean, " + std::to_string(static_cast<int>(hz)) + " Hz", "clean", [hz](Signal* s) { s->pitchHz = hz; });
  }
  const std::vector<std::pair<double, double>> farnsworth =
      quick ? std::vector<std::pair<double, double>>{{25, 5}, {20, 15}}
            : std::vector<std::pair<double, double>>{{25, 5}, {20, 5}, {18, 8}, {20, 10}, {20, 15}};
  for (auto [chars, overall] : farnsworth) {
    add("clean, Farnsworth " + std::to_string(static_cast<int>(chars)) + "/" +
            std::to_string(static_cast<int>(overall)) + " WPM",
        "clean", [chars = chars, overall = overall](Signal* s) {
          s->wpm = chars;
          s->farnsworth = overall;
        });
  }
  for (double j : quick ? std::vector<double>{0.25} : std::vector<double>{0.1, 0.25}) {
    add("clean, jitter +-" + std::to_string(static_cast<int>(j * 100)) + " %", "clean",
        [j](Signal* s) { s->jitter = j; });
  }
  add("clean, fading to 10 %", "clean", [](Signal* s) { s->fadeDepth = 0.1; });
  add("clean, each tone at a new phase", "clean", [](Signal* s) { s->freshPhase = true; });
  add("clean, no lead or trail silence", "clean", [](Signal* s) {
    s->leadS = 0;
    s->trailS = 0;
  });
  add("clean, 5 s lead and trail silence", "clean", [](Signal* s) {
    s->leadS = 5;
    s->trailS = 5;
  });
  add("speed change 15 -> 30 WPM", "change", [](Signal* s) {
    s->wpm = 15;
    s->speedChangeWpm = 30;
  });
  const std::vector<double> snrs = quick ? std::vector<double>{-6}
                                         : std::vector<double>{10, 6, 3, 0, -3, -6, -8, -10, -12};
  for (double snr : snrs) {
    char name[64];
    std::snprintf(name, sizeof name, "white noise, SNR %+d dB", static_cast<int>(snr));
    add(name, snr == -6 ? "noise-6" : "noise", [snr](Signal* s) {
      s->noise = true;
      s->snrDb = snr;
    });
  }
  if (!quick) {
    for (double snr : {-6.0, -10.0}) {
      char name[64];
      std::snprintf(name, sizeof name, "white noise, SNR %+d dB, each tone at a new phase", static_cast<int>(snr));
      add(name, "noise", [snr](Signal* s) {
        s->noise = true;
        s->snrDb = snr;
        s->freshPhase = true;
      });
    }
  }
  return c;
}

int Write(int argc, char** argv) {
  Signal s;
  std::string out;
  std::string text;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() { return i + 1 < argc ? std::atof(argv[++i]) : 0.0; };
    if (a == "--write" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--wpm") {
      s.wpm = value();
    } else if (a == "--farnsworth") {
      s.farnsworth = value();
    } else if (a == "--pitch") {
      s.pitchHz = value();
    } else if (a == "--jitter") {
      s.jitter = value();
    } else if (a == "--fade") {
      s.fadeDepth = value();
    } else if (a == "--snr") {
      s.noise = true;
      s.snrDb = value();
    } else if (a == "--seed") {
      s.seed = static_cast<std::uint32_t>(value());
    } else if (a == "--trail") {
      s.trailS = value();
    } else {
      text = a;
    }
  }
  if (out.empty() || text.empty()) {
    std::fprintf(stderr, "usage: accuracy --write OUT.wav [options] TEXT\n");
    return 2;
  }
  return WriteWav(out, tolvane::sim::Synthesize(text, s)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  bool check = false;
  bool multimon = true;
  int seeds = 0;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--write") return Write(argc, argv);
    if (a == "--quick") {
      quick = true;
    } else if (a == "--check") {
      check = true;
    } else if (a == "--no-multimon") {
      multimon = false;
    } else if (a == "--seeds" && i + 1 < argc) {
      seeds = std::atoi(argv[++i]);
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: accuracy [--quick] [--check] [--seeds N] [--no-multimon] [--only TEXT]\n");
      return 2;
    }
  }
  if (seeds <= 0) seeds = quick ? 3 : 8;
  if (multimon && std::system("command -v multimon-ng >/dev/null 2>&1") != 0) multimon = false;

  std::printf("Character error rate (edit distance over length), %d texts of 60+ random characters each;\n"
              "20 WPM and 600 Hz unless stated; SNR is key-down tone power over noise power in 2500 Hz.\n\n",
              seeds);
  std::printf("| recording | robust | specified | multimon-ng |\n|---|---|---|---|\n");
  bool failed = false;
  for (const Condition& condition : Conditions(quick)) {
    if (!only.empty() && condition.name.find(only) == std::string::npos) continue;
    double robust = 0;
    double specified = 0;
    double theirs = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
      Signal s;
      s.seed = static_cast<std::uint32_t>(seed * 7919 + 13);
      condition.set(&s);
      const std::string text = tolvane::sim::RandomText(60, static_cast<std::uint32_t>(seed));
      // multimon-ng needs some silence after the end to finish its last character.
      s.trailS = std::max(s.trailS, multimon ? 1.0 : s.trailS);
      const std::vector<std::int16_t> samples = tolvane::sim::Synthesize(text, s);
      std::string ours;
      tolvane::DecodeRobust(samples.data(), samples.size(), &ours);
      std::string plain;
      tolvane::DecodeSamples(samples.data(), samples.size(), &plain);
      robust += ErrorRate(text, ours);
      if (std::getenv("ACCURACY_VERBOSE")) {
        std::printf("  seed %d: %.1f %%\n    %s\n    %s\n", seed, 100 * ErrorRate(text, ours), Normal(text).c_str(), ours.c_str());
      }
      specified += ErrorRate(text, plain);
      if (multimon) theirs += ErrorRate(text, MultimonNg(samples));
    }
    robust /= seeds;
    specified /= seeds;
    theirs /= seeds;
    char theirsText[32] = "-";
    if (multimon) std::snprintf(theirsText, sizeof theirsText, "%.1f %%", 100 * theirs);
    std::printf("| %s | %.1f %% | %.1f %% | %s |\n", condition.name.c_str(), 100 * robust, 100 * specified,
                theirsText);
    std::fflush(stdout);
    if ((condition.group == "clean" && robust > 0) || (condition.group == "noise-6" && robust > 0.01)) {
      failed = true;
    }
  }
  if (check && failed) {
    std::printf("\nFAILED: a clean recording was misread, or the -6 dB rate exceeds 1 %%\n");
    return 1;
  }
  return 0;
}
