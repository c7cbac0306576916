// SPDX-License-Identifier: MIT
// screens_test.cpp: the progress screens the real program draws: exact bytes, what the last one
// shows, the Time row under a controlled clock, a standard error that takes a few bytes a call.
#include <gtest/gtest.h>

#include <string>
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

TEST(Screens, LastScreenWithCountShowsTheStateBeforeTheLastBlock) {
  scratch_dir dir;
  write_file(dir / "in", "abcdefghij");
  const run_result result = run_shell("LD_PRELOAD=\"$SHIMS\" FAKE_CLOCK=0:0 \"$BM\" if=in bs=3 count=2", dir.path);
  EXPECT_EQ(result.errors, screen_for(0, 6, 0) + screen_for(3, 6, 0) + "OK\n");
  EXPECT_EQ(result.output, "abcdef");
}

// The clock starts 0.9 s into a second and each reading is 1.3 s later, so the elapsed time needs
// both the seconds and the microseconds, with a borrow between them.
TEST(Screens, TimeRowFollowsTheClock) {
  scratch_dir dir;
  write_file(dir / "in", "abcdef");
  const run_result result =
      run_shell("LD_PRELOAD=\"$SHIMS\" FAKE_CLOCK=1000000000900000:1300000 \"$BM\" if=in bs=2 fs=6", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, screen_for(0, 6, 1300000) + screen_for(2, 6, 2600000) + screen_for(4, 6, 3900000) +
                               screen_for(6, 6, 5200000) + "OK\n");
  EXPECT_NE(result.errors.find("Time |                                       0 h  0 m  5 s (     5 s) |"),
            std::string::npos);
}

// A standard error that takes 5 bytes a call still gets every screen whole.
TEST(Screens, SlowStandardErrorGetsWholeScreens) {
  scratch_dir dir;
  write_file(dir / "in", "ab");
  const run_result result =
      run_shell("LD_PRELOAD=\"$SHIMS\" WRITE_FD=2 WRITE_LIMIT=5 FAKE_CLOCK=0:0 \"$BM\" if=in fs=2", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, screen_for(0, 2, 0) + screen_for(1, 2, 0) + screen_for(2, 2, 0) + "OK\n");
}

}  // namespace
