// SPDX-License-Identifier: MIT
// random_operands_test.cpp: a few hundred random command lines through the real binary. Whatever the
// operands, the program ends by itself with 0, 1 or 255, says why in one line, and a refused command
// line leaves the files as they were. BLOCKMETER_SEED picks another seed; every failure names it.
// It repeats two of the parser's rules (which messages belong to the command line, and that the
// last count= of 0 means no read): whoever changes the parser changes them here too.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "run_tool.h"

namespace {

std::string shell_quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

struct operand_maker {
  std::mt19937_64 random;
  bool messy = true;  // off: only operands that parse, so that half the runs get to copy

  template <typename T>
  const T& pick(const std::vector<T>& choices) {
    return choices[random() % choices.size()];
  }

  bool one_in(unsigned n) { return random() % n == 0; }

  // Mostly plain numbers, now and then with blanks, signs or up to 25 digits.
  std::string number() {
    std::string text;
    if (messy && one_in(4)) text += pick<std::string>({" ", "  ", "\t", "+", "-", " -", " +"});
    const size_t digits = messy && one_in(4) ? pick<size_t>({10, 13, 19, 20, 25}) : 1 + random() % 4;
    for (size_t i = 0; i < digits; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  }

  std::string value() {
    if (messy && one_in(10)) return "";
    if (messy && one_in(10)) return pick<std::string>({"K", "M", "G", "k", "KB", " K", "+K", "x"});
    const std::string suffix =
        one_in(5) ? pick<std::string>({"k", "KB", "x", " K", "KK"}) : pick<std::string>({"", "", "", "K", "M", "G"});
    return number() + suffix;
  }

  std::string operand() {
    if (messy && one_in(12))
      return pick<std::string>({"if", "count", "bs", "fs5", "IF=x", "Fs=3", "BS=1", "cOUNT=2", "of"});
    const std::string key = pick<std::string>({"if", "of", "bs", "fs", "fs", "count"});
    if (key == "if") return "if=" + pick<std::string>({"empty", "empty", "/dev/null", "missing", ""});
    if (key == "of") return "of=" + pick<std::string>({"out", "out", "/dev/null", "nodir/out", ""});
    return key + "=" + value();
  }
};

bool is_command_line_error(const std::string& message) {
  for (const char* text :
       {"no bs\n", "no fs\n", "no count\n", "wrong bs", "wrong fs", "wrong count", ": wrong argument\n", "usage: "})
    if (message.find(text) != std::string::npos) return true;
  return false;
}

// The last count= operand that parses, read as the program reads it.
bool limits_to_zero_blocks(const std::vector<std::string>& operands) {
  bool zero = false;
  for (const std::string& operand : operands) {
    if (!operand.starts_with("count=")) continue;
    char* rest = nullptr;
    zero = std::strtoll(operand.c_str() + 6, &rest, 10) == 0;
  }
  return zero;
}

TEST(RandomOperands, EndCleanlyAndLeaveFilesAsTheyWere) {
  const char* seed_text = std::getenv("BLOCKMETER_SEED");
  const uint64_t seed = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : 20261208;
  operand_maker maker{std::mt19937_64(seed)};
  int copied = 0;
  int refused = 0;
  for (int run = 0; run < 300; ++run) {
    maker.messy = run % 2 == 0;
    std::vector<std::string> operands;
    const size_t count = maker.random() % 6;
    std::string line = "\"$BM\" of=keep";
    for (size_t i = 0; i < count; ++i) {
      operands.push_back(maker.operand());
      line += ' ';
      line += shell_quote(operands.back());
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run) + ": " + line);
    scratch_dir dir;
    write_file(dir / "keep", "precious");
    write_file(dir / "empty", "");
    const run_result result = run_shell(line, dir.path);

    ASSERT_EQ(result.signal, 0);
    ASSERT_TRUE(result.status == 0 || result.status == 1 || result.status == 255) << result.status;
    const std::string message = after_screens(result.errors);
    if (result.status == 1) {
      EXPECT_TRUE(message.starts_with("blockmeter: ")) << message;
      EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
    }
    if (result.status == 1 && count_screens(result.errors) == 0 && is_command_line_error(message)) {
      EXPECT_EQ(read_file(dir / "keep"), "precious");
      EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    }
    refused += result.status == 1 ? 1 : 0;
    if (result.status == 0) {
      ++copied;
      EXPECT_EQ(message, "OK\n");
      EXPECT_EQ(count_screens(result.errors), limits_to_zero_blocks(operands) ? 0u : 1u);
    }
  }
  // The mix must reach both the copy and the refusals to say anything about either.
  EXPECT_GT(copied, 20) << "seed " << seed;
  EXPECT_GT(refused, 20) << "seed " << seed;
  std::printf("seed %llu: %d copied, %d refused\n", static_cast<unsigned long long>(seed), copied, refused);
}

}  // namespace
