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

/// When the screens of one copy reach standard error: every one into a file or a pipe; on a
/// terminal, one at a person's pace and none while the program runs in the background.
struct screen_pace {
  uint64_t full_size = 0;
  bool terminal = false;    ///< standard error is a terminal, found once before the copy
  bool due_before = false;  ///< a screen was due already: last_due_us holds when
  int64_t last_due_us = 0;  ///< elapsed time of the last screen drawn, or left out in the background
  bool left_out = false;    ///< the last screen due was not drawn; its counters follow
  uint64_t left_out_done = 0;
  int64_t left_out_us = 0;
};

/// The pace of a copy that expects full_size bytes; asks once whether standard error is a terminal.
screen_pace plan_screen_pace(uint64_t full_size);

/// The screen due before a block: drawn, or on a terminal left out when the last one drawn is
/// younger than a person can tell apart, or when the program runs in the background.
void show_progress(screen_pace& pace, uint64_t bytes_done, int64_t elapsed_us);

/// When the copy ends, however: the last screen due, if it was left out, with the counters it had
/// then, so that a terminal ends on the screen it has always ended on. Nothing in the background.
void show_last_progress(screen_pace& pace);
