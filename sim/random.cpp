// Distributions written out, so that a seed gives the same numbers with any
// standard library (std::normal_distribution and friends are not pinned down
// to the bit).
#include <cmath>

#include "sim/sim.h"

namespace tolvane::sim {
namespace {

constexpr double kTwoPi = 6.28318530717958647692;

// SplitMix64: nearby seeds and stream numbers give unrelated engine seeds.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace

Random Random::Stream(std::uint64_t seed, std::uint64_t stream) {
  return Random(Mix(Mix(seed) ^ Mix(stream + 0x632be59bd9b4e019ULL)));
}

double Random::Uniform() {
  return static_cast<double>(engine_() >> 11) * 0x1.0p-53;
}

double Random::Uniform(double low, double high) {
  return low + (high - low) * Uniform();
}

int Random::Integer(int low, int high) {
  if (high <= low) return low;
  // 53 bits of uniform scaled to the span: the bias is far below 2^-30
  // for the spans the texts and fists use.
  const double span = static_cast<double>(high) - static_cast<double>(low) + 1.0;
  return low + static_cast<int>(std::floor(Uniform() * span));
}

double Random::Gaussian() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  // 1 - Uniform() lies in (0, 1], so the logarithm is finite.
  const double radius = std::sqrt(-2.0 * std::log(1.0 - Uniform()));
  const double angle = kTwoPi * Uniform();
  spare_ = radius * std::sin(angle);
  haveSpare_ = true;
  return radius * std::cos(angle);
}

std::complex<double> Random::ComplexGaussian() {
  const double re = Gaussian();
  const double im = Gaussian();
  return {re * std::sqrt(0.5), im * std::sqrt(0.5)};
}

double Random::Exponential(double mean) {
  return -mean * std::log(1.0 - Uniform());
}

}  // namespace tolvane::sim
