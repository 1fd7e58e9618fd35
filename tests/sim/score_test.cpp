// The harness's scoring: which errors a short message at the end is
// charged with, and word errors.
#include <gtest/gtest.h>

#include "bench/accuracy/score.h"

namespace accuracy {
namespace {

TEST(Score, ChargesEachEditToThePartOfTheReferenceItTouches) {
  struct Case {
    const char* heard;
    double whole;  // over the 13 characters of the reference
    double tail;   // over its last 2, "TU"
  };
  const char reference[] = "CQ DE W1AW TU";  // "TU" starts at 11
  const Case cases[] = {
      {"CQ DE W1AW TU", 0, 0},
      {"cq  de w1aw\ttu\n", 0, 0},
      {"CQ DE W1AW T", 1.0 / 13, 0.5},    // lost at the end
      {"CQ DE W1AW TUE", 1.0 / 13, 0.5},  // inserted after the end
      {"CQ DE W1AW EU", 1.0 / 13, 0.5},   // substituted in the tail
      {"CQ DE W1AW XTU", 1.0 / 13, 0.5},  // inserted before the tail's first letter
      {"CQ DE W1AM TU", 1.0 / 13, 0},     // before the tail: not its error
      {"QQ DE W1AW", 4.0 / 13, 1.0},      // the space before the tail is not the tail's
      {"", 1, 1},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(ErrorRate(reference, c.heard), c.whole, 1e-9) << c.heard;
    EXPECT_NEAR(ErrorRateFrom(reference, c.heard, 11), c.tail, 1e-9) << c.heard;
  }
}

TEST(Score, CountsWordErrorsOverTheReferencesWords) {
  EXPECT_DOUBLE_EQ(WordErrorRate("CQ DE W1AW", "CQ DE W1AW"), 0);
  EXPECT_DOUBLE_EQ(WordErrorRate("CQ DE W1AW", "CQDE W1AW"), 2.0 / 3);  // one substituted, one lost
  EXPECT_DOUBLE_EQ(WordErrorRate("CQ DE W1AW", "CQ D E W1AW"), 2.0 / 3);
  EXPECT_DOUBLE_EQ(WordErrorRate("TU", ""), 1);
}

}  // namespace
}  // namespace accuracy
