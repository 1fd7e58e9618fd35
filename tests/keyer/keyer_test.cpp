#include "keyer/keyer.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tolvane {
namespace {

using test::ReadBytes;
using test::SamplesAfterHeader;
using test::TempDir;
using test::U16At;
using test::U32At;

std::vector<unsigned char> Key(const TempDir& dir, const std::string& text, int unitMs = 60) {
  const std::string path = dir.File("keyed.wav");
  EXPECT_TRUE(KeyTextToWav(text, path.c_str(), unitMs)) << text;
  return ReadBytes(path);
}

TEST(Keyer, ConstantsHaveTheirPinnedBitPatterns) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &kPhaseStep, sizeof bits);
  EXPECT_EQ(bits, 0x3FDE28C731EB6950u);
  std::memcpy(&bits, &kTwoPi, sizeof bits);
  EXPECT_EQ(bits, 0x401921FB54442D18u);
  EXPECT_EQ(SamplesPerUnit(60), 480);
  EXPECT_EQ(SamplesPerUnit(1), 8);
}

TEST(Keyer, WritesTheGoldenHeader) {
  TempDir dir;
  const std::vector<unsigned char> file = Key(dir, "SOS");
  const unsigned char golden[44] = {
      'R', 'I', 'F', 'F', 0xA4, 0x70, 0x00, 0x00, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
      16,  0,   0,   0,   1,    0,    1,    0,    0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0,
      2,   0,   16,  0,   'd',  'a',  't',  'a',  0x80, 0x70, 0x00, 0x00};
  ASSERT_EQ(file.size(), 28844u);
  EXPECT_EQ(std::vector<unsigned char>(file.begin(), file.begin() + 44),
            std::vector<unsigned char>(golden, golden + 44));
}

TEST(Keyer, SizesFollowTheTimingTable) {
  struct Case {
    std::string text;
    std::uint32_t samples;
  };
  const Case cases[] = {
      {"E", 1920},        {"SOS", 14400}, {"HELLO WORLD", 56160}, {"", 0},
      {"#", 0},           {" ", 3360},    {"  ", 6720},           {"E E", 1920 + 3360 + 1920},
      {"T", 2880},        {"0", 22 * 480}, {"é#%", 0},            {"e\x80z", 1920 + 6720},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::vector<unsigned char> file = Key(dir, c.text);
    ASSERT_EQ(file.size(), 44u + 2u * c.samples) << c.text;
    EXPECT_EQ(U32At(file, 4), 36 + 2 * c.samples) << c.text;
    EXPECT_EQ(U32At(file, 40), 2 * c.samples) << c.text;
    EXPECT_EQ(CountSamples(c.text, 480), c.samples) << c.text;
  }
  EXPECT_EQ(Key(dir, "E").size(), 3884u);
}

TEST(Keyer, CaseAndUnknownCharactersDoNotChangeTheFile) {
  const std::pair<std::string, std::string> same[] = {
      {"sos", "SOS"}, {"a", "A"}, {"Hello, World!", "HELLO, WORLD!"}, {"S#O%S", "SOS"}};
  TempDir dir;
  for (const auto& [a, b] : same) EXPECT_EQ(Key(dir, a), Key(dir, b)) << a;
}

TEST(Keyer, FirstSamplesTruncateTowardZero) {
  TempDir dir;
  const std::vector<std::int16_t> samples = SamplesAfterHeader(Key(dir, "A"));
  const std::vector<std::int16_t> first(samples.begin(), samples.begin() + 8);
  EXPECT_EQ(first, (std::vector<std::int16_t>{0, 7263, 12944, 15803, 15216, 11313, 4944, -2502}));
}

TEST(Keyer, ToneRepeatsEveryFortySamplesAndEveryToneStartsAlike) {
  TempDir dir;
  const std::vector<std::int16_t> samples = SamplesAfterHeader(Key(dir, "SOS"));
  // Tones of S, O, S at 480 samples per unit: start offsets in samples.
  const int starts[] = {0, 960, 1920, 3840, 5760, 7680, 10560, 11520, 12480};
  const int lengths[] = {480, 480, 480, 1440, 1440, 1440, 480, 480, 480};
  const std::vector<std::int16_t> head(samples.begin(), samples.begin() + 8);
  for (int t = 0; t < 9; ++t) {
    const auto begin = samples.begin() + starts[t];
    EXPECT_EQ(std::vector<std::int16_t>(begin, begin + 8), head) << "tone " << t;
    EXPECT_EQ(begin[lengths[t] - 2], -12944) << "tone " << t;
    EXPECT_EQ(begin[lengths[t] - 1], -7263) << "tone " << t;
    for (int i = 40; i < lengths[t]; ++i) ASSERT_EQ(begin[i], begin[i - 40]) << t << " " << i;
    // The silence after each tone is digital zero.
    EXPECT_EQ(begin[lengths[t]], 0);
  }
  std::int16_t low = 0;
  std::int16_t high = 0;
  for (std::int16_t s : samples) {
    low = std::min(low, s);
    high = std::max(high, s);
  }
  EXPECT_EQ(low, -16000);
  EXPECT_EQ(high, 16000);
}

TEST(Keyer, CarriesThePhaseFromToneToTone) {
  TempDir dir;
  const std::vector<unsigned char> file = Key(dir, "EE", 1);
  const std::vector<std::int16_t> zeros(24, 0);
  std::vector<std::int16_t> expected = {0, 7263, 12944, 15803, 15216, 11313, 4944, -2502};
  expected.insert(expected.end(), zeros.begin(), zeros.end());
  for (int s : {-9404, -14256, -16000, -14256, -9404, -2502, 4944, 11313}) {
    expected.push_back(static_cast<std::int16_t>(s));
  }
  expected.insert(expected.end(), zeros.begin(), zeros.end());
  EXPECT_EQ(SamplesAfterHeader(file), expected);
}

// Tone where the timing table says tone, digital silence everywhere else.
// The keyer copies tone samples from a table once the phase repeats; over
// millions of samples, split into tones that end mid-cycle, they must be
// exactly what the phase recurrence computes sample by sample.
TEST(Keyer, TableToneMatchesThePhaseRecurrenceOverMillionsOfSamples) {
  TempDir dir;
  const std::string path = dir.File("long.wav");
  const std::size_t letters = 250000;
  ASSERT_TRUE(KeyTextToWav(std::string(letters, 'E'), path.c_str(), 1));  // 8 tone, 24 silent
  const std::vector<std::int16_t> samples = SamplesAfterHeader(ReadBytes(path));
  ASSERT_EQ(samples.size(), letters * 32);
  std::vector<std::int16_t> expected(letters * 8);
  TonePhase phase;
  SynthesizeTone(&phase, expected.data(), expected.size());
  for (std::size_t e = 0; e < letters; ++e) {
    for (std::size_t i = 0; i < 8; ++i) {
      ASSERT_EQ(samples[e * 32 + i], expected[e * 8 + i]) << "tone sample " << e * 8 + i;
    }
    for (std::size_t i = 8; i < 32; ++i) ASSERT_EQ(samples[e * 32 + i], 0) << e;
  }
}

TEST(Keyer, TimingOfSymbolsCharactersAndWords) {
  struct Case {
    std::string text;
    std::string pattern;  // one letter per unit: '#' tone, '_' silence
  };
  const Case cases[] = {
      {"A B", "#_###___" "_______" "###_#_#_#___"},
      {" E", "_______" "#___"},
      {"E  E", "#___" "______________" "#___"},
      {"M", "###_###___"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::vector<std::int16_t> samples = SamplesAfterHeader(Key(dir, c.text, 1));
    ASSERT_EQ(samples.size(), c.pattern.size() * 8) << c.text;
    for (std::size_t unit = 0; unit < c.pattern.size(); ++unit) {
      bool anyTone = false;
      for (std::size_t i = unit * 8; i < unit * 8 + 8; ++i) anyTone = anyTone || samples[i] != 0;
      EXPECT_EQ(anyTone, c.pattern[unit] == '#') << c.text << " unit " << unit;
    }
  }
}

TEST(Keyer, HeaderWriterDerivesRateAndAlignment) {
  TempDir dir;
  const std::string path = dir.File("header.wav");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(WriteWavHeader(file, 44100, 2, 24, 600));
  std::fclose(file);
  const std::vector<unsigned char> bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(U32At(bytes, 4), 636u);
  EXPECT_EQ(U16At(bytes, 22), 2u);
  EXPECT_EQ(U32At(bytes, 24), 44100u);
  EXPECT_EQ(U32At(bytes, 28), 264600u);
  EXPECT_EQ(U16At(bytes, 32), 6u);
  EXPECT_EQ(U16At(bytes, 34), 24u);
}

TEST(Keyer, FailuresSayWhatWentWrongAndCreateNothingWhenRefused) {
  TempDir dir;
  // 62 zeros at 1.6 million samples per unit pass the 32-bit size limit; 61 fit.
  const std::string tooLong(62, '0');
  struct Case {
    std::string text;
    std::string path;
    int unitMs;
    KeyError error;
    bool createsFile;
  };
  const Case cases[] = {
      {"SOS", dir.File("missing/out.wav"), 60, KeyError::kOpen, false},
      {"SOS", "", 60, KeyError::kOpen, false},
      {"SOS", dir.path(), 60, KeyError::kOpen, true},  // a directory: exists already
      {"SOS", dir.File("zero.wav"), 0, KeyError::kBadUnit, false},
      {"SOS", dir.File("neg.wav"), -5, KeyError::kBadUnit, false},
      {tooLong, dir.File("long.wav"), 200000, KeyError::kTooLong, false},
#if !defined(_WIN32)
      {"SOS", "/dev/full", 60, KeyError::kWrite, true},
      {"", "/dev/full", 60, KeyError::kClose, true},
#endif
  };
  for (const Case& c : cases) {
    KeyFailure why;
    EXPECT_FALSE(KeyTextToWav(c.text, c.path.c_str(), c.unitMs, &why)) << c.path;
    EXPECT_EQ(why.error, c.error) << c.path;
    if (c.error == KeyError::kOpen || c.error == KeyError::kWrite || c.error == KeyError::kClose) {
      EXPECT_NE(why.sysErrno, 0) << c.path;
    }
    if (!c.path.empty()) {
      EXPECT_EQ(test::FileExists(c.path), c.createsFile) << c.path;
    }
  }
  // Just under the limit the count is still exact.
  EXPECT_GT(CountSamples(tooLong, SamplesPerUnit(200000)), kMaxWavSamples);
  EXPECT_EQ(CountSamples(std::string(61, '0'), SamplesPerUnit(200000)), 61u * 22u * 1600000u);
}

}  // namespace
}  // namespace tolvane
