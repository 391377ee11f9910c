#include "engine/storage/record_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace tabula {

// Against an ordered set of the same numbers, through word edges, negatives and runs.
TEST(RecordSetTest, BehavesLikeAnOrderedSetOfNumbers) {
  TRecordSet set;
  std::set<std::int32_t> model;
  std::mt19937 random(5);
  const std::vector<std::int32_t> edges = {0, 1, 63, 64, 65, 127, 128, -1, -64, -65, 2147483647};
  auto check = [&] {
    ASSERT_EQ(set.size(), model.size());
    ASSERT_EQ(set.empty(), model.empty());
    EXPECT_EQ(std::vector<std::int32_t>(set.begin(), set.end()),
              std::vector<std::int32_t>(model.begin(), model.end()));
  };
  for (std::int32_t n : edges) {
    EXPECT_EQ(set.insert(n), model.insert(n).second);
    EXPECT_FALSE(set.insert(n));
  }
  check();
  for (int i = 0; i < 3000; ++i) {
    const std::int32_t n = static_cast<std::int32_t>(random() % 700) - 100;
    if (random() % 3 == 0) {
      EXPECT_EQ(set.erase(n), model.erase(n)) << n;
    } else {
      EXPECT_EQ(set.insert(n), model.insert(n).second) << n;
    }
    EXPECT_EQ(set.count(n), model.count(n)) << n;
  }
  check();
  for (std::int32_t n : edges) EXPECT_EQ(set.erase(n), model.erase(n)) << n;
  check();
  const TRecordSet moved = std::move(set);
  EXPECT_EQ(moved.size(), model.size());
  set.clear();
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(set.begin(), set.end());
}

}  // namespace tabula
