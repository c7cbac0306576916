// progress.h: the progress screen on standard error and the size and duration cells it is built of.
#pragma once

#include <cstddef>
#include <cstdint>

/// Room enough for any one cell: ordinary cells are 62 columns, the widest numbers make them 77.
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
