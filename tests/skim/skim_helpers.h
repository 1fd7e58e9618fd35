// Bands of a few stations for the skimmer's tests, and what it made of them.
#ifndef TOLVANE_TESTS_SKIM_SKIM_HELPERS_H
#define TOLVANE_TESTS_SKIM_SKIM_HELPERS_H

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "skim/skim.h"

namespace tolvane::test {

struct TestStation {
  double pitchHz;
  double levelDb;  // relative to the first
  double wpm;
  std::string text;
  double startS = 0.5;
};

inline sim::Scenario Band(const std::vector<TestStation>& stations, double snrDb, double rate = 8000,
                          std::uint64_t seed = 7) {
  sim::Scenario s;
  s.sampleRate = rate;
  s.seed = seed;
  s.trailS = 3;
  for (const TestStation& t : stations) {
    sim::Station st;
    st.text = t.text;
    st.fist.wpm = t.wpm;
    st.fist.pauseMinS = 1;
    st.fist.pauseMaxS = 1.5;
    st.tx.pitchHz = t.pitchHz;
    st.levelDb = t.levelDb;
    st.startS = t.startS;
    s.stations.push_back(st);
  }
  s.receiver.noise.on = true;
  s.receiver.noise.snrDb = snrDb;
  // Wide enough for every station's pitch.
  s.receiver.noise.lowHz = 100;
  s.receiver.noise.highHz = 0.45 * rate;
  return s;
}

// Every event, the samples pushed `block` at a time.
inline std::vector<SkimEvent> Skim(const std::vector<float>& samples, const SkimOptions& options,
                                   std::size_t block = 4096) {
  Skimmer skimmer(options);
  std::vector<SkimEvent> events;
  const std::size_t width = options.complex ? 2 : 1;
  const std::size_t frames = samples.size() / width;
  for (std::size_t at = 0; at < frames; at += block) {
    skimmer.Push(samples.data() + at * width, std::min(block, frames - at));
    skimmer.Take(&events);
  }
  skimmer.Flush();
  skimmer.Take(&events);
  return events;
}

struct FoundSignal {
  double freqHz = 0;
  std::string text;
  bool lost = false;
  double lostAt = 0;
};

// By signal id: where it was found and the text it read, words single-spaced.
inline std::map<int, FoundSignal> Signals(const std::vector<SkimEvent>& events) {
  std::map<int, FoundSignal> out;
  for (const SkimEvent& e : events) {
    FoundSignal& f = out[e.signal];
    if (e.kind == SkimEventKind::kFound) f.freqHz = e.freqHz;
    if (e.kind == SkimEventKind::kLost) {
      f.lost = true;
      f.lostAt = e.time;
    }
    if (e.kind != SkimEventKind::kText) continue;
    if (e.wordGap) {
      if (!f.text.empty() && f.text.back() != ' ') f.text += ' ';
    } else {
      f.text += e.text;
    }
  }
  for (auto& [id, f] : out) {
    while (!f.text.empty() && f.text.back() == ' ') f.text.pop_back();
  }
  return out;
}

// The signal found nearest `hz`, or nullptr when none is within `within`.
inline const FoundSignal* Near(const std::map<int, FoundSignal>& signals, double hz, double within = 15) {
  const FoundSignal* best = nullptr;
  for (const auto& [id, f] : signals) {
    if (std::fabs(f.freqHz - hz) <= within && (best == nullptr || std::fabs(f.freqHz - hz) < std::fabs(best->freqHz - hz))) {
      best = &f;
    }
  }
  return best;
}

}  // namespace tolvane::test

#endif  // TOLVANE_TESTS_SKIM_SKIM_HELPERS_H
