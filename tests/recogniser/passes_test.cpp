// The basic recogniser read in passes must give what it gives over the
// whole recording in memory, bit for bit: text, failure and measurements.
#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "recogniser/streaming.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"

namespace tolvane {
namespace {

using test::TempDir;

// Samples in memory, handed out at most `most` at a time.
class MemorySamples : public SampleSource {
 public:
  MemorySamples(const std::vector<std::int16_t>* samples, std::size_t most) : samples_(samples), most_(most) {}
  std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure*) override {
    const std::size_t n = std::min({max, most_, samples_->size() - at_});
    std::copy(samples_->begin() + static_cast<std::ptrdiff_t>(at_),
              samples_->begin() + static_cast<std::ptrdiff_t>(at_ + n), out);
    at_ += n;
    return n;
  }
  bool Rewind(std::uint64_t, DecodeFailure*) override {
    at_ = 0;
    ++rewinds;
    return true;
  }
  int rewinds = 0;

 private:
  const std::vector<std::int16_t>* samples_;
  std::size_t most_;
  std::size_t at_ = 0;
};

struct Outcome {
  DecodeError error;
  std::string text;
  DecodeReport report;
};

Outcome Whole(const std::vector<std::int16_t>& samples) {
  Outcome o;
  DecodeFailure why;
  DecodeSamples(samples.data(), samples.size(), &o.text, &o.report, &why);
  o.error = why.error;
  return o;
}

Outcome Passes(SampleSource* source, std::size_t keep = kMaxKeptRuns) {
  Outcome o;
  DecodeFailure why;
  DecodeSourceKeeping(source, &o.text, &o.report, &why, std::string::npos, keep);
  o.error = why.error;
  return o;
}

void ExpectSame(const Outcome& passes, const Outcome& whole, const std::string& name) {
  EXPECT_EQ(passes.error, whole.error) << name;
  EXPECT_EQ(passes.text, whole.text) << name;
  if (whole.error != DecodeError::kNone) return;
  EXPECT_EQ(passes.report.sampleCount, whole.report.sampleCount) << name;
  EXPECT_EQ(passes.report.peak, whole.report.peak) << name;
  EXPECT_EQ(passes.report.threshold, whole.report.threshold) << name;
  EXPECT_EQ(passes.report.onRuns, whole.report.onRuns) << name;
  EXPECT_EQ(passes.report.offRuns, whole.report.offRuns) << name;
  EXPECT_EQ(passes.report.unit, whole.report.unit) << name;
  EXPECT_EQ(passes.report.symbols, whole.report.symbols) << name;
}

std::vector<std::int16_t> Keyed(const TempDir& dir, const std::string& text, int unitMs) {
  const std::string path = dir.File("k.wav");
  EXPECT_TRUE(KeyTextToWav(text, path.c_str(), unitMs));
  return test::SamplesAfterHeader(test::ReadBytes(path));
}

// Recordings that take every path: the loudest moment first, late (so the
// start is cut again), rising chunk after chunk, lengths on either side of
// the first 128 positions and of whole chunks, silence, levels under 5.
std::vector<std::pair<std::string, std::vector<std::int16_t>>> Recordings(const TempDir& dir) {
  std::vector<std::pair<std::string, std::vector<std::int16_t>>> out;
  for (int unitMs : {5, 13, 25, 60, 200}) {
    out.emplace_back("keyed " + std::to_string(unitMs), Keyed(dir, "CQ DE TOLVANE 73 ?", unitMs));
  }
  out.emplace_back("keyed E", Keyed(dir, "E", 60));
  out.emplace_back("keyed long gap", Keyed(dir, "A        B", 30));
  std::mt19937 random(11);
  for (int r = 0; r < 24; ++r) {
    std::vector<std::int16_t> samples;
    std::uniform_int_distribution<int> length(1, r % 3 == 0 ? 3000 : 300);
    std::uniform_int_distribution<int> loudness(0, 32767);
    const std::size_t size = r % 4 == 0 ? 127 + static_cast<std::size_t>(r) : 5000 + 3000 * static_cast<std::size_t>(r);
    int level = 10;
    while (samples.size() < size) {
      // Odd r: a level that keeps rising, so the threshold rises late.
      const int amplitude = r % 6 == 1 ? 3 : (r % 2 == 1 ? (level = std::min(32767, level * 5 / 4 + 1)) : loudness(random));
      std::uniform_int_distribution<int> value(-amplitude - (r % 2), amplitude);
      for (int i = length(random); i > 0; --i) samples.push_back(static_cast<std::int16_t>(value(random)));
      samples.insert(samples.end(), static_cast<std::size_t>(length(random)), 0);
    }
    out.emplace_back("noise " + std::to_string(r), samples);
  }
  for (std::size_t n : {1u, 63u, 64u, 127u, 128u, 129u, 1023u, 1024u, 1025u, 2048u, 70000u}) {
    std::vector<std::int16_t> ramp(n);
    for (std::size_t i = 0; i < n; ++i) ramp[i] = static_cast<std::int16_t>((i * 37) % 20000 - (i % 3 == 0 ? 10000 : 0));
    out.emplace_back("ramp " + std::to_string(n), ramp);
  }
  out.emplace_back("silence", std::vector<std::int16_t>(5000, 0));
  out.emplace_back("one-bit dither", std::vector<std::int16_t>(5000, 1));
  out.emplace_back("empty", std::vector<std::int16_t>());
  out.emplace_back("constant", std::vector<std::int16_t>(9000, -32768));
  std::vector<std::int16_t> late(50000, 0);
  for (std::size_t i = 0; i < late.size(); ++i) late[i] = static_cast<std::int16_t>((i / 700) % 2 == 0 ? 0 : 2000);
  for (std::size_t i = 45000; i < 46000; ++i) late[i] = static_cast<std::int16_t>(i % 2 == 0 ? 30000 : -30000);
  out.emplace_back("loudest at the end", late);
  return out;
}

TEST(DecodeSource, GivesWhatTheWholeRecordingGives) {
  TempDir dir;
  for (const auto& [name, samples] : Recordings(dir)) {
    const Outcome whole = Whole(samples);
    // Blocks of every size; keeping all runs, a few, or none (the third pass).
    for (std::size_t most : {1u, 7u, 1000u, 65536u}) {
      for (std::size_t keep : {kMaxKeptRuns, std::size_t{3}, std::size_t{0}}) {
        MemorySamples source(&samples, most);
        ExpectSame(Passes(&source, keep), whole, name + " blocks of " + std::to_string(most) + ", keeping " +
                                                     std::to_string(keep));
      }
    }
  }
}

TEST(DecodeSource, LooksAgainOnlyWhereItMust) {
  TempDir dir;
  struct Case {
    std::string name;
    std::vector<std::int16_t> samples;
    std::size_t keep;
    int rewinds;
  };
  std::vector<std::int16_t> late(20000, 1000);
  late[15000] = 30000;
  const Case cases[] = {
      {"keyed: loudest at once", Keyed(dir, "PARIS", 60), kMaxKeptRuns, 0},
      {"loudest late", late, kMaxKeptRuns, 1},
      {"more runs than kept", Keyed(dir, "PARIS", 60), 4, 1},
      {"both", late, 0, 2},
  };
  for (const Case& c : cases) {
    MemorySamples source(&c.samples, 4096);
    ExpectSame(Passes(&source, c.keep), Whole(c.samples), c.name);
    EXPECT_EQ(source.rewinds, c.rewinds) << c.name;
  }
}

// The text stops at its limit, whichever pass writes it.
TEST(DecodeSource, StopsAtTheTextLimit) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, "PARIS PARIS", 60);
  for (std::size_t keep : {kMaxKeptRuns, std::size_t{0}}) {
    for (const auto& [limit, error] : {std::pair<std::size_t, DecodeError>{11, DecodeError::kNone},
                                       {10, DecodeError::kTooLong}, {0, DecodeError::kTooLong}}) {
      MemorySamples source(&keyed, 4096);
      std::string text;
      DecodeFailure why;
      DecodeSourceKeeping(&source, &text, nullptr, &why, limit, keep);
      EXPECT_EQ(why.error, error) << limit << " keeping " << keep;
      EXPECT_LE(text.size(), limit);
    }
  }
}

// Both of Wave2Morse's paths, on the keyer's files and on every input the
// fuzzer kept: the file read in passes, and the whole file loaded first.
TEST(DecodeWavToText, ReadInPassesAsLoadedWhole) {
  TempDir dir;
  std::vector<std::string> paths;
  const std::string texts[] = {"SOS", "HELLO WORLD", "E", "T", " A", "?/=+ (OK)", "73 DE TOLVANE"};
  int n = 0;
  for (const std::string& text : texts) {
    for (int unitMs : {5, 20, 60, 199, 200}) {
      paths.push_back(dir.File("keyed" + std::to_string(n++) + ".wav"));
      ASSERT_TRUE(KeyTextToWav(text, paths.back().c_str(), unitMs));
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(TOLVANE_FUZZ_CORPUS "/decode")) {
    paths.push_back(entry.path().string());
  }
  ASSERT_GT(paths.size(), 100u);
  for (const std::string& path : paths) {
    Outcome whole;
    std::unique_ptr<std::int16_t[]> samples;
    int rate = 0;
    std::size_t count = 0;
    DecodeFailure why;
    if (LoadWavSamples(path.c_str(), &samples, &rate, &count, &why)) {
      DecodeSamples(samples.get(), count, &whole.text, &whole.report, &why);
    }
    whole.error = why.error;
    Outcome passes;
    DecodeFailure passesWhy;
    DecodeWavToText(path.c_str(), &passes.text, &passes.report, &passesWhy);
    passes.error = passesWhy.error;
    ExpectSame(passes, whole, path);
    // The fixed buffer holds 199 bytes: longer texts fail rather than cut.
    const bool fits = whole.error == DecodeError::kNone && whole.text.size() <= kMaxTextBytes;
    EXPECT_EQ(DecodeWavToText(path.c_str()), fits) << path;
    if (fits) {
      EXPECT_EQ(std::string(DecodedText), whole.text) << path;
    }
  }
}

// A stream keeps its start for a second look; a look past it fails.
TEST(ReplaySource, RewindsWithinWhatItKept) {
  TempDir dir;
  std::vector<std::int16_t> late(20000, 1000);
  late[15000] = 30000;
  const std::vector<std::int16_t> keyed = Keyed(dir, "PARIS", 60);
  struct Case {
    std::string name;
    const std::vector<std::int16_t>* samples;
    std::size_t capacity;
    DecodeError error;
  };
  const Case cases[] = {
      {"keyed, nothing kept: no second look needed", &keyed, 0, DecodeError::kNone},
      {"loudest late, all kept", &late, 20000, DecodeError::kNone},
      // The threshold rose in the chunk from 14 * 1024 on: the start before
      // it is looked at again.
      {"loudest late, exactly the start before it kept", &late, 14336, DecodeError::kNone},
      {"loudest late, one sample too few kept", &late, 14335, DecodeError::kCannotRewind},
  };
  for (const Case& c : cases) {
    MemorySamples inner(c.samples, 333);
    ReplaySource replay(&inner, c.capacity);
    const Outcome passes = Passes(&replay);
    EXPECT_EQ(inner.rewinds, 0) << c.name;  // the inner source is never rewound
    if (c.error == DecodeError::kNone) {
      ExpectSame(passes, Whole(*c.samples), c.name);
    } else {
      EXPECT_EQ(passes.error, c.error) << c.name;
    }
  }
}

}  // namespace
}  // namespace tolvane
