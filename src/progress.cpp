// SPDX-License-Identifier: MIT
// progress.cpp: the progress screen, formatted by hand into one buffer and written in one call:
// it is drawn before every block, so at bs=1 it costs as much as the copy itself; and the pace at
// which a terminal is redrawn.
#include "progress.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
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

// The header: titles right-aligned over the cells, without the line's end.
constexpr auto screen_head = [] {
  std::array<char, row_bytes - 1> head{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) head[at++] = ' ';
  for (std::string_view title : {"Done", "Left", "Total"}) {
    for (char c : std::string_view(" | ")) head[at++] = c;
    for (std::size_t i = title.size(); i < cell_width; ++i) head[at++] = ' ';
    for (char c : title) head[at++] = c;
  }
  return head;
}();
static_assert(screen_head.back() == 'l', "the titles fill the header exactly");

// A screen overwritten in place: each line is erased past its end, in case the one before was
// wider, and what lies below the table too.
constexpr std::string_view cursor_home = "\x1b[H";
constexpr std::string_view erased_line_end = "\x1b[K\n";
constexpr std::string_view erase_below = "\x1b[J";

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
              int64_t third, std::string_view line_end) {
  out = put_text(out, label);
  out = cell(put_text(out, " | "), first);
  out = cell(put_text(out, " | "), second);
  out = cell(put_text(out, " | "), third);
  return put_text(out, line_end);
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

std::size_t compose_progress(char* screen, uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us,
                             screen_start start) {
  const bool cleared = start == screen_start::cleared;
  const std::string_view line_end = cleared ? "\n" : erased_line_end;
  char* out = put_text(screen, cleared ? clear_sequence : cursor_home);
  out = put_text(put_text(out, std::string_view(screen_head.data(), screen_head.size())), line_end);
  // Left is a wrapping difference read as signed: more done than expected shows as Negative.
  out = put_row(out, "Data", human, static_cast<int64_t>(bytes_done), static_cast<int64_t>(full_size - bytes_done),
                static_cast<int64_t>(full_size), line_end);
  const double estimate =
      static_cast<double>(elapsed_us) * static_cast<double>(full_size) / static_cast<double>(bytes_done);
  out = put_row(out, "Time", human_time, elapsed_us, round_estimate(estimate - static_cast<double>(elapsed_us)),
                round_estimate(estimate), line_end);
  if (!cleared) out = put_text(out, erase_below);
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

// The paced terminal whose screen is owed, for the signal handlers, which see nothing but statics:
// set when a screen is first owed, and never changed.
screen_pace* watched = nullptr;

// Another process group holds the terminal: the user is typing, and a screen would erase it. A
// standard error that is not the program's controlling terminal has no say; it is drawn on.
bool in_background() {
  const pid_t foreground = tcgetpgrp(STDERR_FILENO);
  return foreground > 0 && foreground != getpgrp();
}

// Where a terminal took only the first `taken` bytes of a screen, the rest of a control sequence
// it began: sent before the next screen, which overwrites the rest of this one.
void keep_cut_sequence(screen_pace& pace, const char* screen, std::size_t taken) {
  std::size_t size = 0;
  for (std::size_t at = taken; at > 0 && taken - at < 3; --at) {
    if (screen[at - 1] != '\x1b') continue;
    std::size_t final_byte = at + 1;  // past ESC and '[', the parameters are digits
    while (screen[final_byte] >= '0' && screen[final_byte] <= '9') ++final_byte;
    for (std::size_t rest = taken; rest <= final_byte; ++rest) pace.cut[size++] = screen[rest];
    break;
  }
  pace.cut_size = static_cast<sig_atomic_t>(size);
}

// Writes a screen on the terminal, the rest of a control sequence cut before it first. Waits when
// asked; otherwise a terminal whose output queue holds the screen before (a serial line), or that
// has no room for this one (a pseudo-terminal), does not get it whole. Says whether it did.
bool put_on_terminal(screen_pace& pace, screen_counters counters, bool wait) {
  char screen[sizeof pace.cut + screen_capacity];
  const auto cut = static_cast<std::size_t>(pace.cut_size);
  std::memcpy(screen, pace.cut, cut);
  const std::size_t size =
      cut + compose_progress(screen + cut, counters.bytes_done, pace.full_size, counters.elapsed_us,
                             pace.drawn_before != 0 ? screen_start::overwritten : screen_start::cleared);
  const int fd = pace.terminal_fd >= 0 ? pace.terminal_fd : STDERR_FILENO;
  int queued = 0;
  if (!wait && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) return false;
  std::size_t taken = 0;
  while (taken < size) {
    const ssize_t written = write(fd, screen + taken, size - taken);
    if (written > 0) {
      taken += static_cast<std::size_t>(written);
    } else if (wait && written < 0 && errno == EAGAIN) {
      // A writer that blocks on a full pseudo-terminal is woken only once its reader has taken
      // nearly all of it; tried again, it goes on as soon as there is room.
      constexpr timespec retry_after{0, 5000000};
      nanosleep(&retry_after, nullptr);
    } else {
      break;
    }
  }
  if (taken > cut) pace.drawn_before = 1;
  if (taken == size || (wait && taken == 0)) {
    pace.cut_size = 0;
    return true;  // a standard error that fails is no reason to stop the copy, nor to try again
  }
  if (taken < cut) {
    std::memmove(pace.cut, pace.cut + taken, cut - taken);
    pace.cut_size = static_cast<sig_atomic_t>(cut - taken);
  } else {
    keep_cut_sequence(pace, screen, taken);
  }
  return false;
}

void arm_timer(screen_pace& pace) {
  itimerspec once{};
  once.it_value.tv_nsec = static_cast<long>(screen_interval_us * 1000);
  pace.timer_armed = 1;
  timer_settime(pace.timer, 0, &once, nullptr);
}

// The screen due now is owed, in place of any owed before. Published last, so that a handler
// that comes in between draws the one owed before, whole.
void owe(screen_pace& pace, screen_counters counters) {
  const int slot = pace.owed_slot == 0 ? 1 : 0;
  pace.owed[slot] = counters;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pace.owed_slot = slot;
  if (pace.timer_armed == 0 && pace.has_timer) {
    watched = &pace;
    arm_timer(pace);
  }
}

// The screen timer: the copy has not come to the next screen within an interval, so it waits (for
// its input, a disk, a device, the terminal itself); the screen owed is drawn, or tried again later.
extern "C" void draw_owed_screen(int /*signal_number*/) {
  screen_pace* const pace = watched;
  const int error = errno;
  pace->timer_armed = 0;
  const int slot = pace->owed_slot;
  if (slot >= 0 && !in_background() && put_on_terminal(*pace, pace->owed[slot], false)) pace->owed_slot = -1;
  if (pace->owed_slot >= 0) arm_timer(*pace);
  errno = error;
}

// A terminal opened again for screens that must not wait: standard error's own description is
// shared with the shell, and made non-blocking it would be for the shell too. Kept above the
// standard streams, which may be closed.
int reopen_terminal() {
  const int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    close(fd);
    return -1;
  }
  return fd;
}

bool make_timer(screen_pace& pace) {
  struct sigaction action {};
  action.sa_handler = draw_owed_screen;
  action.sa_flags = SA_RESTART;
  sigfillset(&action.sa_mask);  // a signal that ends the program waits until this screen is whole
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGRTMIN;
  return sigaction(SIGRTMIN, &action, nullptr) == 0 && timer_create(CLOCK_MONOTONIC, &event, &pace.timer) == 0;
}

// Wall-clock microseconds between two times of day; a clock set back may make it negative.
int64_t microseconds_between(const timeval& start, const timeval& now) {
  const uint64_t seconds = static_cast<uint64_t>(now.tv_sec) - static_cast<uint64_t>(start.tv_sec);
  const uint64_t micros = static_cast<uint64_t>(now.tv_usec) - static_cast<uint64_t>(start.tv_usec);
  return static_cast<int64_t>(seconds * 1000000U + micros);
}

// What nobody can receive: a closed standard error, or the null device (character device 1, 3).
bool nobody_reads_errors() {
  struct stat errors {};
  return fstat(STDERR_FILENO, &errors) != 0 || (S_ISCHR(errors.st_mode) && errors.st_rdev == makedev(1, 3));
}

}  // namespace

screen_pace plan_screen_pace(uint64_t full_size) {
  screen_pace pace;
  pace.full_size = full_size;
  pace.silent = nobody_reads_errors();
  pace.terminal = !pace.silent && isatty(STDERR_FILENO) == 1;
  if (!pace.terminal) return pace;
  pace.terminal_fd = reopen_terminal();
  pace.has_timer = make_timer(pace);
  return pace;
}

void show_progress(screen_pace& pace, uint64_t bytes_done, const timeval& start) {
  if (pace.silent) return;
  timeval now{};
  gettimeofday(&now, nullptr);
  const int64_t elapsed_us = microseconds_between(start, now);
  if (!pace.terminal) return draw_progress(bytes_done, pace.full_size, elapsed_us);
  // Unsigned, so that a clock set back makes the next screen due at once.
  const uint64_t since = static_cast<uint64_t>(elapsed_us) - static_cast<uint64_t>(pace.last_due_us);
  if (since < screen_interval_us) return owe(pace, {bytes_done, elapsed_us});
  pace.last_due_us = elapsed_us;
  if (in_background()) return owe(pace, {bytes_done, elapsed_us});
  // Taken first, so that the timer has nothing to draw while this one is written.
  pace.owed_slot = -1;
  if (!put_on_terminal(pace, {bytes_done, elapsed_us}, false)) owe(pace, {bytes_done, elapsed_us});
}

void show_last_progress(screen_pace& pace) {
  const int slot = pace.owed_slot;
  if (slot < 0 || in_background()) return;
  pace.owed_slot = -1;
  put_on_terminal(pace, pace.owed[slot], true);
}

void show_owed_progress_on_signal() {
  if (watched != nullptr) show_last_progress(*watched);
}
