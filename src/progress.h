// SPDX-License-Identifier: MIT
// progress.h: the progress screen on standard error and the size and duration cells it is built of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

/// Cursor home, then erase the whole display: every screen starts with it.
inline constexpr std::string_view clear_sequence = "\x1b[H\x1b[2J";
/// Columns of an ordinary cell, and of the Negative cell.
inline constexpr std::size_t cell_width = 62;
/// Bytes of a line of ordinary cells: a 4-column label, three times " | " and a cell, a newline.
inline constexpr std::size_t row_bytes = 4 + 3 * (3 + cell_width) + 1;
/// Bytes before the Data row: the control sequence and the header line of titles.
inline constexpr std::size_t header_bytes = clear_sequence.size() + row_bytes;
/// Bytes of a whole screen of ordinary cells: header, Data row, Time row.
inline constexpr std::size_t screen_bytes = header_bytes + 2 * row_bytes;

/// Room enough for any one cell: the widest numbers make a cell 77 columns.
inline constexpr std::size_t cell_capacity = 80;
/// Room enough for any whole screen: control sequence, header and two rows of widest cells.
inline constexpr std::size_t screen_capacity = 1024;

/// Writes the cell of a byte count at `cell` (Gib, Mib, Kib, bytes and the whole count, or the
/// Negative cell below zero) and returns the end of what it wrote. No line end.
char* human(char* cell, int64_t size);

/// Writes the cell of a number of microseconds, rounded to whole seconds (hours, minutes, seconds
/// and the whole count, or the Negative cell below zero) and returns the end. No line end.
char* human_time(char* cell, int64_t us);

/// Composes the whole screen for these counters into `screen` and returns its length.
std::size_t compose_progress(char* screen, uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us);

/// Clears the terminal and draws the screen on standard error in one write call.
void draw_progress(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us);
