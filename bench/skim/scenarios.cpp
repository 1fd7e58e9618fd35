// The bands the harness measures, and what their stations send.
#include <algorithm>
#include <cmath>

#include "band.h"
#include "texts.h"

namespace skimbench {
namespace {

std::string Serial(sim::Random& random) {
  std::string n = std::to_string(random.Integer(1, 999));
  while (n.size() < 3) n = "0" + n;
  return n;
}

// A base call of the common shape, so that every station's call can be
// told from the others by its letters.
sim::Fist StationFist(double wpm, sim::Random& random) {
  // Hand keying is slow keying: straight keys and bugs below 25 WPM.
  sim::FistKind kind = sim::FistKind::kMachine;
  const double u = random.Uniform();
  if (u < 0.4) {
    kind = sim::FistKind::kPaddle;
  } else if (u < 0.55 && wpm < 25) {
    kind = sim::FistKind::kBug;
  } else if (u < 0.65 && wpm < 22) {
    kind = sim::FistKind::kStraight;
  }
  sim::Fist fist = kind == sim::FistKind::kMachine ? sim::Fist{} : sim::RandomFist(kind, wpm, random);
  fist.wpm = wpm;
  fist.pauseMinS = 1;
  fist.pauseMaxS = 2;
  return fist;
}

BandStation MakeStation(double offsetHz, double wpm, double snrDb, sim::Random& random) {
  BandStation s;
  do {
    s.call = sim::Callsign(random);
  } while (s.call.find('/') != std::string::npos && random.Uniform() < 0.5);
  s.offsetHz = offsetHz;
  s.snrDb = snrDb;
  s.fist = StationFist(wpm, random);
  s.edgeMs = random.Uniform(3, 6);
  s.driftHzPerMin = random.Uniform() < 0.3 ? random.Uniform(-3, 3) : 0;
  if (random.Uniform() < 0.3) {
    s.qsb.depth = random.Uniform(0.6, 0.9);
    s.qsb.periodS = random.Uniform(15, 40);
  }
  s.firstS = random.Uniform(0.5, 8);
  return s;
}

}  // namespace

std::string OverText(const BandStation& station, sim::Random& random) {
  const std::string& me = station.call;
  if (!station.callsCq) {
    std::string text = sim::MakeText(random.Uniform() < 0.7 ? sim::TextKind::kRagchew : sim::TextKind::kPileup, random, 30);
    std::replace(text.begin(), text.end(), '|', ' ');
    return text;
  }
  switch (random.Integer(0, 7)) {
    case 0: return "CQ CQ DE " + me + " " + me + " K";
    case 1: return "CQ CQ CQ DE " + me + " " + me + " " + me + " K";
    case 2: return "CQ TEST " + me + " " + me;
    case 3: return "CQ DX DE " + me + " " + me + " PSE K";
    case 4: return "CQ " + me + " " + me + " TEST";
    case 5: return "TU " + me + " TEST";
    case 6: return sim::Callsign(random) + " 5NN " + Serial(random);
    default: return "CQ CQ " + me + " " + me + " K";
  }
}

Band AudioBand(std::uint64_t seed, int stations, double seconds) {
  Band b;
  b.name = "audio band";
  b.rate = 8000;
  b.seconds = seconds;
  b.seed = seed;
  sim::Random random = sim::Random::Stream(seed, 9);
  double offset = 300;
  for (int i = 0; i < stations; ++i) {
    BandStation s = MakeStation(offset, random.Uniform(12, 40), random.Uniform(6, 26), random);
    // QSB takes its dips below the level given: keep the dips at +6 dB or more.
    if (s.qsb.depth < 1) s.snrDb = std::max(s.snrDb, 6 - 20 * std::log10(s.qsb.depth));
    s.callsCq = random.Uniform() < 0.75;
    b.stations.push_back(s);
    offset += random.Uniform(80, 150);
  }
  return b;
}

Band IqBand(std::uint64_t seed, int stations, double seconds, double rate) {
  Band b;
  b.name = "I/Q band";
  b.rate = rate;
  b.iq = true;
  b.seconds = seconds;
  b.seed = seed;
  sim::Random random = sim::Random::Stream(seed, 9);
  // Spread out evenly with a random step, at least 80 Hz apart.
  const double span = 0.86 * rate;
  const double mean = span / stations;
  double offset = -0.43 * rate;
  for (int i = 0; i < stations; ++i) {
    BandStation s = MakeStation(offset, random.Uniform(12, 40), random.Uniform(10, 30), random);
    if (s.qsb.depth < 1) s.snrDb = std::max(s.snrDb, 10 - 20 * std::log10(s.qsb.depth));
    s.callsCq = random.Uniform() < 0.75;
    b.stations.push_back(s);
    offset += std::max(80.0, random.Uniform(0.5, 1.5) * mean);
  }
  return b;
}

Band Pair(std::uint64_t seed, double spacingHz, double strongDb, double weakDb, double seconds) {
  Band b;
  b.name = "pair";
  b.rate = 8000;
  b.seconds = seconds;
  b.seed = seed;
  sim::Random random = sim::Random::Stream(seed, 9);
  for (int i = 0; i < 2; ++i) {
    BandStation s = MakeStation(800 + i * spacingHz, random.Uniform(18, 25), i == 0 ? strongDb : weakDb, random);
    s.edgeMs = 5;
    s.fist = sim::Fist{};
    s.fist.wpm = random.Uniform(18, 25);
    s.driftHzPerMin = 0;
    s.qsb = sim::Qsb{};
    s.pauseMinS = 1;
    s.pauseMaxS = 3;
    b.stations.push_back(s);
  }
  return b;
}

Band Quiet(std::uint64_t seed, const std::string& kind, double seconds, bool iq) {
  Band b;
  b.name = kind;
  b.iq = iq;
  b.rate = iq ? 48000 : 8000;
  b.seconds = seconds;
  b.seed = seed;
  sim::Random random = sim::Random::Stream(seed, 9);
  Clutter& c = b.clutter;
  if (kind == "carriers") {
    // Birdies at random offsets, one wandering slowly, one keyed on and
    // off for seconds at a time; for I/Q also the spike at the centre.
    const double span = iq ? 0.4 * b.rate : 1300;
    for (int i = 0; i < 6; ++i) c.carriersHz.push_back((iq ? 0 : 1500) + random.Uniform(-span, span));
    if (iq) c.carriersHz.push_back(0);
    c.carrierDriftHzPerMin = 2;
    c.slowKeyed = true;
  } else if (kind == "hum") {
    c.hum = true;
  } else if (kind == "sweep") {
    c.sweep = true;
  } else if (kind == "speech") {
    c.speech = true;
  }
  return b;
}

}  // namespace skimbench
