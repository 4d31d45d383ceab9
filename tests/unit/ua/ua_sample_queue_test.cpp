// The monitored item's queue keeps order across wrap-around and growth, drops from
// either end, and frees what it pops.

#include <gtest/gtest.h>

#include <memory>

#include "opctoolbox/ua/services/ua_sample_queue.h"

namespace {

using OpcToolbox::ua::SampleQueue;

TEST(SampleQueue, KeepsOrderThroughWrapAroundGrowthAndDrops) {
  SampleQueue<int> q;
  EXPECT_TRUE(q.empty());
  for (int i = 0; i < 3; ++i) q.push_back(i);  // grows 1 -> 2 -> 4
  q.pop_front();
  q.push_back(3);
  q.push_back(4);  // wraps in the ring of four
  q.push_back(5);  // full: grows while wrapped
  ASSERT_EQ(q.size(), 5u);
  EXPECT_EQ(q.front(), 1);
  EXPECT_EQ(q.back(), 5);
  q.pop_back();
  std::vector<int> seen;
  while (!q.empty()) {
    seen.push_back(q.front());
    q.pop_front();
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
  q.push_back(9);
  EXPECT_EQ(q.front(), 9);
  EXPECT_EQ(q.back(), 9);
}

TEST(SampleQueue, PoppedValuesAreReleased) {
  SampleQueue<std::shared_ptr<int>> q;
  auto value = std::make_shared<int>(7);
  q.push_back(value);
  q.push_back(value);
  EXPECT_EQ(value.use_count(), 3);
  q.pop_front();
  q.pop_back();
  EXPECT_EQ(value.use_count(), 1);
}

}  // namespace
