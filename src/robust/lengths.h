// Lengths of tones and gaps, as logs: the statistics the timing stage fits
// its model with. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_LENGTHS_H
#define TOLVANE_SRC_ROBUST_LENGTHS_H

#include <cstddef>
#include <vector>

namespace tolvane::robust {

// A heavy fist (a weighting of 70 % and more) keys gaps inside characters
// down to this fraction of its dots; shorter ones are a tone broken up.
constexpr double kHeavyGap = 3.5;

// The q-quantile of `values` (reordered).
double Quantile(std::vector<double>* values, double q);
// Two groups of log lengths (one-dimensional k-means from the given
// centres); false when a group empties.
bool SplitInTwo(const std::vector<double>& x, double* low, double* high);
// A robust spread of `x` about `centre`: 1.48 times the median absolute
// deviation.
double Spread(std::vector<double> x, double centre);
// The logs of the newest `newest` of `lengths`.
std::vector<double> Logs(const std::vector<double>& lengths, std::size_t newest);
// The median, refined by the mean of the lengths near it: robust, yet
// lengths measured on a coarse grid average out between its points instead
// of sticking to one. Logs, so "near" is within a quarter either way.
double MiddleMean(std::vector<double> x);

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_LENGTHS_H
