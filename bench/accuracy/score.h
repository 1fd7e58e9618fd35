// Scoring a decoded text against the truth.
#ifndef TOLVANE_BENCH_ACCURACY_SCORE_H
#define TOLVANE_BENCH_ACCURACY_SCORE_H

#include <string>

namespace accuracy {

// Upper case, single spaces, none at either end.
std::string Normal(const std::string& text);
// Character edit distance over the reference's length.
double ErrorRate(const std::string& reference, const std::string& hypothesis);
// Word edit distance over the reference's word count.
double WordErrorRate(const std::string& reference, const std::string& hypothesis);
// The character errors that fall on reference[from, end) in the best
// alignment (insertions count toward the character they precede, at the
// end toward the last), over that stretch's length.
double ErrorRateFrom(const std::string& reference, const std::string& hypothesis, std::size_t from);

}  // namespace accuracy

#endif  // TOLVANE_BENCH_ACCURACY_SCORE_H
