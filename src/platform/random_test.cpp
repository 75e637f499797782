#include "platform/random.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

namespace vantle::sys {
namespace {

TEST(Random, FillsBuffersWithFreshBytes) {
  std::set<std::array<unsigned char, 16>> draws;
  for (int i = 0; i < 100; ++i) {
    std::array<unsigned char, 16> bytes{};
    ASSERT_TRUE(random_bytes(bytes).ok());
    draws.insert(bytes);
  }
  EXPECT_EQ(draws.size(), 100u);

  std::vector<unsigned char> empty;
  EXPECT_TRUE(random_bytes(empty).ok());
}

TEST(Random, LargeBuffersAreFilledThroughout) {
  // A buffer filled only in part would keep long runs of its initial zeros; every byte value
  // should show up in a megabyte.
  std::vector<unsigned char> bytes(1 << 20, 0);
  ASSERT_TRUE(random_bytes(bytes).ok());
  std::array<int, 256> counts{};
  std::size_t run = 0;
  std::size_t longest_zero_run = 0;
  for (const unsigned char b : bytes) {
    ++counts[b];
    run = b == 0 ? run + 1 : 0;
    longest_zero_run = std::max(longest_zero_run, run);
  }
  for (int value = 0; value < 256; ++value) EXPECT_GT(counts[value], 3000) << value;
  EXPECT_LT(longest_zero_run, 8u);
}

}  // namespace
}  // namespace vantle::sys
