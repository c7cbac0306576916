// SPDX-License-Identifier: MIT
// routes_test.cpp: the kernel-side routes (copy_file_range between files, splice with a pipe) and
// their fallbacks give the same bytes and the same screens as read and write; strace shows the route;
// space reserved ahead on ext4 stays within what is copied.
#include <fcntl.h>
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
  int64_t count = -1;          // -1: none, the full size is 10,000
  int64_t failing_block = -1;  // the block (from 0) whose read or write fails; -1: none
  const char* failure = "";    // the message it ends with; after a failed write out holds a prefix
  uint64_t output_offset = 0;  // out holds this many bytes before the copy
};

// A line that names $DEV gets a loop device of 8 KiB over a file of the scratch directory,
// detached when the line ends. Such lines, and those that mount, need root; their rows skip without.
std::string with_device(const std::string& line) {
  if (line.find("$DEV") == std::string::npos) return line;
  return "truncate -s 8K dev.img && DEV=$(losetup -f --show dev.img) || exit 77; trap 'losetup -d $DEV' EXIT; " + line;
}
bool needs_root(const std::string& line) {
  return line.find("$DEV") != std::string::npos || line.find("mount ") != std::string::npos;
}

void PrintTo(const route_row& row, std::ostream* out) { *out << row.line; }

// What read and write give: one screen before each read of block_size bytes from the source, the
// clock 1 s further at each, the bytes those reads return, and how the copy ends.
struct copy_seen {
  std::string errors;
  std::string bytes;
};

copy_seen read_and_write_of(const route_row& row, const std::filesystem::path& source) {
  const uint64_t full_size = row.count < 0 ? 10000 : row.block_size * static_cast<uint64_t>(row.count);
  const int fd = open(source.c_str(), O_RDONLY);
  std::string block(row.block_size, '\0');
  copy_seen seen;
  const bool write_fails = std::string_view(row.failure).starts_with("write");
  for (int64_t index = 0; index != row.count; ++index) {
    seen.errors += screen_for(seen.bytes.size(), full_size, (index + 1) * 1000000);
    const bool fails = index == row.failing_block;
    const ssize_t got = fails && !write_fails ? 0 : read(fd, block.data(), block.size());
    if (got > 0) seen.bytes.append(block, 0, static_cast<size_t>(got));
    if (fails || got <= 0) break;
  }
  close(fd);
  return {seen.errors + (row.failing_block < 0 ? "OK" : row.failure) + "\n", seen.bytes};
}

// The disk space a file holds, reserved space past its end included; none for a missing file.
uint64_t allocated_bytes(const std::filesystem::path& path) {
  struct stat file {};
  if (stat(path.c_str(), &file) != 0) return 0;
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

const std::string sparse = "truncate -s 40K sp && dd if=in of=sp bs=4K seek=2 count=2 conv=notrunc 2>/dev/null && ";
const char* const eio_read = "read(...) failed: Input/output error";
const char* const eio_write = "write(...) failed: Input/output error";

TEST_P(Routes, SameBytesAndScreensAsReadAndWrite) {
  const route_row& row = GetParam();
  if (needs_root(row.line) && geteuid() != 0) GTEST_SKIP() << "needs root for a loop device or a mount";
  scratch_dir dir;
  write_file(dir / "in", pseudo_random_bytes(10000, 3));
  const run_result result =
      run_shell("RUN='env LD_PRELOAD='$SHIMS' FAKE_CLOCK=0:1000000 '$BM; " + with_device(row.line), dir.path);
  if (result.status == 77) GTEST_SKIP() << "no loop device to be had";
  const copy_seen expected = read_and_write_of(row, dir / row.source);
  EXPECT_EQ(result.status, expected.errors.ends_with("OK\n") ? 0 : 255);
  EXPECT_EQ(result.errors, expected.errors);
  const std::string out = read_file(dir / "out");
  const std::string copied = out.substr(std::min(out.size(), row.output_offset));
  // After a failed write the output holds a prefix of what was read.
  EXPECT_TRUE(std::string_view(row.failure).starts_with("write") ? expected.bytes.starts_with(copied)
                                                                 : copied == expected.bytes);
  EXPECT_LE(allocated_bytes(dir / "out"), whole_blocks_for(dir / "out", out.size()));
  // A whole copy takes the space its source holds, give or take a block where data meets a hole:
  // holes stay holes, and zeros that are data stay data. (An output opened with 1<> held bytes before.)
  if (row.count < 0 && row.failing_block < 0 && row.output_offset == 0 && row.line.find("1<>") == std::string::npos) {
    const uint64_t held = allocated_bytes(dir / row.source);
    EXPECT_GE(allocated_bytes(dir / "out"), held);
    EXPECT_LE(allocated_bytes(dir / "out"), held + 2 * std::max<uint64_t>(row.block_size, 4096));
  }
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
        route_row{"cat in | (sleep 0.2; KERNEL_MOVE=end $RUN bs=3001 fs=10000) | cat > out", "in", 3001, -1},
        // A /proc file gives about a page a read, whatever the block size: each read is a block.
        route_row{"$RUN if=/proc/crypto bs=64K fs=10000 | cat > out", "/proc/crypto", 65536},
        // The output pipe has room for one page (the first program filled the rest): the block is
        // still all that waits in the input.
        route_row{"cat in | { head -c 1044480 /dev/zero | $BM bs=1M fs=1 2>/dev/null; sleep 0.2; $RUN bs=1M count=1; }"
                  " | (sleep 1; tail -c +1044481 > out)",
                  "in", 1 << 20, 1},
        // What a pipe's reader gets is what the file held when it was copied, not what it holds later.
        route_row{"cp in f; ($RUN if=f bs=3001 fs=10000; printf 'B%.0s' $(seq 10000) 1<> f) | (sleep 0.5; cat > out)",
                  "in", 3001},
        // sysfs says 4096 bytes for a file of 4: nothing stays reserved past the copy's end.
        route_row{"{ head -c 4092 in; $RUN if=/sys/devices/system/cpu/online bs=64K fs=10000; } > out",
                  "/sys/devices/system/cpu/online", 65536, -1, -1, "", 4092},
        // A read that fails in the middle of the copy is no end of the input.
        route_row{"READ_FAIL_AT=6002 $RUN if=in of=out bs=3001 fs=10000", "in", 3001, -1, 2, eio_read},
        route_row{"cat in | (sleep 0.2; READ_FAIL_AT=6002 $RUN of=out bs=3001 fs=10000)", "in", 3001, -1, 2, eio_read},
        // Holes stay holes: sp is 40 KiB, data from 8 KiB to 16 KiB, a hole to the end.
        route_row{sparse + "$RUN if=sp of=out bs=4K fs=10000", "sp", 4096},
        route_row{sparse + "$RUN if=sp of=out bs=3001 fs=10000", "sp", 3001},
        route_row{sparse + "$RUN if=sp of=out bs=4K count=7", "sp", 4096, 7},
        route_row{sparse + "$RUN if=sp of=out bs=4K count=3", "sp", 4096, 3},
        route_row{sparse + "$RUN if=sp bs=3001 fs=10000 > out", "sp", 3001},
        route_row{"head -c 16K /dev/zero > z && $RUN if=z of=out bs=4K fs=10000", "z", 4096},
        // Where the output holds bytes already, it gets the input's zeros.
        route_row{sparse + "head -c 40000 in in > out && $RUN if=sp bs=4K fs=10000 1<> out", "sp", 4096},
        // A block device (8 KiB): write-behind changes when the screens come, not what they show.
        route_row{"$RUN if=in of=$DEV bs=3001 count=2; s=$?; head -c 6002 $DEV > out; exit $s", "in", 3001, 2},
        route_row{"cat in | (sleep 0.2; $RUN bs=3001 count=2 > $DEV); s=$?; head -c 6002 $DEV > out; exit $s", "in",
                  3001, 2},
        // The pipe holds more than the device takes: one block, its write fails where the device ends.
        route_row{"cat in | (sleep 0.2; $RUN bs=64K fs=10000 > $DEV); s=$?; cat $DEV > out; exit $s", "in", 65536, -1,
                  0, "write(...) failed: No space left on device"},
        // A device whose write-back fails (its file's tmpfs is full) is no success, even held open elsewhere.
        // A loop device lets go of its file a moment after losetup -d, so the tmpfs is unmounted lazily.
        route_row{"mkdir m && mount -t tmpfs -o size=4k none m && truncate -s 1M m/img && d=$(losetup -f --show m/img)"
                  " || exit 77; $RUN if=in of=$d bs=3001 fs=10000; s=$?; losetup -d $d; umount -l m; exit $s",
                  "in", 3001, -1, 4, eio_write},
        route_row{"mkdir m && mount -t tmpfs -o size=4k none m && truncate -s 1M m/img && d=$(losetup -f --show m/img)"
                  " || exit 77; sleep 9 < $d & $RUN if=in of=$d bs=3001 fs=10000; s=$?; kill $!; wait;"
                  " losetup -d $d; umount -l m; exit $s",
                  "in", 3001, -1, 4, eio_write}));

// The calls from the first screen to the first close, one letter each: S a whole screen, R read,
// W write, C copy_file_range, P splice, I ioctl (how much a pipe holds), Y sync_file_range (a
// device's write-back), D fdatasync. 7 bytes at bs=3: three blocks, then the end of
// the input.
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
           {"trace if=in bs=3 fs=7 | cat > out", "abcdefg", "SRWSRWSRWSR"},
           {"cat in | (sleep 0.2; trace bs=3 fs=7) | cat > out", "abcdefg", "SIPSIPSIPSIR"},
           {"cat in | (sleep 0.2; trace of=out bs=3 fs=7)", "abcdefg", "SRWSRWSRWSR"},
           {"trace if=in bs=3 fs=7 >> out", "abcdefg", "SCRWSRWSRWSR"},
           {"trace if=in of=$DEV bs=3 fs=7; head -c 7 $DEV > out", "abcdefg", "SRWYSRWYSRWYSRD"},
           {"cat in | (sleep 0.2; trace bs=3 fs=7 > $DEV); head -c 7 $DEV > out", "abcdefg", "SIPYSIPYSIPYSIRD"},
       }) {
    const std::string line = with_device(row.line);
    if (needs_root(line) && geteuid() != 0) continue;  // CI runs as root
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
      if (call.starts_with("ioctl(")) seen += 'I';
      if (call.starts_with("sync_file_range(")) seen += 'Y';
      if (call.starts_with("fdatasync(")) seen += 'D';
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

// Pipes are grown to 1 MiB, never shrunk: a caller's 4 MiB pipe stays.
TEST(Routes, LargerPipesAreNotShrunk) {
  if (missing_tool("perl")) GTEST_SKIP() << "missing tool: perl";
  scratch_dir dir;
  // perl: fcntl 1031 is F_SETPIPE_SZ, 1032 F_GETPIPE_SZ. A size past pipe-max-size needs
  // CAP_SYS_RESOURCE, or root to raise pipe-max-size for the while.
  const run_result result = run_shell(
      "big() { true | perl -e 'exit(!fcntl(STDIN, 1031, 4 << 20))'; }; max=/proc/sys/fs/pipe-max-size;"
      " big || { was=$(cat $max) && echo 4194304 2>/dev/null > $max && trap 'echo $was > $max' EXIT && big; } ||"
      " exit 77; echo data | (sleep 0.3; $BM bs=3 fs=5) 2>/dev/null"
      " | perl -e 'fcntl(STDIN, 1031, 4 << 20); sleep 1; print fcntl(STDIN, 1032, 0), \" \", scalar <STDIN>'",
      dir.path);
  if (result.status == 77) GTEST_SKIP() << "cannot make a pipe larger than 1 MiB here (needs CAP_SYS_RESOURCE or root)";
  EXPECT_EQ(result.output, "4194304 data\n");
}

// A device the kernel holds in use (here: a mounted file system) is refused before a byte is
// written, named as of= or as standard output; the file system stays whole.
TEST(Routes, DeviceInUseIsRefusedAndItsFileSystemKept) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a loop device and a mount";
  if (missing_tool("mkfs.ext4")) GTEST_SKIP() << "missing tool: mkfs.ext4";
  scratch_dir dir;
  write_file(dir / "in", pseudo_random_bytes(10000, 3));
  const run_result result = run_shell(
      "truncate -s 8M fs.img && mkfs.ext4 -q fs.img && d=$(losetup -f --show fs.img) || exit 77; ln -s $d disk;"
      " mkdir m && mount $d m && echo kept > m/file && $BM if=in of=disk bs=64K fs=1; echo $?;"
      " $BM if=in bs=64K fs=1 > disk; echo $?; cat m/file; umount m; fsck.ext4 -fn $d > /dev/null 2>&1; echo $?;"
      " losetup -d $d",
      dir.path);
  if (result.status == 77) GTEST_SKIP() << "no loop device to be had";
  EXPECT_EQ(result.errors,
            "blockmeter: disk: Device or resource busy\nblockmeter: standard output: Device or resource busy\n");
  EXPECT_EQ(result.output, "1\n1\nkept\n0\n");
}

// On ext4 the space of a copy between files is reserved a window (4 MiB) ahead: a copy stopped by
// a failure gives back what it reserved past the output's end.
TEST(Routes, SpaceReservedIsGivenBackWhenTheCopyFails) {
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
  EXPECT_EQ(allocated_bytes(dir / "out"), 0u);
}

}  // namespace
