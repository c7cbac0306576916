// SPDX-License-Identifier: MIT
// screens_test.cpp: the progress screens the real program draws: exact bytes, which screens reach a
// file and which a terminal under a controlled clock, what the last one shows.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run_tool.h"

namespace {

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

struct screens_row {
  std::string line;  // $RUN is the program under the shims; `in` holds "abcdefghij"; the full size is 10
  bool on_terminal;  // standard error is a terminal: a pseudo-terminal, or $SLOW_TERMINAL's, whose
                     // bytes reach a file
  std::vector<std::pair<uint64_t, int64_t>> screens;  // bytes done and elapsed time of each screen drawn
  std::string output = "abcdefghij";
  std::string ending = "OK\n";
  int status = -1;  // -1: 0 after OK, 255 after a message
};

void PrintTo(const screens_row& row, std::ostream* out) { *out << row.line << (row.on_terminal ? " (terminal)" : ""); }

class Drawn : public testing::TestWithParam<screens_row> {};

TEST_P(Drawn, ScreensThenTheEnding) {
  const screens_row& row = GetParam();
  scratch_dir dir;
  write_file(dir / "in", "abcdefghij");
  const bool own_terminal = row.line.find("$SLOW_TERMINAL") != std::string::npos;
  const run_result result =
      run_shell("RUN=\"env LD_PRELOAD=$SHIMS $BM\"; " + row.line, dir.path, row.on_terminal && !own_terminal);
  // On a terminal the first screen clears it, and each later one overwrites the one before.
  std::string expected;
  for (const auto& [done, us] : row.screens)
    expected += screen_for(done, 10, us,
                           row.on_terminal && !expected.empty() ? screen_start::overwritten : screen_start::cleared);
  EXPECT_EQ(result.errors, expected + row.ending);
  EXPECT_EQ(result.status, row.status >= 0 ? row.status : row.ending == "OK\n" ? 0 : 255);
  EXPECT_EQ(result.output, row.output);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, Drawn,
    testing::Values(
        // Into a file every screen, however close together: the last one before count='s last block.
        screens_row{"FAKE_CLOCK=0:0 $RUN if=in bs=3 count=2 fs=10", false, {{0, 0}, {3, 0}}, "abcdef"},
        // The clock starts 0.9 s into a second and each reading is 1.3 s later: seconds and
        // microseconds both count, with a borrow between them.
        screens_row{"FAKE_CLOCK=1000000000900000:1300000 $RUN if=in bs=4 fs=10",
                    false,
                    {{0, 1300000}, {4, 2600000}, {8, 3900000}, {10, 5200000}}},
        // A standard error that takes 5 bytes a call still gets every screen whole.
        screens_row{
            "WRITE_FD=2 WRITE_LIMIT=5 FAKE_CLOCK=0:0 $RUN if=in bs=4 fs=10", false, {{0, 0}, {4, 0}, {8, 0}, {10, 0}}},
        // A terminal gets a screen when 40 ms have passed since the last one drawn, and the last
        // one due before the ending, as it was when it was due.
        screens_row{"FAKE_CLOCK=0:1000 $RUN if=in bs=3 fs=10", true, {{0, 1000}, {10, 5000}}},
        screens_row{"FAKE_CLOCK=0:15000 $RUN if=in bs=3 fs=10", true, {{0, 15000}, {9, 60000}, {10, 75000}}},
        screens_row{"FAKE_CLOCK=0:40000 $RUN if=in bs=3 fs=10",
                    true,
                    {{0, 40000}, {3, 80000}, {6, 120000}, {9, 160000}, {10, 200000}}},
        screens_row{"FAKE_CLOCK=0:1000 $RUN if=in bs=3 count=3 fs=10", true, {{0, 1000}, {6, 3000}}, "abcdefghi"},
        // A screen drawn takes the place of one owed before it: the last drawn is the last.
        screens_row{"FAKE_CLOCK=0:20000 $RUN if=in bs=2 count=5 fs=10", true, {{0, 20000}, {4, 60000}, {8, 100000}}},
        // A signal that ends the copy draws the screen owed first, then the program dies of it.
        screens_row{"FAKE_CLOCK=0:1000 READ_FAIL_AT=6 READ_FAIL_SIGNAL=15 $RUN if=in bs=3 fs=10",
                    true,
                    {{0, 1000}, {6, 3000}},
                    "abcdef",
                    "Terminated\n",  // the shell's report
                    143},
        // A terminal stopped for a second holds no screen of the copy, which is whole half-way through
        // that second; the last screen and OK wait for it.
        screens_row{"(sleep 0.5; cp out early) & $SLOW_TERMINAL 0 1000 env LD_PRELOAD=$SHIMS FAKE_CLOCK=0:40000 $BM"
                    " if=in bs=1 fs=10 > out; wait; cat early",
                    true,
                    {{10, 440000}}},
        screens_row{"FAKE_CLOCK=0:1000 READ_FAIL_AT=6 $RUN if=in bs=3 fs=10",
                    true,
                    {{0, 1000}, {6, 3000}},
                    "abcdef",
                    "read(...) failed: Input/output error\n"},
        screens_row{"FAKE_CLOCK=0:1000 $RUN if=in bs=3 fs=10 > /dev/full",
                    true,
                    {{0, 1000}},
                    "",
                    "write(...) failed: No space left on device\n"}));

}  // namespace
