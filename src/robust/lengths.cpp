#include "robust/lengths.h"

#include <algorithm>
#include <cmath>

namespace tolvane::robust {

double Quantile(std::vector<double>* values, double q) {
  if (values->empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(values->size() - 1));
  std::nth_element(values->begin(), values->begin() + static_cast<std::ptrdiff_t>(k), values->end());
  return (*values)[k];
}

bool SplitInTwo(const std::vector<double>& x, double* low, double* high) {
  for (int round = 0; round < 20; ++round) {
    const double middle = (*low + *high) / 2;
    double sums[2] = {0, 0};
    double counts[2] = {0, 0};
    for (double v : x) {
      const int c = v > middle ? 1 : 0;
      sums[c] += v;
      counts[c] += 1;
    }
    if (counts[0] == 0 || counts[1] == 0) return false;
    const double nextLow = sums[0] / counts[0];
    const double nextHigh = sums[1] / counts[1];
    if (nextLow == *low && nextHigh == *high) break;
    *low = nextLow;
    *high = nextHigh;
  }
  return true;
}

double Spread(std::vector<double> x, double centre) {
  if (x.size() < 3) return 0;
  for (double& v : x) v = std::fabs(v - centre);
  return 1.4826 * Quantile(&x, 0.5);
}

std::vector<double> Logs(const std::vector<double>& lengths, std::size_t newest) {
  const std::size_t from = lengths.size() > newest ? lengths.size() - newest : 0;
  std::vector<double> x;
  for (std::size_t i = from; i < lengths.size(); ++i) x.push_back(std::log(lengths[i]));
  return x;
}

double MiddleMean(std::vector<double> x) {
  const double median = Quantile(&x, 0.5);
  double sum = 0, n = 0;
  for (double v : x) {
    if (std::fabs(v - median) < 0.22) {
      sum += v;
      n += 1;
    }
  }
  return n > 0 ? sum / n : median;
}

}  // namespace tolvane::robust
