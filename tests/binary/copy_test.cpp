// SPDX-License-Identifier: MIT
// copy_test.cpp: copies that need their own set-up: large random data at many block sizes, a pipe
// that delivers in bursts, the created file's mode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "run_tool.h"

namespace {

// At bs=1 every byte costs a screen: a tenth of the data keeps the sanitizer build well within time.
size_t data_size(const std::string& block_size, size_t size) { return block_size == "1" ? size / 10 : size; }

class BlockSizes : public testing::TestWithParam<const char*> {};

TEST_P(BlockSizes, FileToFileIsByteExact) {
  scratch_dir dir;
  const std::string data = pseudo_random_bytes(data_size(GetParam(), 100019), 1);
  write_file(dir / "in", data);
  const run_result result = run_shell("\"$BM\" if=in of=out fs=1 bs=" + std::string(GetParam()), dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  EXPECT_TRUE(read_file(dir / "out") == data);
}

TEST_P(BlockSizes, PipeToPipeIsByteExact) {
  scratch_dir dir;
  const std::string data = pseudo_random_bytes(data_size(GetParam(), 100003), 2);
  write_file(dir / "in", data);
  const run_result result = run_shell("cat in | \"$BM\" fs=100003 bs=" + std::string(GetParam()) + " | cat", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  EXPECT_TRUE(result.output == data);
}

INSTANTIATE_TEST_SUITE_P(Copy, BlockSizes, testing::Values("1", "7", "4K", "65536", "1M"));

// A block is what one read returns: two short reads from a pipe are two blocks.
TEST(Copy, ShortReadsFromAPipeAreWholeBlocks) {
  scratch_dir dir;
  const run_result result =
      run_shell("(printf abc; sleep 0.3; printf de; sleep 0.3; printf fgh) | \"$BM\" bs=100 count=2", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "abcde");
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

}  // namespace
