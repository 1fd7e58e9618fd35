// tolvane encode's practice options measured on the files it writes: the
// SNR in 2500 Hz, the fading's depth and mean, a hand's timing, the seed,
// and the text read back.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "morse/morse.h"
#include "sim/measure.h"
#include "support/test_support.h"

namespace tolvane {
namespace {

using test::ReadBytes;
using test::ShellQuote;
using test::TempDir;

// Runs `tolvane encode ARGS` in `dir`; the exit code.
int Encode(const TempDir& dir, const std::string& args) {
  const std::string command = "cd " + ShellQuote(dir.path()) + " && " + TOLVANE_TOOL_RUNNER + " " +
                              ShellQuote(TOLVANE_TOOL) + " encode " + args + " 2>err";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<float> Samples(const TempDir& dir, const std::string& name) {
  const std::vector<std::int16_t> pcm = test::SamplesAfterHeader(ReadBytes(dir.File(name)));
  return std::vector<float>(pcm.begin(), pcm.end());
}

const char kParis[] = "PARIS PARIS PARIS PARIS PARIS PARIS PARIS PARIS PARIS PARIS PARIS PARIS";

// The SNR the file holds: the tone found by projecting the noisy file on a
// clean one with the same timing, over the noise density in the passband
// times 2500 Hz.
TEST(Practice, NoiseHasTheAskedSnrIn2500Hz) {
  TempDir dir;
  struct Case {
    double snr;
    std::string options;
  };
  const Case cases[] = {{10, ""}, {0, ""}, {-10, ""}, {20, "--rate 48000 --pitch 800"}, {3, "--rise-ms 5 --wpm 30"}};
  for (const Case& c : cases) {
    const std::string text = ShellQuote(kParis);
    ASSERT_EQ(Encode(dir, c.options + " --volume -20 " + text + " clean.wav"), 0);
    ASSERT_EQ(Encode(dir, c.options + " --seed 4 --snr " + std::to_string(c.snr) + " " + text + " noisy.wav"), 0);
    const std::vector<float> clean = Samples(dir, "clean.wav");
    const std::vector<float> noisy = Samples(dir, "noisy.wav");
    ASSERT_EQ(clean.size(), noisy.size());
    double dot = 0, energy = 0, peak = 0;
    for (std::size_t n = 0; n < clean.size(); ++n) {
      dot += static_cast<double>(clean[n]) * noisy[n];
      energy += static_cast<double>(clean[n]) * clean[n];
      peak = std::max(peak, std::abs(static_cast<double>(clean[n])));
    }
    const double gain = dot / energy;
    std::vector<float> residual(noisy.size());
    for (std::size_t n = 0; n < noisy.size(); ++n) residual[n] = static_cast<float>(noisy[n] - gain * clean[n]);
    const double rate = c.options.find("48000") != std::string::npos ? 48000 : 8000;
    const std::vector<double> psd = sim::test::Psd(residual, rate);
    const double density = sim::test::BandPower(psd, rate, 500, 2500) / 2000;
    const double tone = gain * gain * peak * peak / 2;
    EXPECT_NEAR(sim::test::Db(tone / (density * 2500)), c.snr, 1.0) << c.options;
    // Nothing outside the receiver's 300-2700 Hz but the tone's own sidebands.
    EXPECT_LT(sim::test::BandPower(psd, rate, 3000, 3900), 0.01 * density * 2400) << c.options;
  }
}

// Marks and gaps in samples, from a file keyed without noise: a gap is a
// run of more than 4 zero samples (the tone itself passes through zero).
struct Runs {
  std::vector<double> marks, gaps;
};
Runs Measure(const std::vector<float>& x) {
  Runs r;
  std::size_t start = 0, zeros = 0;
  bool inMark = false;
  for (std::size_t n = 0; n <= x.size(); ++n) {
    const bool silent = n == x.size() || x[n] == 0;
    zeros = silent ? zeros + 1 : 0;
    if (!silent && !inMark) {
      if (!r.marks.empty() || start > 0) r.gaps.push_back(static_cast<double>(n - start));
      start = n, inMark = true;
    } else if (inMark && (zeros > 4 || n == x.size())) {
      const std::size_t end = n - zeros + 1;
      r.marks.push_back(static_cast<double>(end - start));
      start = end, inMark = false;
    }
  }
  return r;
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}
double Spread(const std::vector<double>& v) {  // standard deviation over the mean
  const double m = Mean(v);
  double sum = 0;
  for (double x : v) sum += (x - m) * (x - m);
  return v.size() < 2 ? 0 : std::sqrt(sum / static_cast<double>(v.size() - 1)) / m;
}

TEST(Practice, FistAndJitterTimeTheMarksAsDocumented) {
  TempDir dir;
  std::vector<bool> dashes;  // the marks PARIS keys, in order
  for (const char* p = kParis; *p != '\0'; ++p) {
    if (*p != ' ') {
      for (const char* s = LookupCode(*p); *s != '\0'; ++s) dashes.push_back(*s == '-');
    }
  }
  struct Case {
    std::string options;
    double minSpread, maxSpread;  // of the dots' lengths
    double minRatio, maxRatio;    // the mean dash over the mean dot
    double maxDeviation;          // of any dot from 480 samples, over 480
  };
  const Case cases[] = {
      {"", 0, 0.001, 2.99, 3.01, 0.003},                      // the exact keyer
      {"--jitter 0 --seed 2", 0, 0.001, 2.99, 3.01, 0.003},  // a machine without jitter
      {"--jitter 0.2 --seed 2", 0.08, 0.15, 2.8, 3.2, 0.2 + 0.003},  // uniform +-20 %: 11.5 %
      {"--fist machine --jitter 0.05 --seed 2", 0.02, 0.04, 2.9, 3.1, 0.05 + 0.003},
      {"--fist straight --seed 2", 0.03, 0.3, 2.5, 4.5, 1},           // a random operator's own
      {"--fist straight --jitter 0 --seed 2", 0, 0.16, 2.5, 4.5, 1},  // only the speed wanders
      {"--fist bug --jitter 0.3 --seed 2", 0, 0.16, 2.2, 5, 1},       // dots automatic
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Encode(dir, c.options + " " + ShellQuote(kParis) + " out.wav"), 0) << c.options;
    const Runs runs = Measure(Samples(dir, "out.wav"));
    ASSERT_EQ(runs.marks.size(), dashes.size()) << c.options;
    std::vector<double> dots, dashLengths;
    double deviation = 0;
    for (std::size_t i = 0; i < dashes.size(); ++i) {
      (dashes[i] ? dashLengths : dots).push_back(runs.marks[i]);
      if (!dashes[i]) deviation = std::max(deviation, std::abs(runs.marks[i] / 480 - 1));
    }
    EXPECT_GE(Spread(dots), c.minSpread) << c.options;
    EXPECT_LE(Spread(dots), c.maxSpread) << c.options;
    EXPECT_GE(Mean(dashLengths) / Mean(dots), c.minRatio) << c.options;
    EXPECT_LE(Mean(dashLengths) / Mean(dots), c.maxRatio) << c.options;
    EXPECT_LE(deviation, c.maxDeviation) << c.options;
  }
}

// Fading: per-mark power spreads as Rayleigh fading's does, and its mean
// is the SNR's.
TEST(Practice, FadingIsDeepAndKeepsTheMeanPower) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 60; ++i) text += "TTTTT ";
  ASSERT_EQ(Encode(dir, "--seed 6 --fade 2 " + ShellQuote(text) + " faded.wav"), 0);
  ASSERT_EQ(Encode(dir, "--seed 6 --fade 2 --snr 10 " + ShellQuote(text) + " noisy.wav"), 0);
  ASSERT_EQ(Encode(dir, ShellQuote(text) + " clean.wav"), 0);
  const std::vector<float> faded = Samples(dir, "faded.wav");
  const std::vector<float> noisy = Samples(dir, "noisy.wav");
  const std::vector<float> clean = Samples(dir, "clean.wav");
  ASSERT_EQ(faded.size(), clean.size());
  // Each dash's middle: the clean file's marks, less 2 ms at either end.
  const Runs runs = Measure(clean);
  std::vector<double> markPower;
  double keyDown = 0, silence = 0;
  std::size_t keyDownCount = 0, silenceCount = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < runs.marks.size(); ++i) {
    if (i > 0) at += static_cast<std::size_t>(runs.gaps[i - 1]);
    double power = 0;
    for (std::size_t n = at + 16; n + 16 < at + static_cast<std::size_t>(runs.marks[i]); ++n) {
      power += static_cast<double>(faded[n]) * faded[n];
      keyDown += static_cast<double>(noisy[n]) * noisy[n], ++keyDownCount;
    }
    markPower.push_back(power);
    at += static_cast<std::size_t>(runs.marks[i]);
    if (i + 1 < runs.marks.size()) {
      for (std::size_t n = at + 16; n + 16 < at + static_cast<std::size_t>(runs.gaps[i]); ++n) {
        silence += static_cast<double>(noisy[n]) * noisy[n], ++silenceCount;
      }
    }
  }
  const double mean = Mean(markPower);
  const auto deep = std::count_if(markPower.begin(), markPower.end(), [mean](double p) { return p < 0.1 * mean; });
  const double deepShare = static_cast<double>(deep) / static_cast<double>(markPower.size());
  // Rayleigh: 1 - exp(-0.1) = 9.5 % of the time, less over a mark's 180 ms;
  // the power spreads as much as its mean (exponential), a little less
  // over a mark.
  EXPECT_GT(deepShare, 0.02);
  EXPECT_LT(deepShare, 0.2);
  EXPECT_GT(Spread(markPower), 0.6);
  EXPECT_LT(Spread(markPower), 1.3);
  // The tone's mean key-down power over the noise in 2500 Hz (white noise
  // in 2400 Hz of the receiver's passband).
  const double noisePower = silence / static_cast<double>(silenceCount);
  const double tonePower = keyDown / static_cast<double>(keyDownCount) - noisePower;
  EXPECT_NEAR(sim::test::Db(tonePower / (noisePower * 2500 / 2400)), 10, 1.5);
}

TEST(Practice, SameSeedSameBytesAndTheHeaderKnowsTheLength) {
  TempDir dir;
  const char* const cases[] = {"--snr 5", "--fade 0.5", "--fist bug", "--jitter 0.1",
                               "--snr 0 --fade 1 --fist straight --rise-ms 3 --rate 16000"};
  for (const char* options : cases) {
    const std::string base = std::string(options) + " 'CQ CQ DE W1AW'";
    ASSERT_EQ(Encode(dir, base + " --seed 9 a.wav"), 0) << options;
    ASSERT_EQ(Encode(dir, base + " --seed 9 - | cat > b.wav"), 0) << options;
    ASSERT_EQ(Encode(dir, base + " --seed 10 c.wav"), 0) << options;
    const auto a = ReadBytes(dir.File("a.wav"));
    // Through a pipe the header is written first: the counting pass drew
    // the hand's lengths the keying drew.
    EXPECT_EQ(ReadBytes(dir.File("b.wav")), a) << options;
    EXPECT_EQ(test::U32At(a, 40), a.size() - 44) << options;
    EXPECT_NE(ReadBytes(dir.File("c.wav")), a) << options;
  }
}

TEST(Practice, ReadsBackAtTenDb) {
  TempDir dir;
  const std::string text = "CQ CQ DE W1AW W1AW K";
  for (const char* options : {"--snr 10", "--snr 10 --jitter 0.1", "--snr 10 --fist paddle --wpm 25",
                              "--snr 10 --fist straight --rise-ms 4 --pitch 750"}) {
    ASSERT_EQ(Encode(dir, std::string(options) + " --seed 1 " + ShellQuote(text) + " out.wav"), 0) << options;
    const std::string command = "cd " + ShellQuote(dir.path()) + " && " + TOLVANE_TOOL_RUNNER + " " +
                                ShellQuote(TOLVANE_TOOL) + " decode out.wav > text";
    ASSERT_EQ(std::system(command.c_str()), 0) << options;
    EXPECT_EQ(test::ReadText(dir.File("text")), text + "\n") << options;
  }
}

}  // namespace
}  // namespace tolvane
