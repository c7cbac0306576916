// SPDX-License-Identifier: MIT
// routes_test.cpp: the kernel-side routes (copy_file_range between files, splice with a pipe) and
// their fallbacks give the same bytes and the same screens as read and write; strace shows the route;
// space reserved ahead on ext4 stays within what is copied.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "progress.h"
#include "run_tool.h"

namespace {

struct route_row {
  std::string line;    // copies SOURCE into the file out; $RUN is the program under a 1 s-a-reading clock
  const char* source;  // "in" (10,000 random bytes) or a file that another program reads the same
  uint64_t block_size;
  int64_t count;  // -1: none, the full size is 10,000
};

void PrintTo(const route_row& row, std::ostream* out) { *out << row.line; }

// The screens read and write would draw: one before each block, the clock 1 s further at each.
std::string expected_errors(uint64_t size, uint64_t block_size, int64_t count) {
  const uint64_t full_size = count < 0 ? 10000 : block_size * static_cast<uint64_t>(count);
  std::string errors;
  uint64_t done = 0;
  for (int64_t block = 0; block != count; ++block) {
    errors += screen_for(done, full_size, (block + 1) * 1000000);
    if (done == size) break;
    done = std::min(size, done + block_size);
  }
  return errors + "OK\n";
}

// The disk space a file holds, reserved space past its end included.
uint64_t allocated_bytes(const std::filesystem::path& path) {
  struct stat file {};
  if (stat(path.c_str(), &file) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(file.st_blocks) * 512;
}

// The most space a file of this size holds without anything reserved past its end.
uint64_t whole_blocks_for(const std::filesystem::path& path, uint64_t size) {
  struct stat file {};
  if (stat(path.c_str(), &file) != 0) return 0;
  const auto block = static_cast<uint64_t>(file.st_blksize);
  return (size + block - 1) / block * block;
}

class Routes : public testing::TestWithParam<route_row> {};

TEST_P(Routes, SameBytesAndScreensAsReadAndWrite) {
  const route_row& row = GetParam();
  scratch_dir dir;
  write_file(dir / "in", pseudo_random_bytes(10000, 3));
  const run_result result = run_shell("RUN='env LD_PRELOAD='$SHIMS' FAKE_CLOCK=0:1000000 '$BM; " + row.line, dir.path);
  const std::string data = read_file(dir / row.source);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, expected_errors(data.size(), row.block_size, row.count));
  const size_t copied = row.count < 0 ? data.size() : row.block_size * static_cast<size_t>(row.count);
  EXPECT_TRUE(read_file(dir / "out") == data.substr(0, copied));
  EXPECT_LE(allocated_bytes(dir / "out"), whole_blocks_for(dir / "out", copied));
}

INSTANTIATE_TEST_SUITE_P(
    Copy, Routes,
    testing::Values(
        route_row{"$RUN if=in of=out bs=3001 fs=10000", "in", 3001, -1},
        route_row{"$RUN if=in of=out bs=3001 count=2", "in", 3001, 2},
        route_row{"$RUN if=in bs=3001 fs=10000 | cat > out", "in", 3001, -1},
        route_row{"$RUN if=in bs=3001 count=2 | cat > out", "in", 3001, 2},
        // The pipe is filled before the program starts, so that each block is a whole bs=.
        // Read from where an earlier program left the input: 5,904 bytes left, and no more reserved.
        route_row{
            "tail -c 5904 in > rest; { dd bs=4096 skip=1 count=0 2>/dev/null; $RUN of=out bs=3001 fs=10000; } < in",
            "rest", 3001, -1},
        route_row{"cat in | (sleep 0.2; $RUN of=out bs=3001 fs=10000)", "in", 3001, -1},
        route_row{"cat in | (sleep 0.2; $RUN of=out bs=3001 count=2)", "in", 3001, 2},
        route_row{"cat in | (sleep 0.2; $RUN bs=3001 fs=10000) | cat > out", "in", 3001, -1},
        route_row{"cat in | (sleep 0.2; $RUN bs=3001 fs=10000 > /dev/null); cp in out", "in", 3001, -1},
        // Where the kernel declines: an output opened to append, another file system, a /proc file
        // (whose size the kernel does not know), a kernel-side call that fails or ends too soon.
        route_row{"$RUN if=in bs=3001 fs=10000 >> out", "in", 3001, -1},
        route_row{"d=$(mktemp -d /dev/shm/blockmeter-XXXXXX) && $RUN if=in of=$d/out bs=3001 fs=10000; s=$?;"
                  " mv $d/out out; rmdir $d; exit $s",
                  "in", 3001, -1},
        route_row{"$RUN if=/proc/version of=out bs=7 fs=10000", "/proc/version", 7, -1},
        route_row{"$RUN if=/proc/version of=out bs=64K fs=10000", "/proc/version", 65536, -1},
        route_row{"$RUN if=/proc/version bs=7 fs=10000 | cat > out", "/proc/version", 7, -1},
        route_row{"KERNEL_MOVE=none $RUN if=in of=out bs=3001 fs=10000", "in", 3001, -1},
        route_row{"KERNEL_MOVE=end $RUN if=in of=out bs=3001 fs=10000", "in", 3001, -1},
        route_row{"KERNEL_MOVE=end $RUN if=in bs=3001 fs=10000 | cat > out", "in", 3001, -1},
        route_row{"cat in | (sleep 0.2; KERNEL_MOVE=end $RUN bs=3001 fs=10000) | cat > out", "in", 3001, -1}));

// The calls from the first screen to the first close, one letter each: S a whole screen, R read,
// W write, C copy_file_range, P splice. 7 bytes at bs=3: three blocks, then the end of the input.
TEST(Routes, StraceShowsTheRouteAndOneScreenWritePerBlock) {
  if (missing_tool("strace")) GTEST_SKIP() << "missing tool: strace";
  const std::string whole_screen = ", " + std::to_string(screen_bytes) + ") = " + std::to_string(screen_bytes);
  struct traced {
    const char* line;
    const char* copied;  // what out holds afterwards
    const char* calls;
  };
  for (const traced& row : {
           traced{"trace if=in of=/dev/null bs=3 fs=7", "", "SRWSRWSRWSR"},
           {"trace if=in of=out bs=3 fs=7", "abcdefg", "SCSCSCCSCR"},
           {"trace if=in bs=3 fs=7 | cat > out", "abcdefg", "SPSPSPPSPR"},
           {"cat in | (sleep 0.2; trace bs=3 fs=7) | cat > out", "abcdefg", "SPSPSPSPR"},
           {"cat in | (sleep 0.2; trace of=out bs=3 fs=7)", "abcdefg", "SRWSRWSRWSR"},
           {"trace if=in bs=3 fs=7 >> out", "abcdefg", "SCRWSRWSRWSR"},
       }) {
    const std::string line = row.line;
    scratch_dir dir;
    write_file(dir / "in", "abcdefg");
    const run_result result = run_shell("trace() { " + under_strace + "-o trace \"$BM\" \"$@\"; }; " + line, dir.path);
    EXPECT_EQ(result.status, 0) << line;
    EXPECT_EQ(read_file(dir / "out"), row.copied) << line;
    std::istringstream trace(read_file(dir / "trace"));
    std::string seen;
    for (std::string call; std::getline(trace, call) && !(call.starts_with("close(") && !seen.empty());) {
      if (call.starts_with("write(2, \"\\33[H\\33[2J")) seen += call.ends_with(whole_screen) ? 'S' : '?';
      if (seen.empty()) continue;
      if (call.starts_with("read(")) seen += 'R';
      if (call.starts_with("write(") && !call.starts_with("write(2,")) seen += 'W';
      if (call.starts_with("copy_file_range(")) seen += 'C';
      if (call.starts_with("splice(")) seen += 'P';
    }
    EXPECT_EQ(seen, row.calls) << line;
  }
}

// A full file system: the kernel-side call meets it first, and the block is finished with read and
// write so that it is reported as the failed write it is. What was copied stays.
TEST(Routes, FullFileSystemIsAFailedWriteWithAPrefixCopied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  for (const std::string line : {"$BM if=mnt/in of=mnt/out bs=64K fs=1", "cat mnt/in | $BM of=mnt/out bs=64K fs=1"}) {
    scratch_dir dir;
    const run_result result = run_shell(
        "mkdir mnt && mount -t tmpfs -o size=256k none mnt || exit 99; head -c 163840 /dev/urandom > mnt/in; " + line +
            "; s=$?; cp mnt/in in; cp mnt/out out; umount mnt; exit $s",
        dir.path);
    EXPECT_EQ(result.status, 255) << line;
    EXPECT_EQ(after_screens(result.errors), "write(...) failed: No space left on device\n") << line;
    const std::string in = read_file(dir / "in");
    const std::string out = read_file(dir / "out");
    EXPECT_EQ(in.size(), 163840u);
    EXPECT_FALSE(out.empty()) << line;
    EXPECT_TRUE(in.starts_with(out)) << line;
  }
}

// On ext4 the space of a copy between files is reserved a window (4 MiB) ahead: a copy stopped by
// a failure leaves no more than that past the output's end, and not the whole input's size.
TEST(Routes, SpaceIsReservedOnlyAWindowAhead) {
  scratch_dir dir;
  struct statfs where {};
  if (statfs(dir.path.c_str(), &where) != 0 || where.f_type != EXT4_SUPER_MAGIC)
    GTEST_SKIP() << "the scratch directory is not on ext4";
  write_file(dir / "in", pseudo_random_bytes(12 << 20, 5));
  // The output takes nothing: the first block fails once its space is reserved.
  const run_result result =
      run_shell("LD_PRELOAD=$SHIMS WRITE_FD=4 WRITE_LIMIT=0 $BM if=in of=out bs=64K fs=1", dir.path);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(after_screens(result.errors), "write(...) failed: No space left on device\n");
  EXPECT_EQ(read_file(dir / "out"), "");
  EXPECT_GT(allocated_bytes(dir / "out"), 0u);
  EXPECT_LE(allocated_bytes(dir / "out"), 4u << 20);
}

}  // namespace
