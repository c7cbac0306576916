// progress_test.cpp: the size and duration cells and whole screens, byte for byte, for given counters.
#include "progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string size_cell(int64_t size) {
  char cell[cell_capacity];
  return std::string(cell, human(cell, size));
}

std::string time_cell(int64_t us) {
  char cell[cell_capacity];
  return std::string(cell, human_time(cell, us));
}

std::string screen(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us) {
  char out[screen_capacity];
  return std::string(out, compose_progress(out, bytes_done, full_size, elapsed_us));
}

const std::string negative = std::string(54, ' ') + "Negative";
const std::string indent = std::string(37, ' ');
constexpr int64_t second = 1000000;
constexpr int64_t gib = int64_t{1} << 30;

struct cell_case {
  int64_t value;
  std::string cell;
};

class SizeCells : public testing::TestWithParam<cell_case> {};
TEST_P(SizeCells, Exact) { EXPECT_EQ(size_cell(GetParam().value), GetParam().cell); }

INSTANTIATE_TEST_SUITE_P(
    Cells, SizeCells,
    testing::Values(cell_case{0, "   0 Gib    0 Mib    0 Kib    0 bytes (               0 bytes)"},
                    cell_case{512, "   0 Gib    0 Mib    0 Kib  512 bytes (             512 bytes)"},
                    cell_case{gib + 5 * (1 << 20) + 3 * 1024 + 7,
                              "   1 Gib    5 Mib    3 Kib    7 bytes (      1078987783 bytes)"},
                    cell_case{1023, "   0 Gib    0 Mib    0 Kib 1023 bytes (            1023 bytes)"},
                    cell_case{9999 * gib + gib - 1, "9999 Gib 1023 Mib 1023 Kib 1023 bytes (  10737418239999 bytes)"},
                    // Numbers wider than their fields widen the cell rather than being cut.
                    cell_case{10000 * gib, "10000 Gib    0 Mib    0 Kib    0 bytes (  10737418240000 bytes)"},
                    cell_case{INT64_MAX, "8589934591 Gib 1023 Mib 1023 Kib 1023 bytes (9223372036854775807 bytes)"},
                    cell_case{-1, negative}, cell_case{INT64_MIN, negative}));

class TimeCells : public testing::TestWithParam<cell_case> {};
TEST_P(TimeCells, Exact) { EXPECT_EQ(time_cell(GetParam().value), GetParam().cell); }

INSTANTIATE_TEST_SUITE_P(Cells, TimeCells,
                         testing::Values(cell_case{0, indent + " 0 h  0 m  0 s (     0 s)"},
                                         cell_case{499999, indent + " 0 h  0 m  0 s (     0 s)"},
                                         cell_case{500000, indent + " 0 h  0 m  1 s (     1 s)"},
                                         cell_case{62400000, indent + " 0 h  1 m  2 s (    62 s)"},
                                         cell_case{86399 * second, indent + "23 h 59 m 59 s ( 86399 s)"},
                                         // Hours are not limited to a day, and wide numbers widen the cell.
                                         cell_case{90000 * second, indent + "25 h  0 m  0 s ( 90000 s)"},
                                         cell_case{360000 * second, indent + "100 h  0 m  0 s (360000 s)"},
                                         cell_case{1000000 * second, indent + "277 h 46 m 40 s (1000000 s)"},
                                         cell_case{INT64_MAX - 500000,
                                                   indent + "2562047788 h  0 m 54 s (9223372036854 s)"},
                                         // Just over minus one and a half seconds truncates to zero time.
                                         cell_case{-1, indent + " 0 h  0 m  0 s (     0 s)"},
                                         cell_case{-1499999, indent + " 0 h  0 m  0 s (     0 s)"},
                                         cell_case{-1500000, negative}, cell_case{INT64_MIN, negative},
                                         // Adding the half second would pass the largest value.
                                         cell_case{INT64_MAX - 499999, negative}, cell_case{INT64_MAX, negative}));

TEST(Cells, OrdinaryCellsAreAll62Wide) {
  for (int64_t size : {int64_t{0}, int64_t{123456789}, 9999 * gib, int64_t{-5}}) EXPECT_EQ(size_cell(size).size(), 62u);
  for (int64_t us : {int64_t{0}, 359999 * second, int64_t{-2000000}}) EXPECT_EQ(time_cell(us).size(), 62u);
}

const std::string head = "\x1b[H\x1b[2J     | " + std::string(58, ' ') + "Done | " + std::string(58, ' ') + "Left | " +
                         std::string(57, ' ') + "Total\n";

std::string row(const std::string& label, const std::string& a, const std::string& b, const std::string& c) {
  return label + " | " + a + " | " + b + " | " + c + "\n";
}

TEST(Screen, FirstScreenShowsNegativeEstimates) {
  EXPECT_EQ(screen(0, 1000, 0), head + row("Data", size_cell(0), size_cell(1000), size_cell(1000)) +
                                    row("Time", time_cell(0), negative, negative));
  EXPECT_EQ(screen(0, 1000, 0).size(), 7u + 3 * 200);
}

TEST(Screen, HalfDoneAfterTenSecondsEstimatesTenLeftTwentyTotal) {
  EXPECT_EQ(screen(500, 1000, 10 * second),
            head + row("Data", size_cell(500), size_cell(500), size_cell(1000)) +
                row("Time", indent + " 0 h  0 m 10 s (    10 s)", indent + " 0 h  0 m 10 s (    10 s)",
                    indent + " 0 h  0 m 20 s (    20 s)"));
}

TEST(Screen, EstimatesRoundToTheNearestSecond) {
  // A third done after 1 s: 2 s left, 3 s in all; a third after 0.6 s: 1.2 s left, 1.8 s in all.
  EXPECT_EQ(screen(1, 3, second).substr(207 + 200),
            row("Time", time_cell(second), time_cell(2 * second), time_cell(3 * second)));
  EXPECT_EQ(screen(1, 3, 600000).substr(207 + 200),
            row("Time", indent + " 0 h  0 m  1 s (     1 s)", indent + " 0 h  0 m  1 s (     1 s)",
                indent + " 0 h  0 m  2 s (     2 s)"));
}

TEST(Screen, MoreDoneThanExpectedShowsNegativeLeft) {
  // Twice the full size after 10 s: the estimate is 5 s, so 5 s are left to go back.
  EXPECT_EQ(screen(2000, 1000, 10 * second), head + row("Data", size_cell(2000), negative, size_cell(1000)) +
                                                 row("Time", time_cell(10 * second), negative, time_cell(5 * second)));
  // Barely over: about a hundredth of a second below zero still reads as zero time.
  EXPECT_EQ(screen(1001, 1000, 10 * second).substr(207 + 200),
            row("Time", time_cell(10 * second), time_cell(0), time_cell(10 * second)));
}

TEST(Screen, NegativeFullSizeShowsNegativeLeftAndTotal) {
  const auto full_size = static_cast<uint64_t>(-1);
  EXPECT_EQ(screen(100, full_size, 10 * second), head + row("Data", size_cell(100), negative, negative) +
                                                     row("Time", time_cell(10 * second), negative, negative));
}

TEST(Screen, ClockSetBackShowsNegativeElapsed) {
  EXPECT_EQ(screen(10, 20, -5 * second).substr(207 + 200),
            row("Time", negative, time_cell(-5 * second), time_cell(-10 * second)));
}

TEST(Screen, HugeCountsAndTimesWidenTheirFields) {
  const std::string wide =
      screen(10000 * static_cast<uint64_t>(gib), 20000 * static_cast<uint64_t>(gib), 400000 * second);
  EXPECT_EQ(wide, head + row("Data", size_cell(10000 * gib), size_cell(10000 * gib), size_cell(20000 * gib)) +
                      row("Time", indent + "111 h  6 m 40 s (400000 s)", indent + "111 h  6 m 40 s (400000 s)",
                          indent + "222 h 13 m 20 s (800000 s)"));
  EXPECT_GT(wide.size(), 7u + 3 * 200);
  EXPECT_LT(wide.size(), screen_capacity);
}

TEST(Screen, WidestPossibleScreenFits) {
  const std::string widest =
      screen(static_cast<uint64_t>(INT64_MAX), static_cast<uint64_t>(INT64_MAX), INT64_MAX - 500000);
  EXPECT_EQ(widest.substr(207, 7 + 71), "Data | " + size_cell(INT64_MAX));
  EXPECT_LT(widest.size(), screen_capacity);
}

}  // namespace
