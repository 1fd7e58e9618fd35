// What a new signal must read before it is announced: Morse text, not the
// runs of single long elements that speech and other sounds give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morse/morse.h"
#include "skim/judge.h"

namespace tolvane::skim {
namespace {

// Events for `text` at `wpm`, codes from the Morse table.
std::vector<SkimEvent> Held(const std::string& text, float wpm) {
  std::vector<SkimEvent> out;
  for (char c : text) {
    SkimEvent e;
    e.wpm = wpm;
    if (c == ' ') {
      e.wordGap = true;
      e.text = " ";
    } else {
      e.text = std::string(1, c);
      // '#' stands for a code read as no character.
      e.code = c == '#' ? "...-.-.-" : LookupCode(c);
      if (c == '#') e.text = "?";
    }
    out.push_back(e);
  }
  return out;
}

TEST(Judge, TakesMorseTextAndRefusesWhatSpeechReadsAs) {
  struct Case {
    const char* text;
    float wpm;
    bool morse;
  } cases[] = {
      {"CQ CQ CQ DE K0MW K0MW K", 30, true},
      {"TU UA4FB TEST CQ UA4FB", 22, true},
      {"SM2NS 5NN 227 CQ CQ DE", 35, true},
      {"CQ TEST G4XYZ G4XYZ K", 8, true},
      {"VE4T VE4T TEST CQ TEST VE4T", 38, true},  // half of it E and T
      {"QRZ? G2PTG UP OE6OBJ/P", 12, true},       // a question mark is read
      {"TESTTETEETTSTEET", 25, false},            // E and T, too many
      {"CQ CQ DE K0MW K0MW", 30, false},        // too few to judge
      {"TTTENNNEMRTTTNTT", 25, false},          // speech
      {"ERITNKTADTANMKTA", 25, false},
      {"AAEITTAEETTTRTNT", 18, false},
      {"CQ CQ CQ DE K0MW K0MW K", 120, false},  // no operator keys this fast
      {"CQ CQ CQ DE K0MW K0MW K", 3, false},
      {"## ## # CQ CQ ## ### ## DE", 25, false},
  };
  for (const Case& c : cases) EXPECT_EQ(LooksLikeMorse(Held(c.text, c.wpm)), c.morse) << c.text;
}

TEST(Judge, HoldsOnlyTheNewestCharacters) {
  std::vector<SkimEvent> held = Held("ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 ABCDEFGHIJ", 20);
  Trim(&held);
  std::string kept;
  for (const SkimEvent& e : held) kept += e.text;
  EXPECT_EQ(kept, "GHIJKLMNOPQRSTUVWXYZ 0123456789 ABCDEFGHIJ");
}

}  // namespace
}  // namespace tolvane::skim
