// screen_test.cpp: the progress screens the real binary draws: exact bytes, how many, what the
// last one shows, and that each reaches standard error in a single write call.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "run_tool.h"

namespace {

// The "Done" cell of a screen's data row.
std::string done_cell(const std::string& screen) {
  const size_t data = screen.find("\nData | ");
  return screen.substr(data + 8, 62);
}

TEST(Screens, EmptyInputDrawsOneExactScreenThenOk) {
  scratch_dir dir;
  const run_result result = run_shell("\"$BM\" fs=1000", dir.path);
  const std::string blanks = "                                                          ";  // 58
  const std::string expected = "\x1b[H\x1b[2J     | " + blanks + "Done | " + blanks + "Left | " + blanks.substr(1) +
                               "Total\n" +
                               "Data |    0 Gib    0 Mib    0 Kib    0 bytes (               0 bytes) |"
                               "    0 Gib    0 Mib    0 Kib 1000 bytes (            1000 bytes) |"
                               "    0 Gib    0 Mib    0 Kib 1000 bytes (            1000 bytes)\n"
                               "Time |                                       0 h  0 m  0 s (     0 s) |"
                               "                                                       Negative |"
                               "                                                       Negative\n"
                               "OK\n";
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, expected);
}

struct screen_count {
  const char* operands;
  const char* input;
  size_t screens;
};

void PrintTo(const screen_count& row, std::ostream* out) { *out << row.operands; }

class ScreenCounts : public testing::TestWithParam<screen_count> {};

// One screen before every read: N for count=N, N + 1 when the input ends after N blocks.
TEST_P(ScreenCounts, OneBeforeEveryRead) {
  scratch_dir dir;
  write_file(dir / "in", GetParam().input);
  const run_result result = run_shell("\"$BM\" if=in " + std::string(GetParam().operands), dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(count_screens(result.errors), GetParam().screens);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenCounts,
                         testing::Values(screen_count{"count=3 bs=2", "0123456789", 3},
                                         screen_count{"count=5 bs=2", "0123456789", 5},
                                         screen_count{"count=6 bs=2", "0123456789", 6},
                                         screen_count{"bs=4 fs=1", "0123456789", 4},
                                         screen_count{"bs=5 fs=1", "0123456789", 3}, screen_count{"fs=1", "abc", 4},
                                         screen_count{"fs=1", "", 1}, screen_count{"bs=0 fs=1", "abc", 1},
                                         screen_count{"count=0 fs=1", "abc", 0}));

TEST(Screens, LastScreenWithCountShowsTheStateBeforeTheLastBlock) {
  scratch_dir dir;
  write_file(dir / "in", "abcdefghij");
  const run_result result = run_shell("\"$BM\" if=in bs=3 count=2", dir.path);
  const std::vector<std::string> screens = screens_of(result.errors);
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(done_cell(screens[1]), "   0 Gib    0 Mib    0 Kib    3 bytes (               3 bytes)");
  EXPECT_EQ(result.output, "abcdef");
}

// Parts of a block the output takes one by one all count, and the last screen shows every byte.
TEST(Screens, DoneCountsEveryPartOfPartialWrites) {
  scratch_dir dir;
  write_file(dir / "in", "0123456789abcdefghij");
  const run_result result =
      run_shell("LD_PRELOAD=\"$WRITE_LIMIT_LIB\" WRITE_LIMIT=3 \"$BM\" if=in bs=8 fs=20", dir.path);
  const std::vector<std::string> screens = screens_of(result.errors);
  ASSERT_EQ(screens.size(), 4u);
  const char* done[] = {"0 bytes (               0", "8 bytes (               8", "  16 bytes (              16",
                        "  20 bytes (              20"};
  for (size_t i = 0; i < screens.size(); ++i) EXPECT_NE(done_cell(screens[i]).find(done[i]), std::string::npos) << i;
  EXPECT_NE(screens[3].find("\nData | " + done_cell(screens[3]) + " |    0 Gib    0 Mib    0 Kib    0 bytes"),
            std::string::npos);
}

// The whole screen goes out in one write call, and a block costs exactly a screen, a read and a
// write: the clock is read without a system call.
TEST(Screens, EachBlockIsOneScreenOneReadOneWrite) {
  scratch_dir dir;
  write_file(dir / "in", "abcdefg");
  const run_result result = run_shell(under_strace + "-o trace \"$BM\" if=in of=/dev/null bs=2 fs=7", dir.path);
  EXPECT_EQ(result.status, 0);
  std::istringstream trace(read_file(dir / "trace"));
  std::string calls;  // the calls between creating the output and closing the input, one letter each
  bool copying = false;
  for (std::string line; std::getline(trace, line);) {
    if (line.starts_with("creat(")) {
      copying = true;
    } else if (copying && line.starts_with("close(")) {
      break;
    } else if (copying && line.starts_with("write(2, \"\\33[H\\33[2J")) {
      calls += line.ends_with(", 607) = 607") ? 'S' : '?';
    } else if (copying) {
      calls += line.starts_with("read(3, ") ? 'R' : line.starts_with("write(4, ") ? 'W' : '?';
    }
  }
  EXPECT_EQ(calls,
            "SRW"
            "SRW"
            "SRW"
            "SRW"
            "SR");
  EXPECT_EQ(count_screens(result.errors), 5u);
}

}  // namespace
