// The receiver's gain as the noise beside the channel shows it: undone
// after a crash pulls an AGC down, left alone everywhere else.
#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "robust/gain.h"

namespace tolvane::robust {
namespace {

constexpr std::int64_t kReach = 10;
constexpr std::int64_t kRecover = 200;

struct Block {
  double level = 1;  // the receiver's gain (power) over the block
  bool quiet = true;
  bool crash = false;
};

// Blocks of noise beside the channel as the engine measures it: the
// smaller of two sides, each a mean of three bins' powers.
ReceiverGain Feed(const std::vector<Block>& blocks) {
  ReceiverGain gain;
  gain.Reset(512, kReach, kRecover);
  std::mt19937 random(5);
  std::gamma_distribution<double> side(3.0, 1.0 / 3.0);
  for (const Block& b : blocks) {
    const double beside = b.crash ? 1000.0 : b.level * std::min(side(random), side(random));
    gain.Add(beside, b.quiet, b.crash);
  }
  return gain;
}

std::vector<Block> Steady(std::size_t n, double level = 1) { return std::vector<Block>(n, Block{level}); }

void Append(std::vector<Block>* to, const std::vector<Block>& more) { to->insert(to->end(), more.begin(), more.end()); }

TEST(ReceiverGain, UndoesOnlyAnAgcDipAfterACrash) {
  struct Case {
    std::string name;
    std::vector<Block> blocks;
    std::int64_t at;   // the block asked about
    double expected;   // amplitude factor
  };
  std::vector<Case> cases;
  // 20 dB down for 60 blocks (about a second) after a crash at block 1000.
  std::vector<Block> dip = Steady(1000);
  dip.push_back(Block{1, false, true});
  Append(&dip, Steady(60, 0.01));
  Append(&dip, Steady(100));
  cases.push_back({"steady noise", Steady(1200), 1100, 1});
  cases.push_back({"before the crash", dip, 990, 1});
  cases.push_back({"inside the dip", dip, 1030, 10});
  // Right after the crash the normal blocks before it are not read.
  cases.push_back({"just after the crash", dip, 1002, 10});
  cases.push_back({"after the dip", dip, 1140, 1});
  // Just before a crash (with another not long before): the dip after it
  // is not read across it.
  std::vector<Block> before = dip;
  before[850] = Block{1, false, true};
  cases.push_back({"just before the crash", before, 998, 1});
  // The same dip with no crash before it: the noise's own change.
  std::vector<Block> unexplained = Steady(1000);
  Append(&unexplained, Steady(60, 0.01));
  Append(&unexplained, Steady(100));
  cases.push_back({"a dip no crash explains", unexplained, 1030, 1});
  // A dip more than the recovery time after the crash.
  std::vector<Block> late = Steady(800);
  late.push_back(Block{1, false, true});
  Append(&late, Steady(250));
  Append(&late, Steady(60, 0.01));
  cases.push_back({"a dip long after the crash", late, 1080, 1});
  // Crashes every 100 blocks, each followed by 60 blocks of dip: the dips
  // fill most of the time, yet the usual level is the undipped one.
  std::vector<Block> busy = Steady(200);
  for (int i = 0; i < 12; ++i) {
    busy.push_back(Block{1, false, true});
    Append(&busy, Steady(60, 0.01));
    Append(&busy, Steady(40));
  }
  cases.push_back({"inside one of many dips", busy, 200 + 11 * 101 + 30, 10});
  // A few decibels down is left alone.
  std::vector<Block> shallow = Steady(1000);
  shallow.push_back(Block{1, false, true});
  Append(&shallow, Steady(60, 0.7));
  cases.push_back({"a shallow dip", shallow, 1030, 1});
  // The channel never quiet within 40 blocks: nothing to read the gain
  // from.
  std::vector<Block> keyed = dip;
  for (std::size_t i = 1003; i < 1075; ++i) keyed[i].quiet = false;
  cases.push_back({"no quiet block near", keyed, 1030, 1});
  // Too little noise seen yet to know what is usual.
  std::vector<Block> early = Steady(20);
  early.push_back(Block{1, false, true});
  Append(&early, Steady(30, 0.01));
  cases.push_back({"before the usual noise is known", early, 45, 1});
  for (const Case& c : cases) {
    const double got = Feed(c.blocks).Correction(c.at);
    if (c.expected == 1) {
      EXPECT_EQ(got, 1) << c.name;
    } else {
      EXPECT_NEAR(std::log(got), std::log(c.expected), std::log(1.5)) << c.name << ": " << got;
    }
  }
}

TEST(ReceiverGain, ForgetsEverythingOnReset) {
  std::vector<Block> dip = Steady(1000);
  dip.push_back(Block{1, false, true});
  Append(&dip, Steady(60, 0.01));
  ReceiverGain gain = Feed(dip);
  ASSERT_GT(gain.Correction(1030), 5);
  gain.Reset(512, kReach, kRecover);
  EXPECT_EQ(gain.Correction(1030), 1);
  EXPECT_EQ(gain.usualBeside(), 0);
  for (int i = 0; i < 10; ++i) gain.Add(0.01, true, false);
  EXPECT_EQ(gain.Correction(5), 1);
}

// The front end's view: wide-band values through the delay, a receiver's
// gain dipped after a crash, and what comes out.
struct Scene {
  std::string name;
  double noise = 1;           // amplitude of the receiver's noise
  double tone = 0;            // amplitude of a tone in the channel, keyed 50 ms on and off
  double neighbour = 0;       // amplitude of a station 190 Hz up, keyed likewise
  double dip = 1;             // the gain (amplitude) after the crash at 3 s, for 0.5 s
  bool enabled = true;
  double expectBefore = 1;    // out over in, over 2.5-2.9 s
  double expectInDip = 1;     // and over 3.1-3.5 s
};

std::vector<std::complex<float>> Wide(const Scene& s, double rate, std::vector<double>* gain) {
  std::mt19937 random(11);
  std::normal_distribution<float> n(0, static_cast<float>(s.noise / std::sqrt(2.0)));
  std::vector<std::complex<float>> out;
  for (int i = 0; i < static_cast<int>(5 * rate); ++i) {
    const double t = i / rate;
    const bool keyed = static_cast<int>(t / 0.05) % 2 == 0;
    std::complex<float> v(n(random), n(random));
    if (keyed) v += static_cast<float>(s.tone);
    if (keyed) v += static_cast<float>(s.neighbour) * std::polar(1.0f, static_cast<float>(2 * kPi * 190 * t));
    // A crash at 3 s: 20 ms of noise on every side, which the AGC scales
    // to the keyed tone's level, then its dip.
    double g = 1;
    if (t >= 3 && t < 3.02) {
      v += std::complex<float>(n(random), n(random)) * static_cast<float>(std::max(10.0, s.tone) / s.dip);
      g = s.dip;
    } else if (t >= 3.02 && t < 3.5) {
      g = s.dip;
    }
    out.push_back(v * static_cast<float>(g));
    gain->push_back(g);
  }
  return out;
}

TEST(GainUndo, UndoesTheDipBehindItsDelayAndNothingElse) {
  const std::vector<Scene> scenes = {
      {"noise alone, no crash's dip", 1, 0, 0, 1},
      {"a weak tone through a dip of 20 dB", 1, 3, 0, 0.1, true, 1, 10},
      {"a strong tone through a dip of 20 dB", 1, 15, 0, 0.1, true, 1, 10},
      // Dipped noise more than 60 dB below the key-down level is no
      // different from a clean recording's leftovers: left alone.
      {"a dip too deep under a very strong tone", 1, 100, 0, 0.1, true, 1, 1},
      {"a dip of 10 dB", 1, 10, 0, 0.3, true, 1, 3.3},
      {"not enabled", 1, 10, 0, 0.1, false, 1, 1},
      {"a shallow dip is left", 1, 10, 0, 0.8},
      // One side filled by a keyed neighbour: no crash, nothing undone.
      {"a keyed neighbour beside", 1, 10, 30, 1},
  };
  const double rate = 1000;
  for (const Scene& s : scenes) {
    GainUndo undo;
    undo.Reset(rate, 0.15);
    undo.SetEnabled(s.enabled);
    std::vector<double> gain;
    const std::vector<std::complex<float>> in = Wide(s, rate, &gain);
    std::vector<std::complex<float>> out;
    std::vector<std::int64_t> times;
    for (std::size_t i = 0; i < in.size(); ++i) {
      std::complex<float> v;
      std::int64_t t = 0;
      if (undo.Push(in[i], static_cast<std::int64_t>(i), &v, &t)) {
        out.push_back(v);
        times.push_back(t);
      }
    }
    // Each value comes out 150 values later, with its own time.
    ASSERT_EQ(out.size(), in.size() - 150) << s.name;
    EXPECT_EQ(times[1234], 1234) << s.name;
    auto ratio = [&](double from, double to) {
      double a = 0, b = 0;
      for (auto i = static_cast<std::size_t>(from * rate); i < static_cast<std::size_t>(to * rate); ++i) {
        a += std::norm(out[i]);
        b += std::norm(in[i]);
      }
      return std::sqrt(a / b);
    };
    EXPECT_NEAR(std::log(ratio(2.5, 2.9)), std::log(s.expectBefore), std::log(1.25)) << s.name;
    EXPECT_NEAR(std::log(ratio(3.1, 3.5)), std::log(s.expectInDip), std::log(1.6)) << s.name;
  }
}

// A clean recording: a keyed tone in digital silence has no receiver noise
// to read a gain from, and passes untouched.
TEST(GainUndo, LeavesACleanRecordingAlone) {
  GainUndo undo;
  undo.Reset(1000, 0.15);
  undo.SetEnabled(true);
  std::vector<std::complex<float>> in;
  for (int i = 0; i < 6000; ++i) {
    // Keyed with clicks that splash beside the channel; silence between.
    const bool keyed = (i / 60) % 3 == 0;
    in.emplace_back(keyed ? (i % 60 == 0 ? 3.0f : 1.0f) : 0.0f, 0.0f);
    std::complex<float> out;
    std::int64_t t = 0;
    if (undo.Push(in.back(), i, &out, &t)) {
      ASSERT_EQ(out, in[static_cast<std::size_t>(t)]) << t;
    }
  }
}

}  // namespace
}  // namespace tolvane::robust
