// cells_test.cpp: the size and duration cells, byte for byte, ordinary, widened and Negative.
#include <gtest/gtest.h>

#include <string>

#include "progress.h"

namespace {

std::string size_cell(int64_t size) {
  char cell[cell_capacity];
  return std::string(cell, human(cell, size));
}

std::string time_cell(int64_t us) {
  char cell[cell_capacity];
  return std::string(cell, human_time(cell, us));
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

}  // namespace
