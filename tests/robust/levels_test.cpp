// The levels stage on hand-built windows: how much a step's evidence for
// key down owes to its own surroundings and how much to its neighbours'.
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "robust/levels.h"

namespace tolvane::robust {
namespace {

// A window of steps, noise power 1 each: runs of key down at `power` per
// step (over the noise), with the noise's own phase turning step by step
// so that a gap's sum has the noise's power and no direction.
struct Piece {
  std::size_t steps;
  double power;  // 0: key up
};

std::vector<StepObservation> Window(const std::vector<Piece>& pieces) {
  std::vector<StepObservation> steps;
  for (const Piece& p : pieces) {
    for (std::size_t k = 0; k < p.steps; ++k) {
      const double turn = 2.1 * static_cast<double>(steps.size());
      const Complex noise = std::polar(1.0f, static_cast<float>(turn));
      StepObservation o;
      o.sum = noise + Complex(static_cast<float>(std::sqrt(p.power)), 0);
      o.guard = 1;
      steps.push_back(o);
    }
  }
  return steps;
}

double Sum(const std::vector<float>& evidence, std::size_t from, std::size_t count) {
  double s = 0;
  for (std::size_t j = from; j < from + count; ++j) s += evidence[j];
  return s;
}

TEST(Evidence, ReadsAFadedElementAtItsOwnLevelUnlessCrashesOrNoiseForbid) {
  // Dots of 5 steps: dashes 30 dB over the noise per step either side of a
  // dot faded 24 dB below them; then a gap.
  const std::vector<Piece> pieces = {{10, 0}, {15, 1000}, {5, 0}, {5, 4}, {5, 0}, {15, 1000}, {15, 0}};
  const std::size_t fadedDot = 10 + 15 + 5;
  const std::size_t lastGap = fadedDot + 5 + 5 + 15;
  struct Case {
    std::string name;
    double fading;       // 0 steady to 1 Rayleigh
    bool localTrusted;   // no static crash lately
    bool fadedDotIsKeyDown;
  };
  const std::vector<Case> cases = {
      {"fading, no crashes: the dot is read at its own level", 1.0, true, true},
      {"fading after a crash: neighbours' level only", 1.0, false, false},
      {"steady signal: a step 24 dB down is no tone", 0.0, true, false},
  };
  const std::vector<StepObservation> steps = Window(pieces);
  std::vector<bool> down(steps.size(), false);
  for (std::size_t j = 10; j < 25; ++j) down[j] = true;
  for (std::size_t j = lastGap - 15; j < lastGap; ++j) down[j] = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Levels levels = MeasureLevels(steps, down, 1.0, 10);
    levels.fading = c.fading;
    levels.localTrusted = c.localTrusted;
    levels.coherent = false;
    const std::vector<float> evidence = Evidence(steps, levels, 1.0, 1.0);
    EXPECT_EQ(Sum(evidence, fadedDot, 5) > 0, c.fadedDotIsKeyDown) << Sum(evidence, fadedDot, 5);
    // Gaps stay gaps whatever the reading.
    EXPECT_LT(Sum(evidence, fadedDot - 5, 5), 0);
    EXPECT_LT(Sum(evidence, lastGap, 15), 0);
  }
}

TEST(Evidence, AWeakSignalsNoiseIsNotReadAtItsOwnLevel) {
  // 3 dB per step: a level read over a few steps would be mostly noise,
  // and a bump of noise in a gap would read as a tone of its own.
  const std::vector<Piece> pieces = {{10, 0}, {15, 2}, {10, 0}, {4, 1.5}, {10, 0}, {15, 2}, {10, 0}};
  const std::vector<StepObservation> steps = Window(pieces);
  std::vector<bool> down(steps.size(), false);
  for (std::size_t j = 10; j < 25; ++j) down[j] = true;
  for (std::size_t j = 49; j < 64; ++j) down[j] = true;
  Levels levels = MeasureLevels(steps, down, 1.0, 10);
  levels.fading = 1.0;
  levels.coherent = false;
  const std::vector<float> trusted = Evidence(steps, levels, 1.0, 1.0);
  levels.localTrusted = false;
  const std::vector<float> neighbours = Evidence(steps, levels, 1.0, 1.0);
  for (std::size_t j = 0; j < steps.size(); ++j) EXPECT_FLOAT_EQ(trusted[j], neighbours[j]) << j;
}

}  // namespace
}  // namespace tolvane::robust
