// SPDX-License-Identifier: MIT
// cell_text.h: the cells and screens of the progress display as strings, for the unit tests.
#pragma once

#include <cstdint>
#include <string>

#include "progress.h"

inline std::string size_cell(int64_t size) {
  char cell[cell_capacity];
  return std::string(cell, human(cell, size));
}

inline std::string time_cell(int64_t us) {
  char cell[cell_capacity];
  return std::string(cell, human_time(cell, us));
}

inline std::string screen(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us) {
  char out[screen_capacity];
  return std::string(out, compose_progress(out, bytes_done, full_size, elapsed_us));
}

inline const std::string negative = std::string(54, ' ') + "Negative";
/// The blanks before the hours of a time cell.
inline const std::string indent = std::string(37, ' ');
inline constexpr int64_t second = 1000000;
inline constexpr int64_t gib = int64_t{1} << 30;
