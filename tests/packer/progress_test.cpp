//===- tests/packer/progress_test.cpp - Sizes and shares as text ----------===//
//
// The share build and list print.
//
//===----------------------------------------------------------------------===//
#include <gtest/gtest.h>

#include "packer/cli/progress.h"

namespace veskar {
namespace {

// The share build and list print: one decimal, rounded, and no division
// when there is nothing to share.
TEST(FormatPercentTest, OneDecimalAndNothingToShare) {
  struct Case {
    uint64_t part, whole;
    const char *shown;
  };
  const Case cases[] = {
      {0, 0, "100.0%"},          {7, 0, "100.0%"},
      {112102, 242886, "46.2%"}, {1, 3, "33.3%"},
      {2, 3, "66.7%"},           {5, 4, "125.0%"},
      {0, 10, "0.0%"},           {UINT64_MAX, UINT64_MAX, "100.0%"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(FormatPercent(c.part, c.whole), c.shown)
        << c.part << " of " << c.whole;
}

} // namespace
} // namespace veskar
