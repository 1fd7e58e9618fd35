// The harness's suites and its one-file writer.
#ifndef TOLVANE_BENCH_ACCURACY_SUITES_H
#define TOLVANE_BENCH_ACCURACY_SUITES_H

#include <string>
#include <vector>

#include "decoders.h"

namespace accuracy {

struct Options {
  bool quick = false;
  bool check = false;
  bool tune = false;  // seeds 1..N, for tuning; reports use seeds from 1000 up
  int seeds = 0;      // texts per row; 0: the suite's default
  std::string only;   // rows whose name contains this
  std::vector<Decoder> decoders;
};

// The seeds a run uses: 1..N when tuning, 1000.. otherwise, so no report
// is ever made on the texts and signals a recogniser was tuned on.
int FirstSeed(const Options& options);

// The first table: clean, noisy and Farnsworth machine keying from the
// classic synthesiser. Returns the exit status (1: --check failed).
int RunClassicSuite(const Options& options);
// The real-band table: hand fists, fading, static, AGC, pauses, an
// interferer, short messages after a pause.
int RunBandSuite(const Options& options);
// --write: one file for listening, with the simulator's options.
int WriteOne(int argc, char** argv);

}  // namespace accuracy

#endif  // TOLVANE_BENCH_ACCURACY_SUITES_H
