#include "streaming/statistics_helper.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kalmora {
namespace {

TEST(StatisticsHelperTest, EmptyMeanIsZero) {
  TStatisticsHelper<std::uint32_t> stats;
  EXPECT_EQ(stats.Count(), 0u);
  EXPECT_EQ(stats.Mean(), 0.0);
  EXPECT_EQ(stats.Window(), 1000u);
}

TEST(StatisticsHelperTest, EvictsTheOldestSample) {
  TStatisticsHelper<std::uint32_t> stats(3);
  for (std::uint32_t s : {10u, 20u, 30u, 40u, 50u}) stats.Add(s);
  EXPECT_EQ(stats.Count(), 3u);
  EXPECT_EQ(stats.Sum(), 120.0);  // 30 + 40 + 50
  EXPECT_EQ(stats.Mean(), 40.0);
}

TEST(StatisticsHelperTest, RunningSumStaysExactOverManyEvictions) {
  TStatisticsHelper<std::uint32_t> stats;
  std::uint64_t exact = 0;
  for (std::uint32_t i = 0; i < 5'000; ++i) {
    const std::uint32_t sample = (i % 7 == 0) ? 0xFFFFFFFFu : i * 2'654'435'761u;
    stats.Add(sample);
    exact += sample;
    if (i >= 1'000) exact -= (((i - 1'000) % 7 == 0) ? 0xFFFFFFFFu : (i - 1'000) * 2'654'435'761u);
  }
  EXPECT_EQ(stats.Count(), 1'000u);
  EXPECT_EQ(stats.Sum(), static_cast<double>(exact));
  EXPECT_EQ(stats.Mean(), static_cast<double>(exact) / 1'000.0);
}

TEST(StatisticsHelperTest, ClearEmptiesSamplesAndSum) {
  TStatisticsHelper<std::uint32_t> stats(2);
  stats.Add(7);
  stats.Add(9);
  stats.Add(11);
  stats.Clear();
  EXPECT_EQ(stats.Count(), 0u);
  EXPECT_EQ(stats.Sum(), 0.0);
  stats.Add(4);
  stats.Add(6);
  stats.Add(8);
  EXPECT_EQ(stats.Mean(), 7.0);
}

}  // namespace
}  // namespace kalmora
