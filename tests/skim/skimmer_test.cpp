// The skimmer on small simulated bands: what it finds, keeps apart, reads,
// refuses and retires.
#include <gtest/gtest.h>

#include "bench/accuracy/score.h"
#include "skim_helpers.h"

namespace tolvane {
namespace {

using test::Band;
using test::FoundSignal;
using test::Near;
using test::Signals;
using test::Skim;
using test::TestStation;

const char kCq1[] = "CQ CQ DE DL1ABC DL1ABC K|CQ CQ DE DL1ABC DL1ABC K|CQ TEST DL1ABC DL1ABC";
const char kCq2[] = "CQ CQ DE G4XYZ G4XYZ K|CQ CQ DE G4XYZ G4XYZ K|CQ TEST G4XYZ G4XYZ";

SkimOptions Audio(double rate = 8000) {
  SkimOptions o;
  o.sampleRate = rate;
  return o;
}

int FoundCount(const std::vector<SkimEvent>& events) {
  int n = 0;
  for (const SkimEvent& e : events) n += e.kind == SkimEventKind::kFound ? 1 : 0;
  return n;
}

// Two stations close together, and further apart:
// each is found once, at its own pitch, and reads its own text.
TEST(Skimmer, KeepsStationsApartFrom60HzUp) {
  struct Case {
    double spacingHz;
    double levelDb;  // of the second
    double wpm1, wpm2;
  } cases[] = {
      {150, 0, 22, 28},
      {100, -6, 25, 20},
      {90, 0, 20, 26},
  };
  for (const Case& c : cases) {
    const double f1 = 800, f2 = 800 + c.spacingHz;
    const sim::Rendered r =
        sim::Render(Band({{f1, 0, c.wpm1, kCq1}, {f2, c.levelDb, c.wpm2, kCq2, 1.3}}, 18));
    const auto signals = Signals(Skim(r.audio, Audio()));
    const FoundSignal* a = Near(signals, f1, c.spacingHz / 3);
    const FoundSignal* b = Near(signals, f2, c.spacingHz / 3);
    ASSERT_NE(a, nullptr) << c.spacingHz << " Hz";
    ASSERT_NE(b, nullptr) << c.spacingHz << " Hz";
    EXPECT_EQ(signals.size(), 2u) << c.spacingHz << " Hz";
    EXPECT_LE(accuracy::ErrorRate(r.keyings[0].text, a->text), 0.10) << c.spacingHz << " Hz: " << a->text;
    EXPECT_LE(accuracy::ErrorRate(r.keyings[1].text, b->text), 0.10) << c.spacingHz << " Hz: " << b->text;
  }
}

// A lone dot between letter gaps at 30 WPM and more is shorter than half
// a spectrum frame: its own spectrum is as broad as a neighbour's splatter.
// The E of TEST, DE and EI3WZS still comes through.
TEST(Skimmer, KeepsLoneDotsOfFastKeying) {
  const char text[] = "CQ TEST EI3WZS EI3WZS|CQ DE EI3WZS EI3WZS E|TEST DE EI3WZS K";
  // Between two bins (898.4 Hz) the dot's power splits between them.
  for (double wpm : {30.0, 36.0, 40.0}) {
    for (double pitch : {898.4, 1012.0}) {
      const sim::Rendered r = sim::Render(Band({{pitch, 0, wpm, text}}, 20));
      const auto signals = Signals(Skim(r.audio, Audio()));
      const FoundSignal* a = Near(signals, pitch, 30);
      ASSERT_NE(a, nullptr) << wpm << " WPM, " << pitch << " Hz";
      EXPECT_LE(accuracy::ErrorRate(r.keyings[0].text, a->text), 0.02)
          << wpm << " WPM, " << pitch << " Hz: " << a->text;
    }
  }
}

// From 60 to 80 Hz a neighbour's key clicks stay in a channel about 15 dB
// under the key-down level; ungated, the recogniser took them for dots at
// about 90 WPM and read runs of T.
TEST(Skimmer, KeepsStationsApart60To80Hz) {
  for (double spacing : {60.0, 70.0, 80.0}) {
    const sim::Rendered r = sim::Render(Band({{800, 0, 18, kCq1}, {800 + spacing, 0, 24, kCq2, 1.3}}, 18));
    const auto signals = Signals(Skim(r.audio, Audio()));
    const FoundSignal* b = Near(signals, 800 + spacing, 25);
    ASSERT_NE(b, nullptr) << spacing;
    EXPECT_LE(accuracy::ErrorRate(r.keyings[1].text, b->text), 0.10) << spacing << " Hz: " << b->text;
  }
}

// A strong station beside a weak one: the weak one is still read. Known
// fault: the strong one's clicks are louder in the weak one's channel than
// its own tone: its first words are read from them (CER about 0.35).
TEST(Skimmer, DISABLED_ReadsAWeakStationBesideAStrongOne) {
  const sim::Rendered r = sim::Render(Band({{700, 0, 22, kCq1}, {780, -20, 20, kCq2, 1.1}}, 30));
  const auto signals = Signals(Skim(r.audio, Audio()));
  const FoundSignal* weak = Near(signals, 780, 20);
  ASSERT_NE(weak, nullptr);
  EXPECT_LE(accuracy::ErrorRate(r.keyings[1].text, weak->text), 0.10) << weak->text;
}

// A station that begins while a louder one beside it is already sending:
// the louder one's key clicks reach its channel first, are found as a
// signal, and taught its recogniser a speed several times too fast, so
// its first words came out as runs of E and T. Its first call is read.
TEST(Skimmer, ReadsTheFirstWordsOfAStationBesideALouderOne) {
  struct Case {
    double spacingHz;
    double levelDb;  // of the later station
    double wpm1, wpm2;
  } cases[] = {
      {90, -12, 31, 22},
      {110, -15, 30, 18},
      {130, -10, 28, 16},
  };
  for (const Case& c : cases) {
    sim::Scenario band = Band({{1000, 0, c.wpm1, kCq1}, {1000 - c.spacingHz, c.levelDb, c.wpm2, kCq2, 4}}, 25);
    band.stations[0].tx.clicks = true;
    const sim::Rendered r = sim::Render(band);
    const auto signals = Signals(Skim(r.audio, Audio()));
    const FoundSignal* b = Near(signals, 1000 - c.spacingHz, 25);
    ASSERT_NE(b, nullptr) << c.spacingHz << " Hz";
    EXPECT_NE(b->text.substr(0, 30).find("DE G4XYZ G4XYZ K"), std::string::npos) << c.spacingHz << " Hz: " << b->text;
    EXPECT_LE(accuracy::ErrorRate(r.keyings[1].text, b->text), 0.05) << c.spacingHz << " Hz: " << b->text;
  }
}

// A station 20 dB under one 80 Hz away: the louder one's skirt, keyed with
// it, stood over the weaker one's peak, so the weaker one was followed
// only once the louder one paused. It is followed within seconds.
TEST(Skimmer, FollowsAWeakStationBesideAStrongOneAtOnce) {
  // Noise draws, and so keying, under which the skirt hid it (seeds 4, 8, 9).
  for (std::uint64_t seed : {1, 4, 8, 9}) {
    for (double wpm : {18.0, 24.0}) {
      sim::Scenario band = Band({{800, 0, 22, kCq1}, {880, -20, wpm, kCq2, 1}}, 30, 8000, seed);
      for (auto& st : band.stations) st.fist.pauseMaxS = 3;
      const sim::Rendered r = sim::Render(band);
      Skimmer skimmer(Audio());
      const std::size_t seconds = 6;
      skimmer.Push(r.audio.data(), std::min(r.audio.size(), seconds * 8000));
      bool followed = false;
      for (const SkimSignal& s : skimmer.signals()) followed = followed || std::fabs(s.freqHz - 880) < 20;
      EXPECT_TRUE(followed) << wpm << " WPM, seed " << seed;
    }
  }
}

// A slow station needs more than half a minute for the characters the
// judgement asks for; it was dropped unjudged after 30 s and shut out for
// a minute. One that reads steadily is given longer, and read from its
// first call.
TEST(Skimmer, WaitsForASlowStationToBeJudged) {
  for (double wpm : {6.0, 7.0}) {
    const sim::Rendered r = sim::Render(Band({{900, 0, wpm, "QRZ? DE G4XYZ G4XYZ|QRZ? DE G4XYZ K"}}, 15));
    const auto signals = Signals(Skim(r.audio, Audio()));
    const FoundSignal* a = Near(signals, 900, 20);
    ASSERT_NE(a, nullptr) << wpm << " WPM";
    EXPECT_LE(accuracy::ErrorRate(r.keyings[0].text, a->text), 0.05) << wpm << " WPM: " << a->text;
  }
}

// A station 20 dB under one 80 Hz away: the louder one's edges leave
// clicks in its channel as loud as its own tone, and what cancelling them
// left still passed for dots. Its calls after the first are read whole in
// most draws of the noise.
TEST(Skimmer, ReadsAWeakStationBesideAStrongOneOnceStarted) {
  const std::string last = "K CQ CQ DE G4XYZ G4XYZ K CQ TEST G4XYZ G4XYZ";
  int whole = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    const sim::Rendered r = sim::Render(Band({{800, 0, 22, kCq1}, {880, -20, 20, kCq2, 1}}, 30, 8000, seed));
    const auto signals = Signals(Skim(r.audio, Audio()));
    const FoundSignal* b = Near(signals, 880, 20);
    ASSERT_NE(b, nullptr) << "seed " << seed;
    const bool read = b->text.size() >= last.size() && b->text.compare(b->text.size() - last.size(), last.size(), last) == 0;
    whole += read ? 1 : 0;
  }
  EXPECT_GE(whole, 6);
}

// Nothing that is not keyed like Morse is announced: noise, steady
// carriers, hum, and a carrier right beside a station.
TEST(Skimmer, AnnouncesNoCarrierAndNoNoise) {
  struct Case {
    const char* name;
    std::vector<double> carriersHz;
    bool hum;
    bool station;  // a CQ caller at 1000 Hz too
  } cases[] = {
      {"noise", {}, false, false},
      {"carriers", {450, 1234, 2210}, false, false},
      {"hum", {}, true, false},
      {"a carrier 100 Hz from a station", {1100}, false, true},
  };
  for (const Case& c : cases) {
    // Without the station, the level reference keys outside the band searched.
    sim::Scenario s = Band({{c.station ? 1000.0 : 3500.0, 0, 24, kCq1}}, 20);
    for (double hz : c.carriersHz) {
      // A key held down for the whole band: a carrier.
      sim::Station carrier;
      carrier.text = "T";
      carrier.fist.wpm = 0.08;
      carrier.tx.pitchHz = hz;
      carrier.levelDb = 6;
      carrier.startS = 0.2;
      s.stations.push_back(carrier);
    }
    s.receiver.hum.on = c.hum;
    s.receiver.hum.levelDb = 6;
    s.receiver.hum.harmonics = 10;
    s.trailS = 30;
    const sim::Rendered r = sim::Render(s);
    SkimOptions o = Audio();
    o.bandLoHz = 100;
    o.bandHiHz = 3000;
    const std::vector<SkimEvent> events = Skim(r.audio, o);
    const auto signals = Signals(events);
    EXPECT_EQ(FoundCount(events), c.station ? 1 : 0) << c.name;
    for (double hz : c.carriersHz) EXPECT_EQ(Near(signals, hz, 40), nullptr) << c.name << " at " << hz << " Hz";
  }
}

// A station that stops is retired once it has been quiet long enough, and
// its text was all given out before the loss.
TEST(Skimmer, RetiresAStationThatStops) {
  sim::Scenario s = Band({{900, 0, 25, kCq1}}, 20);
  s.trailS = 25;
  const sim::Rendered r = sim::Render(s);
  const double lastKeyUp = r.keyings[0].end;
  SkimOptions o = Audio();
  o.retireSeconds = 8;
  Skimmer skimmer(o);
  std::vector<SkimEvent> events;
  skimmer.Push(r.audio.data(), r.audio.size());
  skimmer.Take(&events);
  // Before the end of the input: retired already, nothing followed any more.
  EXPECT_TRUE(skimmer.signals().empty());
  const auto signals = Signals(events);
  ASSERT_EQ(signals.size(), 1u);
  const FoundSignal& f = signals.begin()->second;
  EXPECT_TRUE(f.lost);
  EXPECT_NEAR(f.lostAt, lastKeyUp, 1.0);
  EXPECT_LE(accuracy::ErrorRate(r.keyings[0].text, f.text), 0.05) << f.text;
  bool afterLoss = false, lost = false;
  for (const SkimEvent& e : events) {
    afterLoss = afterLoss || (lost && e.kind == SkimEventKind::kText);
    lost = lost || e.kind == SkimEventKind::kLost;
  }
  EXPECT_FALSE(afterLoss);
}

// Live input comes in blocks of whatever size; the events must not depend
// on them.
TEST(Skimmer, SameEventsHoweverTheInputIsSplit) {
  const sim::Rendered r = sim::Render(Band({{600, 0, 24, kCq1}, {720, -3, 30, kCq2}}, 15));
  const std::vector<SkimEvent> whole = Skim(r.audio, Audio(), r.audio.size());
  for (std::size_t block : {1u, 333u, 4096u}) {
    const std::vector<SkimEvent> split = Skim(r.audio, Audio(), block);
    ASSERT_EQ(split.size(), whole.size()) << block;
    for (std::size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(split[i].text, whole[i].text) << block << " at " << i;
      EXPECT_EQ(split[i].signal, whole[i].signal) << block << " at " << i;
      EXPECT_DOUBLE_EQ(split[i].time, whole[i].time) << block << " at " << i;
    }
  }
}

// I/Q: stations either side of the centre, at their signed offsets; a
// band limit leaves out what lies outside it.
TEST(Skimmer, FindsStationsEitherSideOfTheCentreInIq) {
  sim::Scenario s = Band({{-3000, 0, 24, kCq1}, {5200, -2, 28, kCq2, 1.0}}, 20, 24000);
  const sim::RenderedIq iq = sim::RenderIq(s);
  std::vector<float> samples;
  for (const auto& z : iq.iq) {
    samples.push_back(static_cast<float>(z.real()));
    samples.push_back(static_cast<float>(z.imag()));
  }
  SkimOptions o;
  o.sampleRate = 24000;
  o.complex = true;
  auto signals = Signals(Skim(samples, o));
  const FoundSignal* a = Near(signals, -3000);
  const FoundSignal* b = Near(signals, 5200);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_LE(accuracy::ErrorRate(iq.keyings[0].text, a->text), 0.10) << a->text;
  EXPECT_LE(accuracy::ErrorRate(iq.keyings[1].text, b->text), 0.10) << b->text;
  o.bandLoHz = 0;
  o.bandHiHz = 8000;
  signals = Signals(Skim(samples, o));
  EXPECT_EQ(Near(signals, -3000, 500), nullptr);
  EXPECT_NE(Near(signals, 5200), nullptr);
}

}  // namespace
}  // namespace tolvane
