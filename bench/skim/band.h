// A band simulator for the skimmer: many stations at their own offsets,
// speeds, levels and fists, each sending its own overs (CQ calls with a
// known callsign, or a QSO), over receiver noise, with carriers, hum, a
// sweep or speech for the rows that must print nothing. Rendered block by
// block, so an hour of 48 kHz I/Q needs no more memory than a minute.
#ifndef TOLVANE_BENCH_SKIM_BAND_H
#define TOLVANE_BENCH_SKIM_BAND_H

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace skimbench {

namespace sim = tolvane::sim;

struct BandStation {
  std::string call;
  bool callsCq = true;      // CQ calls with its own call; otherwise a QSO
  double offsetHz = 600;    // audio pitch, or offset from the centre for I/Q
  double snrDb = 10;        // key-down power over the noise in 2500 Hz (at the QSB's peak)
  sim::Fist fist;
  double edgeMs = 5;        // raised-cosine rise and fall
  double driftHzPerMin = 0;
  sim::Fading fading;
  sim::Qsb qsb;
  double firstS = 1;        // the first over's first key-down
  double pauseMinS = 2;     // between overs
  double pauseMaxS = 8;
};

// What must not be read as Morse.
struct Clutter {
  std::vector<double> carriersHz;  // steady tones: birdies, a DC spike at 0 Hz for I/Q
  double carrierDb = 25;           // over the noise in 2500 Hz
  double carrierDriftHzPerMin = 0;
  bool slowKeyed = false;          // the first carrier on for 3-8 s, off for 2-6 s (tuning up)
  bool hum = false;                // 50 Hz and 14 harmonics, 3 dB weaker each
  double humDb = 25;
  bool sweep = false;              // a tone swept 200 -> 2800 Hz every 3 s
  double sweepDb = 20;
  bool speech = false;             // voiced syllables with moving pitch and formants
  double speechDb = 20;
};

struct Band {
  std::string name;
  double rate = 8000;
  bool iq = false;
  double seconds = 120;
  bool noise = true;
  std::vector<BandStation> stations;
  Clutter clutter;
  std::uint64_t seed = 1;
};

// 20 stations 80-150 Hz apart from 300 Hz, 12-40 WPM, +6 to +26 dB, in a
// 3 kHz audio band at 8 kHz; most call CQ, some hold QSOs.
Band AudioBand(std::uint64_t seed, int stations, double seconds);
// `stations` stations at least 80 Hz apart across +-0.43 x rate of I/Q,
// 12-40 WPM, +10 to +30 dB.
Band IqBand(std::uint64_t seed, int stations, double seconds, double rate);
// Two CQ callers `spacingHz` apart at 18-25 WPM with 5 ms keying: the
// first at `strongDb`, the second at `weakDb`.
Band Pair(std::uint64_t seed, double spacingHz, double strongDb, double weakDb, double seconds);
// No stations: noise, plus the clutter of `kind` ("noise", "hum",
// "carriers", "sweep", "speech"), in a 3 kHz audio band or (iq) 48 kHz I/Q.
Band Quiet(std::uint64_t seed, const std::string& kind, double seconds, bool iq);

// What one station sent.
struct Sent {
  std::string text;           // its overs, normalised, one space between
  std::vector<double> times;  // per over: first key-down and last key-up
};

class BandRenderer {
 public:
  explicit BandRenderer(const Band& band);
  ~BandRenderer();
  BandRenderer(const BandRenderer&) = delete;
  BandRenderer& operator=(const BandRenderer&) = delete;

  // The next `frames` frames (I/Q pairs for I/Q) into `out`, the noise at
  // unit power; fewer at the end, 0 once the band is over.
  std::size_t Render(float* out, std::size_t frames);
  std::int64_t totalFrames() const;
  // What each station sent so far (all of it once rendering ended).
  const std::vector<Sent>& sent() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace skimbench

#endif  // TOLVANE_BENCH_SKIM_BAND_H
