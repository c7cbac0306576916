// transfer_test.cpp: the copy through the real binary: exact bytes, block limits, partial writes,
// failures with their statuses, what is left on disk, and how the streams are opened and closed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "run_tool.h"

namespace {

class BlockSizes : public testing::TestWithParam<const char*> {};

TEST_P(BlockSizes, FileToFileIsByteExact) {
  scratch_dir dir;
  const std::string data = pseudo_random_bytes(100019, 1);
  write_file(dir / "in", data);
  const run_result result = run_shell("\"$BM\" if=in of=out fs=1 bs=" + std::string(GetParam()), dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  EXPECT_TRUE(read_file(dir / "out") == data);
}

TEST_P(BlockSizes, PipeToPipeIsByteExact) {
  scratch_dir dir;
  const std::string data = pseudo_random_bytes(100003, 2);
  write_file(dir / "in", data);
  const run_result result = run_shell("cat in | \"$BM\" fs=100003 bs=" + std::string(GetParam()) + " | cat", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  EXPECT_TRUE(result.output == data);
}

INSTANTIATE_TEST_SUITE_P(Copy, BlockSizes, testing::Values("1", "7", "4K", "65536", "1M"));

TEST(Copy, EmptyInputCreatesEmptyOutput) {
  scratch_dir dir;
  write_file(dir / "in", "");
  const run_result result = run_shell("\"$BM\" if=in of=out fs=10", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  ASSERT_TRUE(std::filesystem::exists(dir / "out"));
  EXPECT_EQ(read_file(dir / "out"), "");
}

TEST(Copy, ExistingOutputIsTruncated) {
  scratch_dir dir;
  write_file(dir / "in", "new");
  write_file(dir / "out", "much longer old content");
  const run_result result = run_shell("\"$BM\" if=in of=out fs=3", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "out"), "new");
}

TEST(Copy, CountLimitsTheBlocksRead) {
  scratch_dir dir;
  write_file(dir / "in", "0123456789abcdef");
  const run_result result = run_shell("\"$BM\" if=in bs=5 count=2", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "0123456789");
}

// A block is what one read returns: two short reads from a pipe are two blocks.
TEST(Copy, ShortReadsFromAPipeAreWholeBlocks) {
  scratch_dir dir;
  const run_result result =
      run_shell("(printf abc; sleep 0.3; printf de; sleep 0.3; printf fgh) | \"$BM\" bs=100 count=2", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "abcde");
}

TEST(Copy, ZeroBlockSizeCopiesNothing) {
  scratch_dir dir;
  write_file(dir / "in", "abc");
  const run_result result = run_shell("\"$BM\" if=in of=out bs=0 fs=1", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  EXPECT_EQ(read_file(dir / "out"), "");
}

// With no block to copy the input is never read, so even a directory is fine.
TEST(Copy, CountZeroReadsNothing) {
  scratch_dir dir;
  const run_result result = run_shell("\"$BM\" if=. of=out count=0 fs=1", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "OK\n");
  EXPECT_EQ(read_file(dir / "out"), "");
}

// The output takes at most 3 bytes a call: every block is finished before the next read.
TEST(Copy, PartialWritesFinishEachBlock) {
  scratch_dir dir;
  write_file(dir / "in", "0123456789abcdefghij");
  const run_result result =
      run_shell("LD_PRELOAD=\"$WRITE_LIMIT_LIB\" WRITE_LIMIT=3 WRITE_LOG=log \"$BM\" if=in bs=8 fs=20", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "0123456789abcdefghij");
  EXPECT_EQ(read_file(dir / "log"), "8\n5\n2\n8\n5\n2\n4\n1\n");
}

TEST(Copy, OutputThatTakesNothingIsAFailedWrite) {
  scratch_dir dir;
  write_file(dir / "in", "abc");
  const run_result result =
      run_shell("LD_PRELOAD=\"$WRITE_LIMIT_LIB\" WRITE_LIMIT=0 WRITE_LOG=log \"$BM\" if=in fs=3", dir.path);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(after_screens(result.errors), "write(...) failed: No space left on device\n");
  EXPECT_EQ(read_file(dir / "log"), "1\n");
}

TEST(Copy, CreatedFileModeFollowsTheUmask) {
  for (const auto& [mask, mode] : {std::pair{"022", 0644}, {"077", 0600}, {"0", 0666}, {"027", 0640}}) {
    scratch_dir dir;
    const run_result result = run_shell("umask " + std::string(mask) + " && \"$BM\" of=out fs=1", dir.path);
    EXPECT_EQ(result.status, 0);
    struct stat info {};
    ASSERT_EQ(stat((dir / "out").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(mode)) << "umask " << mask;
  }
}

struct failure {
  const char* line;
  std::string message;  // what follows the screens on standard error
  int status;
};

void PrintTo(const failure& row, std::ostream* out) { *out << row.line; }

class Failures : public testing::TestWithParam<failure> {};

// "keep" holds "precious" and "in" holds "abc" before each line runs.
TEST_P(Failures, ExactMessageAndStatus) {
  scratch_dir dir;
  write_file(dir / "keep", "precious");
  write_file(dir / "in", "abc");
  const run_result result = run_shell(GetParam().line, dir.path);
  EXPECT_EQ(result.status, GetParam().status);
  EXPECT_EQ(after_screens(result.errors), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Copy, Failures,
    testing::Values(
        failure{"\"$BM\" if=. of=out fs=1", "read(...) failed: Is a directory\n", 255},
        failure{"\"$BM\" if=in of=/dev/full fs=1", "write(...) failed: No space left on device\n", 255},
        failure{"\"$BM\" if=in of=nodir/out fs=1", "blockmeter: nodir/out: No such file or directory\n", 1},
        failure{"\"$BM\" if=in of=. fs=1", "blockmeter: .: Is a directory\n", 1},
        failure{"\"$BM\" count=0 fs=1 0<&-", "blockmeter: standard input: cannot close: Bad file descriptor\n", 1},
        failure{"\"$BM\" fs=1 >&-", "blockmeter: standard output: cannot close: Bad file descriptor\n", 1}));

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

// Copying a file onto itself would truncate it before a byte is read.
TEST(Refusal, InputFileAsOutputIsRefusedAndKept) {
  for (const std::string line :
       {"\"$BM\" if=keep of=keep fs=1", "\"$BM\" if=./keep of=keep fs=1", "\"$BM\" of=keep fs=1 < keep",
        "ln keep hard && \"$BM\" if=hard of=keep fs=1", "ln -s keep soft && \"$BM\" if=keep of=soft fs=1"}) {
    scratch_dir dir;
    write_file(dir / "keep", "precious");
    const run_result result = run_shell(line, dir.path);
    const std::string output_path = line.substr(line.find("of=") + 3, line.find(" fs=") - line.find("of=") - 3);
    EXPECT_EQ(result.status, 1) << line;
    EXPECT_EQ(result.errors, "blockmeter: " + output_path + ": input file is output file\n") << line;
    EXPECT_EQ(read_file(dir / "keep"), "precious") << line;
  }
}

TEST(Refusal, DeviceAsBothInputAndOutputIsFine) {
  scratch_dir dir;
  const run_result result = run_shell("\"$BM\" if=/dev/null of=/dev/null fs=1", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
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
