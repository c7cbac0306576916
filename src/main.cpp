// SPDX-License-Identifier: MIT
// main.cpp: the command line. Turns key=value operands into transfer_settings, then runs the transfer.
#include <err.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "failure.h"
#include "transfer.h"

namespace {

// Reads the decimal number at the start of value as strtoll does; rest is what follows it,
// the whole value when there are no digits. Returns the error number of the conversion.
int read_number(const char* value, int64_t& number, const char*& rest) {
  char* end = nullptr;
  errno = 0;
  number = strtoll(value, &end, 10);
  rest = end;
  return errno;
}

// A value out of range: "wrong bs" and the like, with the system's text for the error number.
[[noreturn]] void out_of_range(const char* key, int error) {
  errno = error;
  err(exit_refused, "wrong %s", key);
}

// Bits a size suffix scales by: none, or exactly "K", "M" or "G"; -1 for anything else.
int suffix_shift(std::string_view suffix) {
  if (suffix.empty()) return 0;
  if (suffix == "K") return 10;
  if (suffix == "M") return 20;
  if (suffix == "G") return 30;
  return -1;
}

// A number with an optional K, M or G suffix, for bs= and fs=; key names the operand in messages.
int64_t parse_size(const char* value, const char* key) {
  if (*value == '\0') errx(exit_refused, "no %s", key);
  int64_t number = 0;
  const char* rest = nullptr;
  const int error = read_number(value, number, rest);
  const int shift = suffix_shift(rest);
  if (shift < 0) errx(exit_refused, "wrong %s", key);
  // The suffix is judged before the range, so a long number with a bad suffix gets no system text.
  if (error != 0) out_of_range(key, error);
  if (number > (INT64_MAX >> shift) || number < (INT64_MIN >> shift)) out_of_range(key, ERANGE);
  return number * (int64_t{1} << shift);
}

int64_t parse_count(const char* value) {
  if (*value == '\0') errx(exit_refused, "no count");
  int64_t number = 0;
  const char* rest = nullptr;
  const int error = read_number(value, number, rest);
  if (*rest != '\0') errx(exit_refused, "wrong count");
  if (error != 0) out_of_range("count", error);
  return number;
}

[[noreturn]] void usage(const char* invocation_name) {
  errx(exit_refused, "usage: %s [if=FILE] [of=FILE] [bs=BLOCK-SIZE] fs=FULL-SIZE|count=COUNT (use K, M, G)",
       invocation_name);
}

// Later operands overwrite earlier ones; the first failing operand ends the program.
transfer_settings parse_operands(char* const* argv) {
  // An empty argument vector has no name and nothing after it to read.
  if (argv[0] == nullptr) {
    program_invocation_name = program_invocation_short_name = const_cast<char*>("blockmeter");
    usage("blockmeter");
  }
  transfer_settings settings;
  for (char* const* arg = argv + 1; *arg != nullptr; ++arg) {
    const std::string_view operand = *arg;
    // The first matching prefix decides, in this order; the value is the text after it.
    if (operand.starts_with("if=")) {
      settings.input_path = *arg + 3;
    } else if (operand.starts_with("of=")) {
      settings.output_path = *arg + 3;
    } else if (operand.starts_with("bs=")) {
      settings.block_size = parse_size(*arg + 3, "bs");
    } else if (operand.starts_with("fs=")) {
      settings.full_size = static_cast<uint64_t>(parse_size(*arg + 3, "fs"));
    } else if (operand.starts_with("count=")) {
      settings.block_limit = parse_count(*arg + 6);
      // The full size takes the block size in effect now: a later bs= changes only the copy.
      int64_t full_size = 0;
      if (__builtin_mul_overflow(settings.block_size, settings.block_limit, &full_size)) out_of_range("count", ERANGE);
      settings.full_size = static_cast<uint64_t>(full_size);
    } else {
      errx(exit_refused, "%s: wrong argument", *arg);
    }
  }
  if (settings.full_size == 0) usage(argv[0]);
  // Judged on the last bs= only, after the usage check: a later bs= may still mend an earlier one.
  // A block of 0 bytes would read nothing and call an emptied output a success.
  if (settings.block_size <= 0) errx(exit_refused, "wrong bs");
  return settings;
}

}  // namespace

int main(int /*argc*/, char** argv) {
  const transfer_settings settings = parse_operands(argv);
  run_transfer(settings);
}
