// streams_test.cpp: the standard streams and the files behind them: the name the program is called
// by, closed streams, links that make the output the input, and the closing of 0 and 1.
#include <gtest/gtest.h>

#include <string>

#include "run_tool.h"

namespace {

TEST(CommandLine, UsageNamesTheInvocationUnchangedAndPrefixesItsLastComponent) {
  scratch_dir dir;
  const run_result result = run_shell("ln -s \"$BM\" bm && ./bm", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors,
            "bm: usage: ./bm [if=FILE] [of=FILE] [bs=BLOCK-SIZE] fs=FULL-SIZE|count=COUNT (use K, M, G)\n");
}

// Nothing meant for standard error may land in the copy when it is closed.
TEST(Streams, ClosedStandardErrorKeepsTheOutputClean) {
  scratch_dir dir;
  write_file(dir / "in", "abc");
  for (const std::string line : {"\"$BM\" of=out fs=3 < in 2>&-", "\"$BM\" if=in of=out fs=3 0<&- 1>&- 2>&-"}) {
    const run_result result = run_shell(line, dir.path);
    EXPECT_EQ(result.status, 0) << line;
    EXPECT_EQ(read_file(dir / "out"), "abc") << line;
  }
}

// A link is the same file under another name: refused before the output is truncated.
TEST(SameFile, LinkToTheInputAsOutputIsRefusedAndKept) {
  for (const auto& [line, message] :
       {std::pair{"ln keep hard && \"$BM\" if=hard of=keep fs=1", "blockmeter: keep: input file is output file\n"},
        {"ln -s keep soft && \"$BM\" if=keep of=soft fs=1", "blockmeter: soft: input file is output file\n"}}) {
    scratch_dir dir;
    write_file(dir / "keep", "precious");
    const run_result result = run_shell(line, dir.path);
    EXPECT_EQ(result.status, 1) << line;
    EXPECT_EQ(result.errors, message) << line;
    EXPECT_EQ(read_file(dir / "keep"), "precious") << line;
  }
}

// Standard input and output are used as descriptors 0 and 1 and closed like any other stream.
TEST(Streams, StandardStreamsAreClosedAtTheEnd) {
  scratch_dir dir;
  write_file(dir / "in", "abc");
  const run_result result = run_shell(
      under_strace + "-o trace -e trace=close \"$BM\" fs=3 < in > out && grep -E '^close\\([01]\\)' trace", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            "close(0)                                = 0\nclose(1)                                = 0\n");
  EXPECT_EQ(read_file(dir / "out"), "abc");
}

}  // namespace
