// The receiver's gain as the noise beside the channel shows it: undone
// after a crash pulls an AGC down, left alone everywhere else.
#include <algorithm>
#include <cmath>
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
  ReceiverGain gain(1250);
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
  Append(&early, Steady(50, 0.01));
  cases.push_back({"before the usual noise is known", early, 50, 1});
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

}  // namespace
}  // namespace tolvane::robust
