// Runs the skimmer over a simulated band and scores it against the truth.
#ifndef TOLVANE_BENCH_SKIM_HARNESS_H
#define TOLVANE_BENCH_SKIM_HARNESS_H

#include <string>
#include <vector>

#include "band.h"

namespace skimbench {

struct StationScore {
  std::string call;
  double offsetHz = 0;
  double snrDb = 0;
  double wpm = 0;
  std::size_t length = 0;  // characters sent
  double cer = 0;          // character errors over characters sent
  std::string sent, read;
};

struct BandScore {
  std::vector<StationScore> stations;
  int cqCallers = 0;       // stations that called CQ
  int spottedRight = 0;    // of them, spotted with their call
  int spots = 0;
  int wrongSpots = 0;      // naming a call no CQ caller at that frequency has
  std::vector<std::string> wrong;
  std::size_t strayChars = 0;  // read on signals no station was near
  int signalsFound = 0;
  double audioSeconds = 0;
  double cpuSeconds = 0;   // in the skimmer alone, on this thread
  std::size_t peakBytes = 0;  // the skimmer's own count, at its largest
};

// `block` frames at a time, as a live source would give them.
BandScore RunBand(const Band& band, std::size_t block = 1024);

// The truth as text, one line per station: offset, call, CQ or not, text.
std::string DescribeTruth(const Band& band, const BandRenderer& renderer);

}  // namespace skimbench

#endif  // TOLVANE_BENCH_SKIM_HARNESS_H
