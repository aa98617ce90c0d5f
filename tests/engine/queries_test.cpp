// Tests of the ten statistic queries: exact results on known streams, the guards and the clamp,
// NaN and infinity, and the lookup step with its failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "engine/frame.hpp"
#include "engine/queries.hpp"
#include "test_support.hpp"

namespace quillometer::engine {
namespace {

using test_support::append_one;
using test_support::append_row;
using test_support::bits;
using test_support::column;
using test_support::ColumnSnapshot;
using test_support::Entry;
using test_support::fatal_message;
using test_support::find;
using test_support::kStatistics;
using test_support::make_frame;
using test_support::NamedStatistic;
using test_support::query;
using test_support::snapshot;

using Names = std::vector<std::string>;

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A one-column frame "c" fed `values` at `stamps` (or all at 0).
Frame fed(std::uint64_t window_size, std::int64_t time_window, const std::vector<double>& values,
          const std::vector<std::int64_t>& stamps = {}) {
  Frame frame = make_frame(Names{"c"}, window_size, 0.5, time_window);
  for (std::size_t i = 0; i < values.size(); ++i) {
    append_one(frame, "c", values[i], stamps.empty() ? 0 : stamps[i]);
  }
  return frame;
}

double ask(const Frame& frame, Statistic statistic) {
  return query(frame, "c", statistic);
}

TEST(QueriesTest, FreshColumnAnswersPositiveZeroToAllTen) {
  for (std::int64_t time_window : {std::int64_t{10}, std::int64_t{0}, std::int64_t{-5}}) {
    const Frame frame = fed(3, time_window, {});
    for (const NamedStatistic& s : kStatistics) {
      EXPECT_EQ(bits(ask(frame, s.statistic)), bits(0.0)) << s.name << " " << time_window;
    }
  }
}

TEST(QueriesTest, SingleValue) {
  const Frame frame = fed(3, 10, {5.0});
  EXPECT_EQ(ask(frame, &mean), 5.0);
  EXPECT_EQ(bits(ask(frame, &variance)), bits(0.0));
  EXPECT_EQ(ask(frame, &last), 5.0);
  EXPECT_EQ(ask(frame, &rolling_mean), 5.0);
  EXPECT_EQ(bits(ask(frame, &rolling_std)), bits(0.0));
  EXPECT_EQ(bits(ask(frame, &zscore)), bits(0.0));
  EXPECT_EQ(ask(frame, &time_mean), 5.0);
  EXPECT_EQ(bits(ask(frame, &time_std)), bits(0.0));
  EXPECT_EQ(ask(frame, &rate), 0.1);
  EXPECT_EQ(ask(frame, &ewma), 5.0);
}

TEST(QueriesTest, OneToFourArePopulationStatistics) {
  const Frame frame = fed(10, 100, {1.0, 2.0, 3.0, 4.0}, {0, 1, 2, 3});
  EXPECT_EQ(ask(frame, &mean), 2.5);
  EXPECT_EQ(ask(frame, &variance), 1.25);  // not 1.6666666666666667
  EXPECT_EQ(ask(frame, &rolling_mean), 2.5);
  EXPECT_EQ(ask(frame, &rolling_std), 1.118033988749895);
  EXPECT_EQ(ask(frame, &time_std), 1.118033988749895);
  EXPECT_EQ(ask(frame, &zscore), 1.3416407864998738);
  EXPECT_EQ(ask(frame, &rate), 0.04);
  EXPECT_EQ(ask(frame, &time_mean), 2.5);
}

TEST(QueriesTest, CountWindowStatisticsCoverOnlyTheWindow) {
  const Frame frame = fed(2, 100, {1.0, 2.0, 3.0});
  EXPECT_EQ(ask(frame, &rolling_mean), 2.5);
  EXPECT_EQ(ask(frame, &rolling_std), 0.5);
  EXPECT_EQ(ask(frame, &zscore), 1.0);
  EXPECT_EQ(ask(frame, &mean), 2.0);
  EXPECT_EQ(ask(frame, &variance), 0.6666666666666666);
}

TEST(QueriesTest, CancellationIsClampedNotRoundedAway) {
  // 0.1 three times: v is about -1.7e-18 and becomes +0.0.
  const Frame tenths = fed(3, 10, {0.1, 0.1, 0.1});
  EXPECT_EQ(bits(ask(tenths, &rolling_std)), bits(0.0));
  EXPECT_EQ(bits(ask(tenths, &zscore)), bits(0.0));
  EXPECT_EQ(bits(ask(tenths, &time_std)), bits(0.0));
  EXPECT_NE(ask(tenths, &rolling_mean), 0.1);  // the mean itself carries the rounding

  // 0.3 three times: v is about 1.4e-17 and stays; the mean is exactly `last`.
  const Frame thirds = fed(3, 10, {0.3, 0.3, 0.3});
  EXPECT_EQ(ask(thirds, &rolling_std), 3.725290298461914e-09);
  EXPECT_EQ(ask(thirds, &time_std), 3.725290298461914e-09);
  EXPECT_EQ(bits(ask(thirds, &zscore)), bits(0.0));
}

TEST(QueriesTest, TimeWindowStatisticsCoverOnlyTheTimeWindow) {
  const Frame frame = fed(10, 10, {1.0, 2.0, 3.0, 4.0}, {0, 5, 10, 20});
  EXPECT_EQ(ask(frame, &time_mean), 3.5);
  EXPECT_EQ(ask(frame, &time_std), 0.5);
  EXPECT_EQ(ask(frame, &rate), 0.2);
  EXPECT_EQ(ask(frame, &rolling_mean), 2.5);
}

TEST(QueriesTest, ZeroWidthTimeWindowHasNoRate) {
  const Frame frame = fed(10, 0, {5.0, 6.0}, {7, 7});
  EXPECT_EQ(ask(frame, &time_mean), 5.5);
  EXPECT_EQ(ask(frame, &time_std), 0.5);
  EXPECT_EQ(bits(ask(frame, &rate)), bits(0.0));
}

TEST(QueriesTest, EmptyWindowsAnswerZeroWhileTheRunningStatisticsFollow) {
  const Frame frame = fed(0, -1, {1.0, 2.0, 3.0, 4.0}, {0, 1, 2, 3});
  for (Statistic s : {&rolling_mean, &rolling_std, &zscore, &time_mean, &time_std, &rate}) {
    EXPECT_EQ(bits(ask(frame, s)), bits(0.0));
  }
  EXPECT_EQ(ask(frame, &mean), 2.5);
  EXPECT_EQ(ask(frame, &variance), 1.25);
  EXPECT_EQ(ask(frame, &last), 4.0);
  EXPECT_EQ(ask(frame, &ewma), 3.125);  // 1, then 1.5, 2.25, 3.125
}

TEST(QueriesTest, NaNInAWindowLeavesMeansNaNAndSpreadsZero) {
  // NaN entered both windows and has left them.
  const Frame frame = fed(2, 1, {1.0, kNaN, 2.0, 3.0}, {0, 1, 2, 3});
  EXPECT_TRUE(std::isnan(ask(frame, &rolling_mean)));
  EXPECT_EQ(bits(ask(frame, &rolling_std)), bits(0.0));
  EXPECT_EQ(bits(ask(frame, &zscore)), bits(0.0));
  EXPECT_TRUE(std::isnan(ask(frame, &time_mean)));
  EXPECT_EQ(bits(ask(frame, &time_std)), bits(0.0));
  EXPECT_EQ(ask(frame, &rate), 2.0);
  EXPECT_TRUE(std::isnan(ask(frame, &mean)));
  EXPECT_TRUE(std::isnan(ask(frame, &variance)));
  EXPECT_EQ(ask(frame, &last), 3.0);
}

TEST(QueriesTest, InfinityThatLeftAWindowLeavesItsSumsNaN) {
  const Frame frame = fed(1, 0, {kInf, 1.0}, {0, 1});
  EXPECT_TRUE(std::isnan(ask(frame, &rolling_mean)));
  EXPECT_EQ(bits(ask(frame, &rolling_std)), bits(0.0));
  EXPECT_EQ(bits(ask(frame, &zscore)), bits(0.0));
  EXPECT_TRUE(std::isnan(ask(frame, &time_mean)));
  EXPECT_EQ(bits(ask(frame, &time_std)), bits(0.0));
  EXPECT_EQ(bits(ask(frame, &rate)), bits(0.0));  // zero width

  // While the infinity is still in the window, the mean is infinite and the spread clamped.
  const Frame held = fed(4, 10, {1.0, kInf}, {0, 1});
  EXPECT_EQ(ask(held, &rolling_mean), kInf);
  EXPECT_EQ(bits(ask(held, &rolling_std)), bits(0.0));  // inf - inf
  EXPECT_EQ(ask(held, &rate), 0.2);
}

TEST(QueriesTest, StoredValuesAreReturnedBitForBit) {
  const Frame frame = fed(2, 10, {-0.0});
  EXPECT_EQ(bits(ask(frame, &last)), bits(-0.0));
  EXPECT_EQ(bits(ask(frame, &ewma)), bits(-0.0));
  EXPECT_EQ(bits(ask(frame, &mean)), bits(0.0));  // -0.0 / 1 + 0.0
}

// Fields set by hand, to reach states the formulas must handle but a short stream does not.
TEST(QueriesTest, HandMadeStatesReachTheGuardsAndConversions) {
  ColumnState c(4, 0.5, -4);
  c.window_values.push_back(0.0);
  c.window_values.push_back(0.0);
  c.window_sum = 0.0;
  c.window_sum_sq = -0.0;  // v = -0.0 - 0.0 = -0.0; its square root would be -0.0
  EXPECT_EQ(bits(rolling_std(c)), bits(0.0));
  EXPECT_EQ(bits(zscore(c)), bits(0.0));
  c.window_sum_sq = -1.0;  // a negative v; its square root would be NaN
  EXPECT_EQ(bits(rolling_std(c)), bits(0.0));

  // The time window's width is converted as a signed number.
  c.time_values.push_back({1.0, 0});
  c.time_values.push_back({1.0, 0});
  EXPECT_EQ(rate(c), -0.5);

  // variance divides without clamping.
  c.count = 2;
  c.m2 = -3.0;
  EXPECT_EQ(variance(c), -1.5);
  // A count beyond 2^53 rounds to nearest when converted.
  c.count = (std::uint64_t{1} << 53) + 1;
  c.m2 = 9007199254740992.0;
  EXPECT_EQ(variance(c), 1.0);
}

TEST(QueryLookupTest, UnknownNamesRaiseWithoutTheName) {
  Frame frame = make_frame(Names{"col", "other"}, 4, 0.5, 10);
  append_one(frame, "col", 1.5, 0);
  append_one(frame, "col", 2.5, 1);
  const ColumnSnapshot before = snapshot(column(frame, "col"));
  for (const std::string& name : {std::string("COL"), std::string("col "), std::string(" col"),
                                  std::string("co"), std::string(""), std::string("col\0", 4)}) {
    for (const NamedStatistic& s : kStatistics) {
      EXPECT_EQ(fatal_message([&] { query(frame, name, s.statistic); }), "Column does not exist")
          << s.name << " '" << name << "'";
    }
  }
  EXPECT_EQ(snapshot(column(frame, "col")), before);
  EXPECT_EQ(query(frame, "col", &mean), 2.0);  // and the frame still answers

  Frame empty = make_frame(Names{}, 4, 0.5, 10);
  for (const NamedStatistic& s : kStatistics) {
    EXPECT_EQ(fatal_message([&] { query(empty, "col", s.statistic); }), "Column does not exist");
  }
}

TEST(QueryLookupTest, QueriesChangeNothingAndRepeatTheirAnswers) {
  Frame frame = make_frame(Names{"a", "b"}, 3, 0.3, 5);
  for (std::int64_t ts = 0; ts < 10; ++ts) {
    const Entry row[] = {{"a", 0.7 * static_cast<double>(ts)}, {"b", -1.0 / (1.0 + ts)}};
    append_row(frame, row, ts);
  }
  const ColumnSnapshot a = snapshot(column(frame, "a"));
  const ColumnSnapshot b = snapshot(column(frame, "b"));
  for (const NamedStatistic& s : kStatistics) {
    const double first = query(frame, "a", s.statistic);
    EXPECT_EQ(bits(query(frame, "a", s.statistic)), bits(first)) << s.name;
    // Through the lookup or directly, the same answer.
    EXPECT_EQ(bits(s.statistic(column(frame, "a"))), bits(first)) << s.name;
    EXPECT_EQ(bits(query(frame, "b", s.statistic)), bits(s.statistic(column(frame, "b"))))
        << s.name;
  }
  EXPECT_EQ(snapshot(column(frame, "a")), a);
  EXPECT_EQ(snapshot(column(frame, "b")), b);
}

}  // namespace
}  // namespace quillometer::engine
