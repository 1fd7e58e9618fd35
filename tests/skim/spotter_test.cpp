// Callsigns in decoded text: their shape, the CQ calls that carry them,
// and when a copy becomes a spot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skim/skim.h"

namespace tolvane {
namespace {

TEST(IsCallsign, TellsCallsFromTheWordsAroundThem) {
  struct Case {
    const char* word;
    bool call;
  } cases[] = {
      {"DL1ABC", true},   {"K1A", true},       {"W1AW", true},      {"9A1AA", true},     {"3DA0XY", true},
      {"VK2/W1XYZ", true}, {"DK5UOW/P", true}, {"G4XYZ/QRP", true}, {"W1AW/4", true},    {"DL/PA3ABC/M", true},
      {"5NN", false},     {"DE", false},       {"TEST", false},     {"CQ", false},       {"K3", false},
      {"IC7300", false},  {"599", false},      {"TU", false},       {"DL1ABC/", false},  {"/P", false},
      {"DL1ABC/XYZ", false}, {"DL1", false},   {"12345", false},    {"A/B/C/D", false},  {"DL1ABCDE", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsCallsign(c.word), c.call) << c.word;
}

// Events as the skimmer gives them for `text` on one signal: characters
// 0.1 s apart, a word gap between words; '|' is a pause of 10 s.
void Say(Spotter* spotter, int signal, double freqHz, const std::string& text, double* clock) {
  auto event = [&](bool gap, const std::string& t) {
    SkimEvent e;
    e.kind = SkimEventKind::kText;
    e.signal = signal;
    e.start = *clock;
    e.time = *clock + 0.08;
    e.freqHz = freqHz;
    e.wpm = 25;
    e.snrDb = 12;
    e.wordGap = gap;
    e.text = t;
    spotter->Add(e);
    *clock += 0.1;
  };
  for (char c : text) {
    if (c == '|') {
      *clock += 10;
    } else if (c == ' ') {
      event(true, " ");
    } else {
      event(false, std::string(1, c));
    }
  }
  event(true, " ");
}

std::vector<std::string> Spotted(const std::vector<std::string>& texts) {
  Spotter spotter;
  double clock = 0;
  for (const std::string& t : texts) Say(&spotter, 1, 700, t, &clock);
  std::vector<SpotCall> calls;
  spotter.Take(&calls);
  std::vector<std::string> out;
  for (const SpotCall& c : calls) out.push_back(c.call);
  return out;
}

TEST(Spotter, SpotsACallCopiedTheSameWayTwiceInACq) {
  using V = std::vector<std::string>;
  struct Case {
    const char* name;
    V texts;
    V want;
  } cases[] = {
      {"cq de call call", {"CQ CQ DE DL1ABC DL1ABC K"}, {"DL1ABC"}},
      {"cq call, twice over", {"CQ DL1ABC K", "|CQ DL1ABC K"}, {"DL1ABC"}},
      {"call test", {"DL1ABC TEST", "|DL1ABC TEST"}, {"DL1ABC"}},
      {"cq test call call", {"CQ TEST G4XYZ/P G4XYZ/P"}, {"G4XYZ/P"}},
      {"once only", {"CQ DE DL1ABC K"}, {}},
      {"two copies that disagree", {"CQ DE DL1ABC DL1ABD K"}, {}},
      {"a call answered, not calling", {"DL1ABC DE G4XYZ 5NN 001", "|DL1ABC DE G4XYZ TU"}, {}},
      {"words of the exchange are no calls", {"CQ TEST 5NN TEST", "|CQ DE TEST DE K"}, {}},
      {"spotted once, however often it calls", {"CQ DE DL1ABC DL1ABC K", "|CQ DE DL1ABC DL1ABC K"}, {"DL1ABC"}},
      {"two callers", {"CQ DE DL1ABC DL1ABC K", "|CQ TEST OK1XY OK1XY"}, {"DL1ABC", "OK1XY"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Spotted(c.texts), c.want) << c.name;
}

TEST(Spotter, SpotsAgainAfterTenMinutesOrHalfAKilohertzAway) {
  Spotter spotter;
  double clock = 0;
  std::vector<SpotCall> calls;
  Say(&spotter, 1, 700, "CQ DE DL1ABC DL1ABC K", &clock);
  clock += 300;
  Say(&spotter, 1, 700, "CQ DE DL1ABC DL1ABC K", &clock);  // five minutes on: not again
  Say(&spotter, 2, 1400, "CQ DE DL1ABC DL1ABC K", &clock);  // 700 Hz away: again
  spotter.Take(&calls);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].signal, 2);
  EXPECT_DOUBLE_EQ(calls[1].freqHz, 1400);
  clock += 400;
  Say(&spotter, 1, 700, "CQ DE DL1ABC DL1ABC K", &clock);  // over ten minutes since the first
  calls.clear();
  spotter.Take(&calls);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].call, "DL1ABC");
  EXPECT_FLOAT_EQ(calls[0].wpm, 25);
}

}  // namespace
}  // namespace tolvane
