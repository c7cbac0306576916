// SPDX-License-Identifier: MIT
// run_tool.h: runs the real blockmeter binary from a shell line and captures what a user sees.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "progress.h"

struct run_result {
  int status = -1;     ///< exit status, or -1 when killed
  int signal = 0;      ///< the signal that killed it, or 0
  std::string output;  ///< standard output, unless the line redirects it
  std::string errors;  ///< standard error
};

/// Runs `line` with /bin/sh in `dir`, standard input from /dev/null unless the line says
/// otherwise. $BM names the binary, $SHIMS the library of stand-ins for write, read,
/// the kernel-side moves and the clock (shims.c), $SLOW_TERMINAL a terminal that is stopped, then
/// slow (slow_terminal.c). With errors_on_terminal, standard error is a
/// pseudo-terminal in raw mode (not the controlling one), and `errors` what it received.
run_result run_shell(const std::string& line, const std::filesystem::path& dir, bool errors_on_terminal = false);

/// Whether a program the test needs is missing from PATH; such a test skips with "missing tool: NAME".
bool missing_tool(const std::string& name);

/// Starts a line that traces the binary; a sanitizer's leak check cannot run under a tracer.
inline const std::string under_strace = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace ";

/// A fresh directory for one test, removed with the object.
struct scratch_dir {
  std::filesystem::path path;
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
/// Deterministic bytes of every value, for copies that must come out exact.
std::string pseudo_random_bytes(size_t size, unsigned seed);

/// What standard error holds after the last progress screen: the closing message.
std::string after_screens(const std::string& errors);
/// How many progress screens standard error holds.
size_t count_screens(const std::string& errors);
/// The screen the program must draw for these counters, straight from the screen's composer.
std::string screen_for(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us,
                       screen_start start = screen_start::cleared);
