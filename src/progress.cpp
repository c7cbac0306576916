// SPDX-License-Identifier: MIT
// progress.cpp: the progress screen, formatted by hand into one buffer and written in one call:
// it is drawn before every block, so at bs=1 it costs as much as the copy itself; and the pace at
// which a terminal is redrawn.
#include "progress.h"

#include <termios.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view negative_cell = "                                                      Negative";
static_assert(negative_cell.size() == cell_width);
constexpr std::size_t time_cell_indent = 37;

// No one sees a screen that the next one replaces sooner than this, and a terminal that takes
// every screen of a fast copy becomes what the copy waits for.
constexpr uint64_t screen_interval_us = 40000;

// Control sequence (cursor home, erase display), then the header: titles right-aligned over the cells.
constexpr auto screen_head = [] {
  std::array<char, header_bytes> head{};
  std::size_t at = 0;
  for (char c : clear_sequence) head[at++] = c;
  for (int i = 0; i < 4; ++i) head[at++] = ' ';
  for (std::string_view title : {"Done", "Left", "Total"}) {
    for (char c : std::string_view(" | ")) head[at++] = c;
    for (std::size_t i = title.size(); i < cell_width; ++i) head[at++] = ' ';
    for (char c : title) head[at++] = c;
  }
  head[at++] = '\n';
  return head;
}();
static_assert(screen_head.back() == '\n', "the titles fill the header exactly");

char* put_text(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

constexpr auto powers_of_ten = [] {
  std::array<uint64_t, 20> powers{};
  uint64_t power = 1;
  for (uint64_t& entry : powers) {
    entry = power;
    power *= 10;
  }
  return powers;
}();

// Right-aligns the decimal digits of value in at least `width` columns, like printf's %*lld:
// the field is blanked whole, then the digits are written right to left straight into place.
template <std::size_t width>
char* put_number(char* out, uint64_t value) {
  std::size_t count = 1;
  while (count < powers_of_ten.size() && value >= powers_of_ten[count]) ++count;
  std::memset(out, ' ', width);
  char* const end = out + (count < width ? width : count);
  char* digit = end;
  do {
    *--digit = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

// Rounds halves away from zero; what has no 64-bit value (the first screen's division by
// zero bytes done, or an estimate past the range) becomes the smallest one, shown as Negative.
int64_t round_estimate(double us) {
  constexpr double range_end = 9223372036854775808.0;  // 2^63, the first value past the range
  if (!(us >= -range_end && us < range_end)) return INT64_MIN;
  return static_cast<int64_t>(std::lround(us));
}

char* put_row(char* out, std::string_view label, char* (*cell)(char*, int64_t), int64_t first, int64_t second,
              int64_t third) {
  out = put_text(out, label);
  out = cell(put_text(out, " | "), first);
  out = cell(put_text(out, " | "), second);
  out = cell(put_text(out, " | "), third);
  *out++ = '\n';
  return out;
}

}  // namespace

char* human(char* cell, int64_t size) {
  if (size < 0) return put_text(cell, negative_cell);
  const auto bytes = static_cast<uint64_t>(size);
  cell = put_text(put_number<4>(cell, bytes >> 30), " Gib ");
  cell = put_text(put_number<4>(cell, (bytes >> 20) & 1023), " Mib ");
  cell = put_text(put_number<4>(cell, (bytes >> 10) & 1023), " Kib ");
  cell = put_text(put_number<4>(cell, bytes & 1023), " bytes (");
  return put_text(put_number<16>(cell, bytes), " bytes)");
}

char* human_time(char* cell, int64_t us) {
  // Rounds to the nearest second by adding half of one; the division truncates toward zero,
  // so down to just over minus one and a half seconds reads as zero time.
  if (us > INT64_MAX - 500000) return put_text(cell, negative_cell);
  const int64_t seconds = (us + 500000) / 1000000;
  if (seconds < 0) return put_text(cell, negative_cell);
  const auto s = static_cast<uint64_t>(seconds);
  std::memset(cell, ' ', time_cell_indent);
  cell += time_cell_indent;
  cell = put_text(put_number<2>(cell, s / 3600), " h ");
  cell = put_text(put_number<2>(cell, s / 60 % 60), " m ");
  cell = put_text(put_number<2>(cell, s % 60), " s (");
  return put_text(put_number<6>(cell, s), " s)");
}

std::size_t compose_progress(char* screen, uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us) {
  char* out = put_text(screen, std::string_view(screen_head.data(), screen_head.size()));
  // Left is a wrapping difference read as signed: more done than expected shows as Negative.
  out = put_row(out, "Data", human, static_cast<int64_t>(bytes_done), static_cast<int64_t>(full_size - bytes_done),
                static_cast<int64_t>(full_size));
  const double estimate =
      static_cast<double>(elapsed_us) * static_cast<double>(full_size) / static_cast<double>(bytes_done);
  out = put_row(out, "Time", human_time, elapsed_us, round_estimate(estimate - static_cast<double>(elapsed_us)),
                round_estimate(estimate));
  return static_cast<std::size_t>(out - screen);
}

void draw_progress(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us) {
  char screen[screen_capacity];
  const char* pending = screen;
  std::size_t size = compose_progress(screen, bytes_done, full_size, elapsed_us);
  // One call normally; a terminal or pipe that takes part of it gets the rest. A failing
  // standard error is no reason to stop the copy.
  while (size > 0) {
    const ssize_t written = write(STDERR_FILENO, pending, size);
    if (written <= 0) return;
    pending += written;
    size -= static_cast<std::size_t>(written);
  }
}

namespace {

// Another process group holds the terminal: the user is typing, and a screen would erase it. A
// standard error that is not the program's controlling terminal has no say; it is drawn on.
bool in_background() {
  const pid_t foreground = tcgetpgrp(STDERR_FILENO);
  return foreground > 0 && foreground != getpgrp();
}

void leave_out(screen_pace& pace, uint64_t bytes_done, int64_t elapsed_us) {
  pace.left_out = true;
  pace.left_out_done = bytes_done;
  pace.left_out_us = elapsed_us;
}

}  // namespace

screen_pace plan_screen_pace(uint64_t full_size) {
  screen_pace pace;
  pace.full_size = full_size;
  pace.terminal = isatty(STDERR_FILENO) == 1;
  return pace;
}

void show_progress(screen_pace& pace, uint64_t bytes_done, int64_t elapsed_us) {
  if (!pace.terminal) return draw_progress(bytes_done, pace.full_size, elapsed_us);
  // Unsigned, so that a clock set back makes the next screen due at once.
  const uint64_t since = static_cast<uint64_t>(elapsed_us) - static_cast<uint64_t>(pace.last_due_us);
  if (pace.due_before && since < screen_interval_us) return leave_out(pace, bytes_done, elapsed_us);
  pace.due_before = true;
  pace.last_due_us = elapsed_us;
  if (in_background()) return leave_out(pace, bytes_done, elapsed_us);
  pace.left_out = false;
  draw_progress(bytes_done, pace.full_size, elapsed_us);
}

void show_last_progress(screen_pace& pace) {
  if (!pace.left_out || in_background()) return;
  pace.left_out = false;
  draw_progress(pace.left_out_done, pace.full_size, pace.left_out_us);
}
