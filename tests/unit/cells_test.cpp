// SPDX-License-Identifier: MIT
// cells_test.cpp: the size and duration cells, byte for byte, ordinary, widened and Negative.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cell_text.h"
#include "progress.h"

namespace {

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

// The cells as the printf formats they stand for would write them, for any value.
std::string printf_size_cell(int64_t size) {
  if (size < 0) return negative;
  char cell[cell_capacity];
  const auto bytes = static_cast<ssize_t>(size);
  std::snprintf(cell, sizeof cell, "%4zd Gib %4zd Mib %4zd Kib %4zd bytes (%16zd bytes)", bytes / gib,
                bytes / (1 << 20) % 1024, bytes / 1024 % 1024, bytes % 1024, bytes);
  return cell;
}

std::string printf_time_cell(int64_t us) {
  if (us > INT64_MAX - 500000) return negative;
  const long long s = (us + 500000) / 1000000;
  if (s < 0) return negative;
  char cell[cell_capacity];
  std::snprintf(cell, sizeof cell, "%2lld h %2lld m %2lld s (%6lld s)", s / 3600, s / 60 % 60, s % 60, s);
  return indent + cell;
}

// Every edge the hand formatting has (each unit's 1023 and 1024, each power of ten a field may
// widen at, the half second and minus one and a half seconds, the ends of the range), then values
// spread evenly over all magnitudes. BLOCKMETER_SEED picks another seed; a mismatch names it.
TEST(Cells, HandFormattingAgreesWithPrintf) {
  std::vector<int64_t> values = {
      0,        -1,       1,      INT64_MAX, INT64_MIN, INT64_MAX - 500000, INT64_MAX - 499999, -1500000,
      -1499999, -1500001, 499999, 500000,    500001};
  for (int shift = 10; shift <= 60; shift += 10) {
    for (int64_t delta : {-1, 0, 1}) values.push_back((int64_t{1} << shift) + delta);
  }
  for (int64_t power = 1;; power *= 10) {
    for (const int64_t unit : {int64_t{1}, second, 60 * second, 3600 * second}) {
      if (power > (INT64_MAX - 500000) / unit) continue;
      for (int64_t delta : {int64_t{-500001}, int64_t{-500000}, int64_t{-1}, int64_t{0}, int64_t{499999}})
        values.push_back(power * unit + delta);
    }
    if (power > INT64_MAX / 10) break;
  }
  const char* seed_text = std::getenv("BLOCKMETER_SEED");
  const uint64_t seed = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : 20261208;
  std::mt19937_64 random(seed);
  for (int i = 0; i < 300000; ++i) {
    const int magnitude = static_cast<int>(random() % 64);  // the number of significant bits
    auto value = static_cast<int64_t>(magnitude == 0 ? 0 : random() >> (64 - magnitude));
    values.push_back(random() % 8 == 0 ? -value : value);
  }
  int mismatches = 0;
  for (const int64_t value : values) {
    if (size_cell(value) != printf_size_cell(value) && ++mismatches <= 5)
      ADD_FAILURE() << "seed " << seed << ", human(" << value << "): '" << size_cell(value) << "', printf: '"
                    << printf_size_cell(value) << "'";
    if (time_cell(value) != printf_time_cell(value) && ++mismatches <= 5)
      ADD_FAILURE() << "seed " << seed << ", human_time(" << value << "): '" << time_cell(value) << "', printf: '"
                    << printf_time_cell(value) << "'";
  }
  EXPECT_EQ(mismatches, 0) << "seed " << seed;
}

}  // namespace
