// SPDX-License-Identifier: MIT
// progress.h: the progress screen on standard error and the size and duration cells it is built of,
// and when a screen reaches standard error.
#pragma once

#include <sys/time.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

/// Cursor home, then erase the whole display: every screen into a file or a pipe starts with it, and
/// the first one on a terminal.
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

/// How a screen begins: the display cleared (files, pipes, a terminal's first screen), or, on a
/// terminal, the screen before overwritten in place: cursor home, each line erased past its end and
/// the display below erased, so that nothing goes into the scrollback.
enum class screen_start { cleared, overwritten };

/// Composes the whole screen for these counters into `screen` and returns its length.
std::size_t compose_progress(char* screen, uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us,
                             screen_start start = screen_start::cleared);

/// Clears the terminal and draws the screen on standard error in one write call.
void draw_progress(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us);

/// The counters of a screen that is owed to a terminal.
struct screen_counters {
  uint64_t bytes_done;
  int64_t elapsed_us;
};

/// When the screens of one copy reach standard error: every one into a file or a pipe; on a
/// terminal, one at a person's pace, none while the program runs in the background, and none that
/// the terminal has no room for. A screen left out is owed: a timer draws it when the copy waits.
/// The fields a signal handler reads or changes are volatile.
struct screen_pace {
  uint64_t full_size = 0;
  bool silent = false;                   ///< standard error is /dev/null or closed: no screen is composed
  bool terminal = false;                 ///< standard error is a terminal, found once before the copy
  int terminal_fd = -1;                  ///< that terminal opened again, not to wait on; -1: standard error waits
  bool has_timer = false;                ///< the timer that draws an owed screen could be made
  timer_t timer{};                       ///< one-shot, armed while a screen is owed
  int64_t last_due_us = INT64_MIN;       ///< elapsed time of the last screen due; the first is due at once
  screen_counters owed[2]{};             ///< the owed screen, written into one slot while a handler may read the other
  volatile sig_atomic_t owed_slot = -1;  ///< the slot owed; -1: nothing is owed
  volatile sig_atomic_t timer_armed = 0;
  volatile sig_atomic_t drawn_before = 0;  ///< a screen reached the terminal: the next overwrite it
  char cut[4]{};                           ///< the rest of a control sequence the terminal took part of
  volatile sig_atomic_t cut_size = 0;
};

/// The pace of a copy that expects full_size bytes; asks once what standard error is: nothing for
/// /dev/null or a closed one, which nobody reads; on a terminal, makes the timer that draws an owed
/// screen.
screen_pace plan_screen_pace(uint64_t full_size);

/// The screen due before a block: drawn, or on a terminal owed when the last one due is younger
/// than a person can tell apart, when the program runs in the background, or when the terminal
/// has not taken the screen before; a timer draws it within one interval unless the next one does.
/// The elapsed time is read from the clock against `start`, where a screen is wanted at all.
void show_progress(screen_pace& pace, uint64_t bytes_done, const timeval& start);

/// When the copy ends, however: the screen owed, with the counters it had when it was due, written
/// whole however long the terminal takes, so that a terminal ends on the screen it has always
/// ended on. Nothing in the background.
void show_last_progress(screen_pace& pace);

/// From a handler of a signal that ends the program: the screen owed, as show_last_progress draws it.
void show_owed_progress_on_signal();
