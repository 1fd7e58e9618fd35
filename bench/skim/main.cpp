// skim_bench: the skimmer on simulated bands, scored against what each
// station sent; or such a band written out for the tool to read.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "band.h"
#include "harness.h"

namespace {

using namespace skimbench;

const char kUsage[] =
    "usage: skim_bench [--quick] [--check] [--only TEXT] [--seconds S] [--quiet-seconds S] [--seed N] [-v]\n"
    "       skim_bench --write audio|iq|pair|noise|hum|carriers|sweep|speech|iq-noise|iq-carriers\n"
    "                  [--seconds S] [--stations N] [--seed N] [--truth FILE]\n"
    "\n"
    "  The table: a 3 kHz audio band of 20 stations, 48 kHz I/Q with 100, two\n"
    "  stations 80 Hz apart one 20 dB under the other, and bands with no station\n"
    "  (noise, hum, carriers, a sweep, speech). --quick shortens every row (for CI);\n"
    "  --check then exits 1 when a target is missed. -v prints each station.\n"
    "  --write streams a band to standard output as 32-bit float samples (I/Q\n"
    "  pairs for the I/Q bands), for `tolvane skim --raw RATE --raw-format f32`;\n"
    "  --truth writes what each station sent.\n";

struct Settings {
  bool quick = false, check = false, verbose = false;
  std::string only;
  double seconds = 0, quietSeconds = 0;
  int stations = 0;
  std::uint64_t seed = 1000;
};

double Mean(const std::vector<StationScore>& s) {
  double sum = 0;
  for (const StationScore& x : s) sum += x.cer;
  return s.empty() ? 0 : sum / static_cast<double>(s.size());
}

const StationScore* Worst(const std::vector<StationScore>& s) {
  const StationScore* w = nullptr;
  for (const StationScore& x : s) {
    if (w == nullptr || x.cer > w->cer) w = &x;
  }
  return w;
}

Band Named(const std::string& kind, const Settings& o, double seconds) {
  if (kind == "audio") return AudioBand(o.seed, o.stations > 0 ? o.stations : 20, seconds);
  if (kind == "iq") return IqBand(o.seed, o.stations > 0 ? o.stations : 100, seconds, 48000);
  if (kind == "pair") return Pair(o.seed, 80, 30, 10, seconds);
  if (kind.rfind("iq-", 0) == 0) return Quiet(o.seed, kind.substr(3), seconds, true);
  return Quiet(o.seed, kind, seconds, false);
}

int Write(int argc, char** argv) {
  Settings o;
  std::string kind, truth;
  double seconds = 120;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--write" && i + 1 < argc) kind = argv[++i];
    else if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (a == "--stations" && i + 1 < argc) o.stations = std::atoi(argv[++i]);
    else if (a == "--seed" && i + 1 < argc) o.seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--truth" && i + 1 < argc) truth = argv[++i];
    else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  const Band band = Named(kind, o, seconds);
  BandRenderer renderer(band);
  std::vector<float> block(8192 * 2);
  while (true) {
    const std::size_t n = renderer.Render(block.data(), 8192);
    if (n == 0) break;
    const std::size_t values = n * (band.iq ? 2 : 1);
    // Unit-power noise, so a sample of about 0.01 keeps everything in range.
    for (std::size_t i = 0; i < values; ++i) block[i] *= 0.01f;
    if (std::fwrite(block.data(), sizeof(float), values, stdout) != values) return 1;
  }
  if (!truth.empty()) {
    FILE* f = std::fopen(truth.c_str(), "w");
    if (f == nullptr) return 1;
    std::fputs(DescribeTruth(band, renderer).c_str(), f);
    std::fclose(f);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--write") == 0) return Write(argc, argv);
  }
  Settings o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") o.quick = true;
    else if (a == "--check") o.check = true;
    else if (a == "-v") o.verbose = true;
    else if (a == "--only" && i + 1 < argc) o.only = argv[++i];
    else if (a == "--seconds" && i + 1 < argc) o.seconds = std::atof(argv[++i]);
    else if (a == "--quiet-seconds" && i + 1 < argc) o.quietSeconds = std::atof(argv[++i]);
    else if (a == "--seed" && i + 1 < argc) o.seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  const double seconds = o.seconds > 0 ? o.seconds : o.quick ? 60 : 240;
  const double quiet = o.quietSeconds > 0 ? o.quietSeconds : o.quick ? 60 : 3600;
  struct Row {
    std::string name, kind;
    double seconds;
    double cerLimit;  // each station's, or < 0: no stations
  };
  const std::vector<Row> rows = {
      {"3 kHz audio band, 20 stations, 8 kHz", "audio", seconds, 0.03},
      {"48 kHz I/Q, 100 stations", "iq", o.quick ? seconds / 2 : seconds, 0.05},
      {"two stations 80 Hz apart, +30 and +10 dB", "pair", seconds, 0.05},
      {"no signal: noise", "noise", quiet, -1},
      {"no signal: hum", "hum", quiet, -1},
      {"no signal: carriers", "carriers", quiet, -1},
      {"no signal: sweep", "sweep", quiet, -1},
      {"no signal: speech", "speech", quiet, -1},
      {"no signal: I/Q noise and carriers", "iq-carriers", o.quick ? quiet / 4 : quiet / 6, -1},
  };
  std::printf("| band | audio | mean CER | worst station | CQ callers spotted | wrong spots | stray chars | x real time | memory |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  bool pass = true;
  for (const Row& row : rows) {
    if (!o.only.empty() && row.name.find(o.only) == std::string::npos && row.kind != o.only) continue;
    const Band band = Named(row.kind, o, row.seconds);
    const BandScore s = RunBand(band);
    const StationScore* worst = Worst(s.stations);
    char worstText[96] = "-";
    if (worst != nullptr) {
      std::snprintf(worstText, sizeof worstText, "%.1f %% (%s, %.0f WPM, %+.0f dB)", 100 * worst->cer, worst->call.c_str(),
                    worst->wpm, worst->snrDb);
    }
    const double hours = s.audioSeconds / 3600;
    char stray[48];
    if (row.cerLimit < 0) {
      std::snprintf(stray, sizeof stray, "%zu (%.1f per hour)", s.strayChars, static_cast<double>(s.strayChars) / hours);
    } else {
      std::snprintf(stray, sizeof stray, "%zu", s.strayChars);
    }
    std::printf("| %s | %.0f s | %s | %s | %d of %d | %d of %d | %s | %.1f | %.1f MB |\n", row.name.c_str(), s.audioSeconds,
                s.stations.empty() ? "-" : (std::to_string(static_cast<int>(1000 * Mean(s.stations) + 0.5) / 10.0).substr(0, 4) + " %").c_str(),
                worstText, s.spottedRight, s.cqCallers, s.wrongSpots, s.spots, stray,
                s.audioSeconds / std::max(1e-9, s.cpuSeconds), static_cast<double>(s.peakBytes) / 1e6);
    std::fflush(stdout);
    if (o.verbose) {
      for (const StationScore& x : s.stations) {
        std::printf("    %8.1f Hz %-11s %4.1f WPM %+5.1f dB  CER %5.1f %%\n      sent: %s\n      read: %s\n", x.offsetHz,
                    x.call.c_str(), x.wpm, x.snrDb, 100 * x.cer, x.sent.c_str(), x.read.c_str());
      }
      for (const std::string& w : s.wrong) std::printf("    wrong spot: %s\n", w.c_str());
    }
    if (row.cerLimit >= 0) {
      for (const StationScore& x : s.stations) pass = pass && x.cer <= row.cerLimit;
      if (row.kind == "audio") {
        pass = pass && s.spottedRight >= 0.95 * s.cqCallers && s.wrongSpots <= 0.01 * s.spots;
      }
    } else {
      pass = pass && s.spots == 0 && static_cast<double>(s.strayChars) <= 6 * std::max(1.0, hours);
    }
  }
  if (o.check && !pass) {
    std::printf("skim_bench: a target was missed\n");
    return 1;
  }
  return 0;
}
