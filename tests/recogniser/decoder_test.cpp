#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"

namespace tolvane {
namespace {

using test::TempDir;

TEST(EstimateUnit, SmallerLowerQuartileClampedToTheReadableRange) {
  struct Case {
    std::vector<std::int32_t> on;
    std::vector<std::int32_t> off;
    int unit;
  };
  const Case cases[] = {
      {{518, 1478, 518}, {442, 1402}, 442},
      {{1478, 518, 518, 518, 1478}, {}, 518},
      {{900, 100, 800, 700, 600}, {}, 600},  // index 5 / 4 = 1 of the sorted values
      {{500}, {700}, 500},
      {{500}, {500}, 500},
      {{10, 10}, {}, MIN_UNIT},
      {{500}, {3}, MIN_UNIT},
      {{5000}, {}, MAX_UNIT},
      {{5000}, {4000, 3000}, MAX_UNIT},
      {{}, {700}, 700},
      {{}, {}, MAX_UNIT},
  };
  for (Case c : cases) {
    EXPECT_EQ(EstimateUnit(c.on.data(), c.on.size(), c.off.data(), c.off.size()), c.unit)
        << c.on.size() << " " << c.off.size();
  }
}

TEST(AssembleText, ReadsRunsAsUnits) {
  struct Case {
    std::vector<std::int32_t> lengths;  // alternating, starting with the state below
    bool startsOn;
    int unit;
    std::string text;
    std::string symbols;
  };
  const Case cases[] = {
      // 2.5 units rounds up to 3: a dash; 1.4 units is a dot.
      {{250, 100, 140}, true, 100, "N", "-."},
      {{100, 149, 100}, true, 100, "I", ".."},        // 1.49 units: inside a character
      {{100, 150, 100}, true, 100, "EE", ". ."},      // 1.5 rounds to 2: a new character
      {{100, 349, 100}, true, 100, "EE", ". ."},      // 3.49: still a character gap
      {{100, 350, 100}, true, 100, "E E", ". / ."},   // 3.5 rounds to 4: a word
      {{700, 100}, false, 100, " E", " / ."},         // leading silence yields its space
      {{100, 1000}, true, 100, "E ", ". / "},
      {{100, 300, 100, 300}, true, 100, "EE", ". ."},
      {{100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100}, true, 100, "?",
       "........"},
  };
  for (const Case& c : cases) {
    Runs runs;
    bool on = c.startsOn;
    for (std::int32_t length : c.lengths) {
      runs.lengths.push_back(length);
      runs.states.push_back(on ? 1 : 0);
      on = !on;
    }
    std::string text = "[";
    std::string symbols;
    ASSERT_TRUE(AssembleText(runs, c.unit, &text, &symbols));
    EXPECT_EQ(text, "[" + c.text) << c.symbols;
    EXPECT_EQ(symbols, c.symbols);
  }
}

std::string DecodeKeyed(const TempDir& dir, const std::string& text, int unitMs = 60) {
  const std::string path = dir.File("rt.wav");
  EXPECT_TRUE(KeyTextToWav(text, path.c_str(), unitMs));
  std::string decoded;
  DecodeFailure why;
  if (!DecodeWavToText(path.c_str(), &decoded, nullptr, &why)) return "<" + DescribeFailure(why) + ">";
  return decoded;
}

TEST(DecodeWavToText, KeyedFilesRoundTrip) {
  struct Case {
    std::string keyed;
    std::string decoded;
  };
  const Case cases[] = {
      {"SOS", "SOS"},
      {"PARIS", "PARIS"},
      {"73", "73"},
      {"TEST", "TEST"},
      {"MM", "MM"},
      {"Q", "Q"},
      {"O", "O"},
      {"HELLO WORLD", "HELLO WORLD"},
      {"hello  world", "HELLO WORLD"},
      {"sos", "SOS"},
      {"S#O%S", "SOS"},
      {" A", " A"},
      {"A B", "A B"},
      {"A  B", "A B"},
      {"SOS ", "SOS "},
      {"ERROR", "ERROR"},
      // Short texts whose only silences bound the recording.
      {"E", "E"},
      {"A", "A"},
      {"I", "I"},
      {"M", "M"},
      {"N", "N"},
      {"EE", "EE"},
      {"A ", "A "},
      {"ET", "ET"},
      {"TE", "TE"},
      // All tones and gaps alike: nothing tells a dash from a slow dot.
      {"T", "E"},
      {"TT", "I"},
      {"TTT", "S"},
      {"TTTT", "H"},
      {"THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789",
       "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789"},
      {".,?'!/()&:;=+-_\"$@", ".,?'!/()&:;=+-_\"$@"},
  };
  TempDir dir;
  for (const Case& c : cases) EXPECT_EQ(DecodeKeyed(dir, c.keyed), c.decoded) << c.keyed;
}

TEST(DecodeWavToText, EstimatesTheSpeedOfEachRecording) {
  // From 25 ms (48 WPM) to the slowest readable unit, 200 ms.
  TempDir dir;
  for (int unitMs : {25, 35, 50, 60, 100, 150, 200}) {
    EXPECT_EQ(DecodeKeyed(dir, "CQ DE TOLVANE 73", unitMs), "CQ DE TOLVANE 73") << unitMs;
  }
  // Faster, the envelope's fixed 38-sample smear outweighs the gaps: at
  // 20 ms the one-unit gaps become the unit and every character gap reads
  // as a word gap.
  EXPECT_EQ(DecodeKeyed(dir, "CQ DE", 20), "C Q D E ");
}

TEST(DecodeSamples, ConstantRecordingsAndTheUnitClamp) {
  struct Case {
    std::size_t count;
    std::int16_t value;
    std::string text;
  };
  const Case cases[] = {
      {1, 100, "E"}, {3999, 1000, "E"}, {4000, 1000, "T"}, {20000, -32768, "T"}, {10, 4, "E"},
  };
  for (const Case& c : cases) {
    const std::vector<std::int16_t> samples(c.count, c.value);
    std::string text;
    DecodeReport report;
    ASSERT_TRUE(DecodeSamples(samples.data(), samples.size(), &text, &report)) << c.count;
    EXPECT_EQ(text, c.text) << c.count;
    EXPECT_EQ(report.onRuns, 1u);
    EXPECT_EQ(report.offRuns, 0u);
  }
}

TEST(DecodeSamples, EightDotsHaveNoRow) {
  // Eight 60 ms dots with one-unit gaps, keyed by hand.
  std::vector<std::int16_t> samples;
  TonePhase phase;
  for (int dot = 0; dot < 8; ++dot) {
    std::vector<std::int16_t> tone(480);
    SynthesizeTone(&phase, tone.data(), tone.size());
    samples.insert(samples.end(), tone.begin(), tone.end());
    samples.insert(samples.end(), dot < 7 ? 480 : 1440, 0);
  }
  std::string text;
  DecodeReport report;
  ASSERT_TRUE(DecodeSamples(samples.data(), samples.size(), &text, &report));
  EXPECT_EQ(text, "?");
  EXPECT_EQ(report.symbols, "........");
}

TEST(DecodeSamples, ReportsWhatItMeasured) {
  TempDir dir;
  const std::string path = dir.File("sos.wav");
  ASSERT_TRUE(KeyTextToWav("SOS", path.c_str(), 60));
  std::string text;
  DecodeReport report;
  ASSERT_TRUE(DecodeWavToText(path.c_str(), &text, &report));
  EXPECT_EQ(report.sampleCount, 14400u);
  EXPECT_EQ(report.peak, 10423);
  EXPECT_EQ(report.threshold, 2084);
  EXPECT_EQ(report.onRuns, 9u);
  EXPECT_EQ(report.offRuns, 10u);
  EXPECT_EQ(report.unit, 442);
  EXPECT_EQ(report.symbols, "... --- ...");
}

TEST(DecodeWavToText, RecordingsWithNothingToRead) {
  struct Case {
    std::string name;
    test::Bytes file;
    DecodeError error;
  };
  const Case cases[] = {
      {"no samples", test::PcmWav({}), DecodeError::kNoSamples},
      {"one zero sample", test::PcmWav({0}), DecodeError::kSilent},
      {"digital silence", test::PcmWav(std::vector<std::int16_t>(8000, 0)), DecodeError::kSilent},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.File("empty.wav");
    test::WriteBytes(path, c.file);
    std::string text;
    DecodeFailure why;
    EXPECT_FALSE(DecodeWavToText(path.c_str(), &text, nullptr, &why)) << c.name;
    EXPECT_EQ(why.error, c.error) << c.name;
  }
  // Spaces only: a valid file of pure silence.
  EXPECT_EQ(DecodeKeyed(dir, "   "), "<the recording is silent (every sample is zero)>");
}

TEST(DecodeWavToText, TheFixedBufferTakesAtMost199Bytes) {
  TempDir dir;
  const std::string path = dir.File("long.wav");
  for (const std::size_t length : {198u, 199u, 200u, 400u}) {
    const std::string text(length, 'E');
    ASSERT_TRUE(KeyTextToWav(text, path.c_str(), 60));
    EXPECT_EQ(DecodeWavToText(path.c_str()), length <= 199) << length;
    if (length <= 199) {
      EXPECT_EQ(std::string(DecodedText), text);
    }
    std::string full;
    ASSERT_TRUE(DecodeWavToText(path.c_str(), &full));
    EXPECT_EQ(full, text);  // the growable form has no limit
  }
}

}  // namespace
}  // namespace tolvane
