#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "support/test_support.h"

namespace tolvane {
namespace {

std::vector<std::int32_t> Envelope(const std::vector<std::int16_t>& samples, int window) {
  std::vector<std::int32_t> envelope(samples.size(), -1);
  ComputeEnvelope(samples.data(), samples.size(), window, envelope.data());
  return envelope;
}

TEST(ComputeEnvelope, MeansOverAGrowingThenSlidingWindow) {
  struct Case {
    std::vector<std::int16_t> samples;
    int window;
    std::vector<std::int32_t> envelope;
  };
  const Case cases[] = {
      {{3, -6, 9, 0, 0}, 2, {3, 4, 7, 4, 0}},
      {{3, -6, 9, 0, 0}, 3, {3, 4, 6, 5, 3}},
      {{-32768, -32768, 5}, 2, {32768, 32768, 16386}},
      {{4, 8, -2}, 0, {4, 8, 2}},  // a window under 1 is taken as 1
      {{4, 8, -2}, -3, {4, 8, 2}},
      {{1, 2}, 64, {1, 1}},
      {{}, 64, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Envelope(c.samples, c.window), c.envelope) << c.window;
}

// The runs of a file keyed at 60 ms: the envelope lengthens every tone and
// shortens every gap by about 38 samples.
TEST(SegmentRuns, MeasuresAKeyedFile) {
  test::TempDir dir;
  const std::string path = dir.File("sos.wav");
  ASSERT_TRUE(KeyTextToWav("SOS", path.c_str(), 60));
  const std::vector<std::int16_t> samples = test::SamplesAfterHeader(test::ReadBytes(path));
  const std::vector<std::int32_t> envelope = Envelope(samples, ENVELOPE_WINDOW);
  EXPECT_EQ(envelope[0], 0);
  EXPECT_EQ(envelope[1], 3631);
  Runs runs;
  ASSERT_TRUE(SegmentRuns(envelope.data(), envelope.size(), &runs));
  EXPECT_EQ(runs.peak, 10423);
  EXPECT_EQ(runs.threshold, 2084);
  const std::vector<std::int32_t> lengths = {1,    530, 442, 518, 442, 518, 1402, 1478, 442, 1478,
                                             442, 1478, 1402, 518, 442, 518, 442, 518, 1389};
  EXPECT_EQ(runs.lengths, lengths);
  std::vector<std::int32_t> states;
  for (std::size_t i = 0; i < lengths.size(); ++i) states.push_back(i % 2 == 1 ? 1 : 0);
  EXPECT_EQ(runs.states, states);
  EXPECT_EQ(runs.onCount, 9u);
  EXPECT_EQ(runs.offCount, 10u);
}

TEST(SegmentRuns, EdgeRecordings) {
  struct Case {
    std::string name;
    std::vector<std::int32_t> envelope;
    DecodeError error;  // kNone: segments
    std::vector<std::int32_t> lengths;
    std::vector<std::int32_t> states;
  };
  const Case cases[] = {
      {"constant", std::vector<std::int32_t>(100, 7), DecodeError::kNone, {100}, {1}},
      {"peak 4: threshold 0", {0, 4, 0, 1}, DecodeError::kNone, {4}, {1}},
      {"peak 5: threshold 1", {0, 5, 0, 1}, DecodeError::kNone, {1, 1, 1, 1}, {0, 1, 0, 1}},
      {"starts on", {10, 10, 0}, DecodeError::kNone, {2, 1}, {1, 0}},
      {"threshold is inclusive", {0, 2, 10, 1}, DecodeError::kNone, {1, 2, 1}, {0, 1, 0}},
      {"all zero", std::vector<std::int32_t>(10, 0), DecodeError::kSilent, {}, {}},
      {"empty", {}, DecodeError::kNoSamples, {}, {}},
  };
  for (const Case& c : cases) {
    Runs runs;
    DecodeFailure why;
    const bool ok = SegmentRuns(c.envelope.data(), c.envelope.size(), &runs, &why);
    EXPECT_EQ(ok, c.error == DecodeError::kNone) << c.name;
    EXPECT_EQ(why.error, c.error) << c.name;
    if (!ok) continue;
    EXPECT_EQ(runs.lengths, c.lengths) << c.name;
    EXPECT_EQ(runs.states, c.states) << c.name;
    std::size_t on = 0;
    for (std::int32_t s : c.states) on += static_cast<std::size_t>(s);
    EXPECT_EQ(runs.onCount, on) << c.name;
    EXPECT_EQ(runs.offCount, c.states.size() - on) << c.name;
  }
}

// Decoding finds the runs straight from the samples; it must find exactly
// what the envelope would give, for every kind of recording and window.
TEST(SegmentSamples, AgreesWithTheEnvelopeEverywhere) {
  test::TempDir dir;
  const std::string path = dir.File("k.wav");
  ASSERT_TRUE(KeyTextToWav("CQ TEST 73 ?", path.c_str(), 25));
  std::vector<std::vector<std::int16_t>> recordings = {
      test::SamplesAfterHeader(test::ReadBytes(path)),
      {0},
      {5},
      {0, 0, 0, 0},
      {-32768, -32768, -32768},
      {1, 0, 4, 0, 2, 0, 0, 0, 0, 3},
  };
  std::mt19937 random(7);
  for (int r = 0; r < 20; ++r) {
    // Bursts of noise of random loudness and length, with silences between.
    std::vector<std::int16_t> samples;
    std::uniform_int_distribution<int> length(1, 300);
    std::uniform_int_distribution<int> loudness(0, 32767);
    while (samples.size() < 5000) {
      const int amplitude = r % 4 == 0 ? 3 : loudness(random);  // some with peak under 5
      std::uniform_int_distribution<int> value(-amplitude - (r % 2), amplitude);
      for (int i = length(random); i > 0; --i) samples.push_back(static_cast<std::int16_t>(value(random)));
      samples.insert(samples.end(), static_cast<std::size_t>(length(random)), 0);
    }
    recordings.push_back(samples);
  }
  for (std::size_t r = 0; r < recordings.size(); ++r) {
    const std::vector<std::int16_t>& samples = recordings[r];
    for (int window : {-1, 1, 2, 7, 64, 100, 65535, 70000}) {
      Runs expected;
      DecodeFailure expectedWhy;
      const std::vector<std::int32_t> envelope = Envelope(samples, window);
      const bool expectedOk = SegmentRuns(envelope.data(), envelope.size(), &expected, &expectedWhy);
      Runs runs;
      DecodeFailure why;
      ASSERT_EQ(SegmentSamples(samples.data(), samples.size(), window, &runs, &why), expectedOk)
          << r << " " << window;
      EXPECT_EQ(why.error, expectedWhy.error);
      if (!expectedOk) continue;
      EXPECT_EQ(runs.lengths, expected.lengths) << r << " " << window;
      EXPECT_EQ(runs.states, expected.states) << r << " " << window;
      EXPECT_EQ(runs.onCount, expected.onCount);
      EXPECT_EQ(runs.offCount, expected.offCount);
      EXPECT_EQ(runs.peak, expected.peak) << r << " " << window;
      EXPECT_EQ(runs.threshold, expected.threshold);
    }
  }
  Runs none;
  DecodeFailure why;
  EXPECT_FALSE(SegmentSamples(nullptr, 0, 64, &none, &why));
  EXPECT_EQ(why.error, DecodeError::kNoSamples);
}

}  // namespace
}  // namespace tolvane
