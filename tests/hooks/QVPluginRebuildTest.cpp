// The plug-in's fresh boundaries (from rand()) and its attachment counter.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "hooks/QVPluginRebuild.h"
#include "host/QVSettingKeys.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

class QVBoundary : public test::QVContextTest {};

TEST_F(QVBoundary, TwentyEightCharactersOfTheAlphabet) {
  QVRandBoundaries source;
  for (int i = 0; i < 1000; ++i) {
    const std::string b = source.createBoundary();
    ASSERT_EQ(b.size(), 28u);
    for (char c : b) ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << b;
  }
}

// The boundaries follow rand(): the start-up's seed decides them, and one seed repeats them.
TEST_F(QVBoundary, OneSeedRepeatsTheBoundaries) {
  std::srand(42);
  QVRandBoundaries first;
  const std::string a = first.createBoundary();
  const std::string b = first.createBoundary();
  EXPECT_NE(a, b);
  std::srand(42);
  QVRandBoundaries second;
  EXPECT_EQ(second.createBoundary(), a);
  EXPECT_EQ(second.createBoundary(), b);
  std::srand(43);
  EXPECT_NE(QVRandBoundaries().createBoundary(), a);
}

TEST_F(QVBoundary, CounterCountsAndWrapsIn32Bits) {
  struct Row {
    std::optional<std::int64_t> stored;
    int calls;
    std::int64_t expected;
  };
  const Row table[] = {
      {std::nullopt, 1, 1}, {std::nullopt, 3, 3},          {INT32_MAX, 1, INT32_MIN},
      {-1, 1, 0},           {std::int64_t{1} << 32, 1, 1},  // only the low 32 bits count
  };
  for (const Row& row : table) {
    defaults.remove(keys::kCount);
    if (row.stored) defaults.setInteger(*row.stored, keys::kCount);
    for (int i = 0; i < row.calls; ++i) increaseStowletCount(&defaults);
    EXPECT_EQ(defaults.integerForKey(keys::kCount), row.expected);
  }
}

TEST_F(QVBoundary, WithoutAStoreNothingIsCounted) {
  increaseStowletCount(nullptr);
  EXPECT_FALSE(defaults.objectForKey(keys::kCount));
}

}  // namespace
}  // namespace qv
