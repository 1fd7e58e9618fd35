// Character error rates of the robust recogniser, the basic recogniser,
// multimon-ng and (when asked) fldigi, side by side on the same simulated
// recordings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "suites.h"

namespace {

const char kUsage[] =
    "usage: accuracy [--suite classic|band] [--quick] [--check] [--seeds N] [--tune]\n"
    "                [--no-multimon] [--fldigi] [--only TEXT]\n"
    "       accuracy --write OUT.wav [simulator options] TEXT   (accuracy --write --help lists them)\n"
    "\n"
    "  --suite classic  machine keying, clean and in white noise (the default)\n"
    "  --suite band     hand fists, fading, two-path channels, static and AGC, pauses,\n"
    "                   an interferer, short messages after a pause\n"
    "  --seeds N        texts per row (classic: 8, --quick 3; band: 8)\n"
    "  --tune           use seeds 1..N, the ones a recogniser may be tuned on; without it\n"
    "                   every report uses seeds from 1000 up, which are never used for tuning\n"
    "  --quick          a short classic run (for CI); --check exits 1 if a clean recording\n"
    "                   is misread by the robust recogniser or its -6 dB rate passes 1 %\n"
    "  --fldigi         add fldigi's column (through bench/fldigi_decode.py, when present)\n"
    "  --only TEXT      only rows whose name contains TEXT\n";

}  // namespace

int main(int argc, char** argv) {
  accuracy::Options options;
  std::string suite = "classic";
  bool multimon = true;
  bool fldigi = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--write") return accuracy::WriteOne(argc, argv);
    if (a == "--quick") {
      options.quick = true;
    } else if (a == "--check") {
      options.check = true;
    } else if (a == "--tune") {
      options.tune = true;
    } else if (a == "--no-multimon") {
      multimon = false;
    } else if (a == "--fldigi") {
      fldigi = true;
    } else if (a == "--seeds" && i + 1 < argc) {
      options.seeds = std::atoi(argv[++i]);
    } else if (a == "--only" && i + 1 < argc) {
      options.only = argv[++i];
    } else if (a == "--suite" && i + 1 < argc) {
      suite = argv[++i];
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (suite != "classic" && suite != "band") {
    std::fputs(kUsage, stderr);
    return 2;
  }
  using accuracy::Decoder;
  options.decoders = {Decoder::kRobust, Decoder::kBasic};
  if (multimon && accuracy::Available(Decoder::kMultimon)) options.decoders.push_back(Decoder::kMultimon);
  if (fldigi) {
    if (accuracy::Available(Decoder::kFldigi)) {
      options.decoders.push_back(Decoder::kFldigi);
    } else {
      std::fprintf(stderr, "accuracy: bench/fldigi_decode.py not found; no fldigi column\n");
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const int status = suite == "band" ? accuracy::RunBandSuite(options) : accuracy::RunClassicSuite(options);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("\n(%.1f s)\n", took.count());
  return status;
}

namespace accuracy {

int FirstSeed(const Options& options) { return options.tune ? 1 : 1000; }

}  // namespace accuracy
