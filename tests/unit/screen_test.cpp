// SPDX-License-Identifier: MIT
// screen_test.cpp: whole screens composed for given counters: layout, estimates and their rounding.
#include <gtest/gtest.h>

#include <string>

#include "cell_text.h"
#include "progress.h"

namespace {

const std::string head = "\x1b[H\x1b[2J     | " + std::string(58, ' ') + "Done | " + std::string(58, ' ') + "Left | " +
                         std::string(57, ' ') + "Total\n";

std::string row(const std::string& label, const std::string& a, const std::string& b, const std::string& c) {
  return label + " | " + a + " | " + b + " | " + c + "\n";
}

TEST(Screen, FirstScreenShowsNegativeEstimates) {
  EXPECT_EQ(screen(0, 1000, 0), head + row("Data", size_cell(0), size_cell(1000), size_cell(1000)) +
                                    row("Time", time_cell(0), negative, negative));
  EXPECT_EQ(screen(0, 1000, 0).size(), screen_bytes);
}

TEST(Screen, HalfDoneAfterTenSecondsEstimatesTenLeftTwentyTotal) {
  EXPECT_EQ(screen(500, 1000, 10 * second),
            head + row("Data", size_cell(500), size_cell(500), size_cell(1000)) +
                row("Time", indent + " 0 h  0 m 10 s (    10 s)", indent + " 0 h  0 m 10 s (    10 s)",
                    indent + " 0 h  0 m 20 s (    20 s)"));
}

struct time_row {
  uint64_t bytes_done;
  uint64_t full_size;
  int64_t elapsed_us;
  std::string left;   // the estimated time left, as its cell shows it
  std::string total;  // the estimated total time
};

void PrintTo(const time_row& r, std::ostream* out) {
  *out << r.bytes_done << " of " << r.full_size << " after " << r.elapsed_us << " us";
}

class TimeRows : public testing::TestWithParam<time_row> {};

TEST_P(TimeRows, EstimatesAreRoundedToMicrosecondsThenSeconds) {
  const time_row& r = GetParam();
  EXPECT_EQ(screen(r.bytes_done, r.full_size, r.elapsed_us).substr(header_bytes + row_bytes),
            row("Time", time_cell(r.elapsed_us), indent + r.left, indent + r.total));
}

INSTANTIATE_TEST_SUITE_P(
    Screen, TimeRows,
    testing::Values(
        // A third done after 1 s: 2 s left, 3 s in all; a third after 0.6 s: 1.2 s left, 1.8 s in all.
        time_row{1, 3, second, " 0 h  0 m  2 s (     2 s)", " 0 h  0 m  3 s (     3 s)"},
        time_row{1, 3, 600000, " 0 h  0 m  1 s (     1 s)", " 0 h  0 m  2 s (     2 s)"},
        // 499,999.5 us left: a half rounds away from zero to 500,000 us, which shows as 1 s (truncating
        // or flooring it would give 499,999 us and 0 s); 1,499,998.5 us in all, 1 s either way.
        time_row{2, 3, 999999, " 0 h  0 m  1 s (     1 s)", " 0 h  0 m  1 s (     1 s)"},
        // -1,499,999.5 us left rounds to -1,500,000, Negative (truncating or ceiling: -1,499,999, zero
        // time); 1,499,999.5 us in all rounds to 1,500,000 and shows 2 s (truncating or flooring: 1 s).
        time_row{2, 1, 2999999, negative.substr(37), " 0 h  0 m  2 s (     2 s)"},
        // Just inside the same edges, every rounding agrees.
        time_row{2, 3, 999998, " 0 h  0 m  0 s (     0 s)", " 0 h  0 m  1 s (     1 s)"},
        time_row{2, 1, 2999997, " 0 h  0 m  0 s (     0 s)", " 0 h  0 m  1 s (     1 s)"}));

TEST(Screen, MoreDoneThanExpectedShowsNegativeLeft) {
  // Twice the full size after 10 s: the estimate is 5 s, so 5 s are left to go back.
  EXPECT_EQ(screen(2000, 1000, 10 * second), head + row("Data", size_cell(2000), negative, size_cell(1000)) +
                                                 row("Time", time_cell(10 * second), negative, time_cell(5 * second)));
  // Barely over: about a hundredth of a second below zero still reads as zero time.
  EXPECT_EQ(screen(1001, 1000, 10 * second).substr(header_bytes + row_bytes),
            row("Time", time_cell(10 * second), time_cell(0), time_cell(10 * second)));
}

TEST(Screen, NegativeFullSizeShowsNegativeLeftAndTotal) {
  const auto full_size = static_cast<uint64_t>(-1);
  EXPECT_EQ(screen(100, full_size, 10 * second), head + row("Data", size_cell(100), negative, negative) +
                                                     row("Time", time_cell(10 * second), negative, negative));
}

TEST(Screen, ClockSetBackShowsNegativeElapsed) {
  EXPECT_EQ(screen(10, 20, -5 * second).substr(header_bytes + row_bytes),
            row("Time", negative, time_cell(-5 * second), time_cell(-10 * second)));
}

TEST(Screen, HugeCountsAndTimesWidenTheirFields) {
  const std::string wide =
      screen(10000 * static_cast<uint64_t>(gib), 20000 * static_cast<uint64_t>(gib), 400000 * second);
  EXPECT_EQ(wide, head + row("Data", size_cell(10000 * gib), size_cell(10000 * gib), size_cell(20000 * gib)) +
                      row("Time", indent + "111 h  6 m 40 s (400000 s)", indent + "111 h  6 m 40 s (400000 s)",
                          indent + "222 h 13 m 20 s (800000 s)"));
  EXPECT_GT(wide.size(), screen_bytes);
}

}  // namespace
