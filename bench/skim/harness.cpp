#include "harness.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#include "../accuracy/score.h"
#include "skim/skim.h"

namespace skimbench {
namespace {

constexpr double kMatchHz = 30;  // a signal this close to a station is that station

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The station a signal at `hz` at `seconds` belongs to, or -1.
int Nearest(const Band& band, double hz, double seconds) {
  int best = -1;
  double bestDistance = kMatchHz;
  for (std::size_t i = 0; i < band.stations.size(); ++i) {
    const BandStation& s = band.stations[i];
    const double d = std::fabs(s.offsetHz + s.driftHzPerMin * seconds / 60 - hz);
    if (d < bestDistance) {
      bestDistance = d;
      best = static_cast<int>(i);
    }
  }
  return best;
}

}  // namespace

BandScore RunBand(const Band& band, std::size_t block) {
  BandScore score;
  BandRenderer renderer(band);
  tolvane::SkimOptions options;
  options.sampleRate = band.rate;
  options.complex = band.iq;
  tolvane::Skimmer skimmer(options);
  tolvane::Spotter spotter;
  std::vector<float> samples(block * (band.iq ? 2 : 1));
  std::vector<tolvane::SkimEvent> events;
  std::vector<tolvane::SpotCall> spots;
  std::map<int, int> station;  // signal -> station, or -1
  std::vector<std::vector<std::pair<double, std::string>>> read(band.stations.size());
  auto handle = [&]() {
    for (const tolvane::SkimEvent& e : events) {
      spotter.Add(e);
      if (e.kind == tolvane::SkimEventKind::kFound) {
        station[e.signal] = Nearest(band, e.freqHz, e.time);
        ++score.signalsFound;
      }
      if (e.kind != tolvane::SkimEventKind::kText) continue;
      const int s = station[e.signal];
      if (s < 0) {
        if (!e.wordGap) ++score.strayChars;
        continue;
      }
      read[static_cast<std::size_t>(s)].emplace_back(e.wordGap ? e.time : e.start, e.text);
    }
    events.clear();
  };
  while (true) {
    const std::size_t n = renderer.Render(samples.data(), block);
    if (n == 0) break;
    const double before = ThreadSeconds();
    skimmer.Push(samples.data(), n);
    skimmer.Take(&events);
    score.cpuSeconds += ThreadSeconds() - before;
    score.peakBytes = std::max(score.peakBytes, skimmer.memoryBytes());
    handle();
  }
  const double before = ThreadSeconds();
  skimmer.Flush();
  skimmer.Take(&events);
  score.cpuSeconds += ThreadSeconds() - before;
  handle();
  score.audioSeconds = static_cast<double>(renderer.totalFrames()) / band.rate;
  spotter.Take(&spots);

  const std::vector<Sent>& sent = renderer.sent();
  for (std::size_t i = 0; i < band.stations.size(); ++i) {
    const BandStation& st = band.stations[i];
    auto& pieces = read[i];
    std::stable_sort(pieces.begin(), pieces.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& p : pieces) text += p.second;
    StationScore s;
    s.call = st.call;
    s.offsetHz = st.offsetHz;
    s.snrDb = st.snrDb;
    s.wpm = st.fist.wpm;
    s.sent = sent[i].text;
    s.read = accuracy::Normal(text);
    s.length = s.sent.size();
    s.cer = s.sent.empty() ? (s.read.empty() ? 0 : 1) : accuracy::ErrorRate(s.sent, s.read);
    score.stations.push_back(s);
    if (st.callsCq && s.sent.find(st.call) != std::string::npos) ++score.cqCallers;
  }
  std::vector<bool> spotted(band.stations.size(), false);
  for (const tolvane::SpotCall& spot : spots) {
    ++score.spots;
    const int s = Nearest(band, spot.freqHz, spot.time);
    const bool right = s >= 0 && band.stations[static_cast<std::size_t>(s)].callsCq &&
                       band.stations[static_cast<std::size_t>(s)].call == spot.call;
    if (right) {
      spotted[static_cast<std::size_t>(s)] = true;
    } else {
      ++score.wrongSpots;
      char line[96];
      std::snprintf(line, sizeof line, "%s at %.1f Hz (%s there)", spot.call.c_str(), spot.freqHz,
                    s >= 0 ? band.stations[static_cast<std::size_t>(s)].call.c_str() : "nobody");
      score.wrong.push_back(line);
    }
  }
  for (bool b : spotted) score.spottedRight += b ? 1 : 0;
  return score;
}

std::string DescribeTruth(const Band& band, const BandRenderer& renderer) {
  std::string out;
  for (std::size_t i = 0; i < band.stations.size(); ++i) {
    const BandStation& s = band.stations[i];
    char head[160];
    std::snprintf(head, sizeof head, "%9.1f Hz %-12s %s %5.1f WPM %+5.1f dB %-8s ", s.offsetHz, s.call.c_str(),
                  s.callsCq ? "CQ " : "QSO", s.fist.wpm, s.snrDb, tolvane::sim::FistName(s.fist.kind));
    out += head + renderer.sent()[i].text + "\n";
  }
  return out;
}

}  // namespace skimbench
