// SPDX-License-Identifier: MIT
// streams_test.cpp: the standard streams and the files behind them: the name the program is called
// by, links that lead to the input or into /dev, broken pipes, a closed standard error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "run_tool.h"

namespace {

TEST(Streams, UsageNamesTheInvocationUnchangedAndPrefixesItsLastComponent) {
  scratch_dir dir;
  const run_result result = run_shell("ln -s \"$BM\" bm && ./bm", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors,
            "bm: usage: ./bm [if=FILE] [of=FILE] [bs=BLOCK-SIZE] fs=FULL-SIZE|count=COUNT (use K, M, G)\n");
}

// A link is the file it leads to under another name: to the input, refused before the output is
// truncated; into /dev, to a name that does not exist there, refused before it is made.
TEST(Streams, LinksLedToTheInputOrToAMissingDeviceAreRefused) {
  for (const auto& [line, message] :
       {std::pair{"ln keep hard && \"$BM\" if=hard of=keep fs=1", "blockmeter: keep: input file is output file\n"},
        {"ln -s keep soft && \"$BM\" if=keep of=soft fs=1", "blockmeter: soft: input file is output file\n"},
        {"ln -s /dev/blockmeter-missing soft && \"$BM\" if=keep of=soft fs=1",
         "blockmeter: soft: No such file or directory\n"},
        {"ln -s /dev devices && \"$BM\" if=keep of=devices/blockmeter-missing fs=1",
         "blockmeter: devices/blockmeter-missing: No such file or directory\n"}}) {
    scratch_dir dir;
    write_file(dir / "keep", "precious");
    const run_result result = run_shell(line, dir.path);
    EXPECT_EQ(result.status, 1) << line;
    EXPECT_EQ(result.errors, message) << line;
    EXPECT_EQ(read_file(dir / "keep"), "precious") << line;
  }
}

// Each line starts the program once the reader of its pipe is gone and leaves its status in a file.
// A broken standard error only loses screens; a broken standard output ends the program by SIGPIPE
// where the caller left that signal at its default, and as a failed write where it is ignored or blocked.
TEST(Streams, BrokenPipes) {
  if (missing_tool("perl")) GTEST_SKIP() << "missing tool: perl";
  const std::string block_pipe_signal =
      "perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGPIPE)); exec @ARGV' ";
  struct broken_pipe {
    std::string line;
    const char* status;
    const char* message;  // after the screens
    const char* copied;   // what the file out holds afterwards
  };
  for (const broken_pipe& row : {
           broken_pipe{"\"$BM\" if=in of=out fs=3 2>&1", "0\n", "", "abc"},
           {"\"$BM\" fs=3 < in", "141\n", "", ""},
           {"trap '' PIPE; \"$BM\" fs=3 < in", "255\n", "write(...) failed: Broken pipe\n", ""},
           {block_pipe_signal + "\"$BM\" fs=3 < in", "255\n", "write(...) failed: Broken pipe\n", ""},
       }) {
    scratch_dir dir;
    write_file(dir / "in", "abc");
    const run_result result = run_shell("(sleep 0.3; " + row.line + "; echo $? > status) | true", dir.path);
    EXPECT_EQ(read_file(dir / "status"), row.status) << row.line;
    EXPECT_EQ(after_screens(result.errors), row.message) << row.line;
    EXPECT_EQ(read_file(dir / "out"), row.copied) << row.line;
  }
}

// With standard error closed and no /dev/null to stand in for it, the output still does not take
// descriptor 2 and the screens stay out of the copy.
TEST(Streams, ClosedStandardErrorWithoutDevNull) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hide /dev in a mount namespace of its own";
  scratch_dir dir;
  write_file(dir / "in", "abcdef");
  const run_result result = run_shell(
      "unshare -m sh -c 'mount -t tmpfs none /dev && test ! -e /dev/null && \"$BM\" of=out fs=6 < in 2>&-'", dir.path);
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(read_file(dir / "out"), "abcdef");
}

}  // namespace
