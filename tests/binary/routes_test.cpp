// SPDX-License-Identifier: MIT
// routes_test.cpp: the kernel-side routes (copy_file_range between files, splice with a pipe) and
// their fallbacks give the same bytes and the same screens as read and write; strace shows the route;
// space reserved ahead on ext4 stays within what is copied.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "progress.h"
#include "run_tool.h"

namespace {

// The line's bs= and count= (none: the full size is 10,000) are those of the read and write compared.
struct route_row {
  std::string line;            // copies SOURCE into the file out; $RUN is the program under a 1 s-a-reading clock
  const char* source = "in";   // "in" (10,000 random bytes) or a file that another program reads the same
  int64_t failing_block = -1;  // the block (from 0) whose read or write fails; -1: none
  const char* failure = "";    // the message it ends with; after a failed write out holds a prefix;
                               // "blockmeter: ..." is a refusal: no screen, nothing copied
  uint64_t output_offset = 0;  // out holds this many bytes before the copy
  uint64_t held = 0;           // bytes out holds where the copy writes over them (1<>)
};

// A line that names $DEV gets a loop device of 8 KiB over a file of the scratch directory,
// detached when the line ends. Such lines, and those that mount, need root; their rows skip without.
std::string with_device(const std::string& line) {
  if (line.find("$DEV") == std::string::npos) return line;
  return "truncate -s 8K dev.img && DEV=$(losetup -f --show dev.img) || exit 77; trap 'losetup -d $DEV' EXIT; " + line;
}
bool needs_root(const std::string& line) {
  return line.find("$DEV") != std::string::npos || line.find("mount ") != std::string::npos ||
         line.find("losetup") != std::string::npos || line.find("/dev/blockmeter-") != std::string::npos;
}

void PrintTo(const route_row& row, std::ostream* out) { *out << row.line; }

// The value of `key=` (K and M suffixes read) among the operands that $RUN is given; `otherwise`
// where it has none.
int64_t operand_of(const std::string& line, const std::string& key, int64_t otherwise) {
  const size_t run = line.find("$RUN");
  const std::string operands = line.substr(run, line.find_first_of(";|)}<>&", run) - run);
  const size_t at = operands.find(" " + key + "=");
  if (at == std::string::npos) return otherwise;
  char* suffix = nullptr;
  const int64_t value = strtoll(operands.c_str() + at + key.size() + 2, &suffix, 10);
  return value << (*suffix == 'K' ? 10 : *suffix == 'M' ? 20 : 0);
}

// What read and write give: one screen before each read of block_size bytes from the source, the
// clock 1 s further at each, the bytes those reads return, and how the copy ends.
struct copy_seen {
  std::string errors;
  std::string bytes;
};

copy_seen read_and_write_of(const route_row& row, const std::filesystem::path& source) {
  const int64_t count = operand_of(row.line, "count", -1);
  const auto block_size = static_cast<uint64_t>(operand_of(row.line, "bs", 1));
  const uint64_t full_size = count < 0 ? 10000 : block_size * static_cast<uint64_t>(count);
  const int fd = open(source.c_str(), O_RDONLY);
  std::string block(block_size, '\0');
  copy_seen seen;
  const bool write_fails = std::string_view(row.failure).starts_with("write");
  const bool refused = std::string_view(row.failure).starts_with("blockmeter:");
  for (int64_t index = 0; index != count && !refused; ++index) {
    seen.errors += screen_for(seen.bytes.size(), full_size, (index + 1) * 1000000);
    const bool fails = index == row.failing_block;
    const ssize_t got = fails && !write_fails ? 0 : read(fd, block.data(), block.size());
    if (got > 0) seen.bytes.append(block, 0, static_cast<size_t>(got));
    if (fails || got <= 0) break;
  }
  close(fd);
  return {seen.errors + (*row.failure == '\0' ? "OK" : row.failure) + "\n", seen.bytes};
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
// A 300 MB XFS mounted on m, and big: 32 MiB, 8 KiB of data at 1 MiB, 9 MiB, 17 MiB and 25 MiB.
const std::string xfs =
    "truncate -s 300M x.img && mkfs.xfs -q x.img && mkdir m && mount -o loop x.img m || exit 77;"
    " truncate -s 32M big && for i in 0 1 2 3; do dd if=in of=big bs=4K count=2 seek=$((i * 2048 + 256))"
    " conv=notrunc 2>/dev/null; done; ";
const std::string xfs_out = " cp --sparse=always m/out out; umount m; exit $s";
// s2 is 40 KiB: data from 0 to 4 KiB and from 8 to 12 KiB.
const std::string two_pieces =
    "truncate -s 40K s2 && dd if=in of=s2 bs=4K count=1 conv=notrunc 2>/dev/null &&"
    " dd if=in of=s2 bs=4K skip=2 seek=2 count=1 conv=notrunc 2>/dev/null && ";
// A file system of 4 KiB on m (77: none to be had).
const std::string small_tmpfs = "mkdir m && mount -t tmpfs -o size=4k none m || exit 77; ";
// An ext4 on a loop device (linked as disk) mounted on m, holding a file; after the copy it must be whole.
const std::string in_use =
    "truncate -s 8M fs.img && mkfs.ext4 -q fs.img && d=$(losetup -f --show fs.img) || exit 77; ln -s $d disk;"
    " mkdir m && mount $d m && echo kept > m/file && ";
const std::string in_use_kept =
    " [ \"$(cat m/file)\" = kept ] || s=9; umount m; fsck.ext4 -fn $d > /dev/null 2>&1 || s=9; losetup -d $d; exit $s";
const char* const enospc_write = "write(...) failed: No space left on device";
const char* const eio_read = "read(...) failed: Input/output error";
const char* const eio_write = "write(...) failed: Input/output error";

TEST_P(Routes, SameBytesAndScreensAsReadAndWrite) {
  const route_row& row = GetParam();
  if (needs_root(row.line) && geteuid() != 0) GTEST_SKIP() << "needs root for a loop device or a mount";
  scratch_dir dir;
  write_file(dir / "in", pseudo_random_bytes(10000, 3));
  const run_result result = run_shell(
      "RUN='env LD_PRELOAD='$SHIMS' FAKE_CLOCK=0:1000000 '$BM; "
      "STRACE=\"env ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace -o /dev/null\"; " +
          with_device(row.line),
      dir.path);
  if (result.status == 77) GTEST_SKIP() << "no loop device to be had";
  const copy_seen expected = read_and_write_of(row, dir / row.source);
  const bool refused = std::string_view(row.failure).starts_with("blockmeter:");
  EXPECT_EQ(result.status, expected.errors.ends_with("OK\n") ? 0 : refused ? 1 : 255);
  EXPECT_EQ(result.errors, expected.errors);
  const std::string out = read_file(dir / "out");
  const std::string copied = out.substr(std::min(out.size(), row.output_offset));
  // After a failed write the output holds a prefix of what was read.
  EXPECT_TRUE(std::string_view(row.failure).starts_with("write") ? expected.bytes.starts_with(copied)
                                                                 : copied == expected.bytes);
  EXPECT_LE(allocated_bytes(dir / "out"), whole_blocks_for(dir / "out", out.size()));
  // A whole copy takes the space its source holds: holes stay holes, also at the edges of a block,
  // and zeros that are data stay data. Where the copy wrote over bytes, it takes those and no more
  // than its source adds.
  const uint64_t source_holds = allocated_bytes(dir / row.source);
  if (operand_of(row.line, "count", -1) < 0 && *row.failure == '\0' && row.output_offset == 0 && source_holds > 0) {
    EXPECT_LE(allocated_bytes(dir / "out"), whole_blocks_for(dir / "out", row.held) + source_holds);
    if (row.held == 0) {
      EXPECT_EQ(allocated_bytes(dir / "out"), source_holds);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Copy, Routes,
    testing::Values(
        route_row{"$RUN if=in of=out bs=3001 fs=10000"},  // file to file
        route_row{"$RUN if=in of=out bs=3001 count=2"},
        route_row{"$RUN if=in bs=3001 fs=10000 | cat > out"},  // file to pipe
        route_row{"$RUN if=in bs=3001 count=2 | cat > out"},
        // The pipe is filled before the program starts, so that each block is a whole bs=.
        // Read from where an earlier program left the input: 5,904 bytes left, and no more reserved.
        route_row{
            "tail -c 5904 in > rest; { dd bs=4096 skip=1 count=0 2>/dev/null; $RUN of=out bs=3001 fs=10000; } < in",
            "rest"},
        route_row{"cat in | (sleep 0.2; $RUN of=out bs=3001 fs=10000)"},
        route_row{"cat in | (sleep 0.2; $RUN of=out bs=3001 count=2)"},
        route_row{"cat in | (sleep 0.2; $RUN bs=3001 fs=10000) | cat > out"},
        route_row{"cat in | (sleep 0.2; $RUN bs=3001 fs=10000 > /dev/null); cp in out"},
        // Where the kernel declines: an output opened to append, another file system, a /proc file
        // (whose size the kernel does not know), a kernel-side call that fails or ends too soon.
        route_row{"$RUN if=in bs=3001 fs=10000 >> out"},
        route_row{"d=$(mktemp -d /dev/shm/blockmeter-XXXXXX) && $RUN if=in of=$d/out bs=3001 fs=10000; s=$?;"
                  " mv $d/out out; rmdir $d; exit $s"},
        route_row{"$RUN if=/proc/version of=out bs=7 fs=10000", "/proc/version"},
        route_row{"$RUN if=/proc/version of=out bs=64K fs=10000", "/proc/version"},
        route_row{"$RUN if=/proc/version bs=7 fs=10000 | cat > out", "/proc/version"},
        route_row{"KERNEL_MOVE=none $RUN if=in of=out bs=3001 fs=10000"},
        route_row{"KERNEL_MOVE=end $RUN if=in of=out bs=3001 fs=10000"},
        route_row{"KERNEL_MOVE=end $RUN if=in bs=3001 fs=10000 | cat > out"},
        route_row{"cat in | (sleep 0.2; KERNEL_MOVE=end $RUN bs=3001 fs=10000) | cat > out"},
        // A /proc file gives about a page a read, whatever the block size: each read is a block.
        route_row{"$RUN if=/proc/crypto bs=64K fs=10000 | cat > out", "/proc/crypto"},
        // The output pipe has room for one page (the first program filled the rest): the block is
        // still all that waits in the input.
        route_row{"cat in | { head -c 1044480 /dev/zero | $BM bs=1M fs=1 2>/dev/null; sleep 0.2; $RUN bs=1M count=1; }"
                  " | (sleep 1; tail -c +1044481 > out)"},
        // What a pipe's reader gets is what the file held when it was copied, not what it holds later.
        route_row{"cp in f; ($RUN if=f bs=3001 fs=10000; printf 'B%.0s' $(seq 10000) 1<> f) | (sleep 0.5; cat > out)"},
        // sysfs says 4096 bytes for a file of 4: nothing stays reserved past the copy's end.
        route_row{.line = "{ head -c 4092 in; $RUN if=/sys/devices/system/cpu/online bs=64K fs=10000; } > out",
                  .source = "/sys/devices/system/cpu/online",
                  .output_offset = 4092},
        // An output that takes a few bytes a call gets each block whole before the next screen, every
        // part counted; one that takes nothing is a failed write, not a loop.
        route_row{"WRITE_LIMIT=1000 $RUN if=in bs=3001 fs=10000 > out"},
        route_row{
            .line = "WRITE_LIMIT=0 $RUN if=in bs=3001 fs=10000 > out", .failing_block = 0, .failure = enospc_write},
        // A full file system: the kernel-side call meets it first, and the block is finished with read
        // and write so that it is reported as the failed write it is.
        route_row{.line = small_tmpfs + "$RUN if=in of=m/out bs=3001 fs=10000; s=$?; cp m/out out; umount m; exit $s",
                  .failing_block = 1,
                  .failure = enospc_write},
        route_row{.line = small_tmpfs + "cat in | (sleep 0.2; $RUN of=m/out bs=3001"
                                        " fs=10000); s=$?; cp m/out out; umount m; exit $s",
                  .failing_block = 1,
                  .failure = enospc_write},
        // A read that fails in the middle of the copy is no end of the input.
        route_row{
            .line = "READ_FAIL_AT=6002 $RUN if=in of=out bs=3001 fs=10000", .failing_block = 2, .failure = eio_read},
        route_row{.line = "cat in | (sleep 0.2; READ_FAIL_AT=6002 $RUN of=out bs=3001 fs=10000)",
                  .failing_block = 2,
                  .failure = eio_read},
        // Holes stay holes: sp is 40 KiB, data from 8 KiB to 16 KiB, a hole to the end.
        route_row{sparse + "$RUN if=sp of=out bs=4K fs=10000", "sp"},
        route_row{sparse + "$RUN if=sp of=out bs=3001 fs=10000", "sp"},
        route_row{sparse + "$RUN if=sp of=out bs=4K count=7", "sp"},
        route_row{sparse + "$RUN if=sp of=out bs=4K count=3", "sp"},
        route_row{sparse + "$RUN if=sp bs=3001 fs=10000 > out", "sp"},
        route_row{"head -c 16K /dev/zero > z && $RUN if=z of=out bs=4K fs=10000", "z"},
        // Blocks of 10,000 bytes: a hole at a block's head or tail is skipped within the block, a hole
        // inside it (12 to 16 KiB here) is copied, and so is every hole over the output's bytes.
        route_row{
            .line =
                sparse +
                "truncate -s 12K sp && truncate -s 40K sp && dd if=in of=sp bs=4K seek=4 count=1"
                " conv=notrunc 2>/dev/null && cat in in | head -c 15000 > out && $RUN if=sp bs=10000 fs=10000 1<> out",
            .source = "sp",
            .held = 15000},
        route_row{sparse + "$RUN if=sp of=out bs=10000 count=3", "sp"},
        route_row{.line = sparse + "cat in in | head -c 18000 > out && $RUN if=sp bs=10000 fs=10000 1<> out",
                  .source = "sp",
                  .held = 18000},
        // A block of two pieces of data and a hole at its tail moves each piece alone; over a few bytes
        // the output held, only those get the input's zeros.
        route_row{two_pieces + "$RUN if=s2 of=out bs=40K fs=10000", "s2"},
        route_row{
            .line = sparse + "head -c 23 in > out && $RUN if=sp bs=1M fs=10000 1<> out", .source = "sp", .held = 23},
        // The hole inside the first block ends exactly at its end; on the read and write route too.
        route_row{two_pieces + "$RUN if=s2 of=out bs=8K fs=10000", "s2"},
        route_row{sparse + "KERNEL_MOVE=none $RUN if=sp of=out bs=3001 fs=10000", "sp"},
        // The size given at the end, past a file-size limit, is a failed write.
        route_row{.line = sparse + "trap '' XFSZ; ulimit -f 40; $RUN if=sp of=out bs=4K fs=10000",
                  .source = "sp",
                  .failing_block = 10,
                  .failure = "write(...) failed: File too large"},
        // Where the output holds bytes already, it gets the input's zeros.
        route_row{.line = sparse + "head -c 40000 in in > out && $RUN if=sp bs=4K fs=10000 1<> out",
                  .source = "sp",
                  .held = 20000},
        // Appended to, the output's offset says nothing of where the data goes: it is all written.
        route_row{
            .line = sparse + "cp in out && $RUN if=sp bs=4K fs=10000 >> out", .source = "sp", .output_offset = 10000},
        // XFS allocates ahead of a growing file, over the holes skipped: they are punched again, at the
        // output's offsets, and only past what the output held (here all of it, preallocated).
        route_row{xfs +
                      "$RUN if=big of=m/out bs=1048577 fs=10000; s=$?;"
                      " [ $(stat -c %b m/out) -le $(($(stat -c %b big) + 16)) ] || s=9; " +
                      xfs_out,
                  "big"},
        route_row{xfs +
                      "dd if=big of=rest bs=4K skip=100 conv=sparse 2>/dev/null;"
                      " { dd bs=4K skip=100 count=0 2>/dev/null; $RUN of=m/out bs=1048577 fs=10000; } < big;"
                      " s=$?; [ $(stat -c %b m/out) -le $(($(stat -c %b rest) + 16)) ] || s=9;" +
                      xfs_out,
                  "rest"},
        route_row{.line = xfs +
                          "fallocate -l 32M m/out && $RUN if=big bs=1048577 fs=10000 1<> m/out; s=$?;"
                          " [ $(stat -c %b m/out) -ge 65536 ] || s=9; " +
                          xfs_out,
                  .source = "big",
                  .held = 32 << 20},
        // A block device (8 KiB): write-behind changes when the screens come, not what they show.
        // An image that cannot fit is refused before a byte is written; one that count= makes fit is copied.
        route_row{.line = "head -c 8193 in > big; ln -s $DEV disk; $RUN if=big of=disk bs=4K fs=10000; s=$?;"
                          " cmp -s -n 8192 $DEV /dev/zero || cat $DEV > out; exit $s",
                  .failure = "blockmeter: disk: 8193 bytes do not fit in 8192"},
        route_row{
            .line = "$RUN if=in bs=4K fs=10000 > $DEV; s=$?; cmp -s -n 8192 $DEV /dev/zero || cat $DEV > out; exit $s",
            .failure = "blockmeter: standard output: 10000 bytes do not fit in 8192"},
        route_row{"head -c 8193 in > big; $RUN if=big of=$DEV bs=4K count=2; s=$?; cat $DEV > out; exit $s", "big"},
        // What lies past the output's offset is what the image must fit in; count= blocks of an image
        // smaller than them take only what it holds.
        route_row{
            .line = "head -c 6000 in > six; { head -c 4096 /dev/zero; $RUN if=six bs=4K fs=10000; } 1<> $DEV; s=$?;"
                    " cmp -s -n 8192 $DEV /dev/zero || cat $DEV > out; exit $s",
            .source = "six",
            .failure = "blockmeter: standard output: 6000 bytes do not fit in 4096"},
        route_row{"head -c 6000 in > six; $RUN if=six of=$DEV bs=4K count=100; s=$?; head -c 6000 $DEV > out; exit $s",
                  "six"},
        route_row{"$RUN if=in of=$DEV bs=3001 count=2; s=$?; head -c 6002 $DEV > out; exit $s"},
        route_row{"cat in | (sleep 0.2; $RUN bs=3001 count=2 > $DEV); s=$?; head -c 6002 $DEV > out; exit $s"},
        // A device the kernel holds in use (a mounted file system) is refused, and the file system kept.
        route_row{.line = in_use + "$RUN if=in of=disk bs=64K fs=10000; s=$?;" + in_use_kept,
                  .failure = "blockmeter: disk: Device or resource busy"},
        route_row{.line = in_use + "$RUN if=in bs=64K fs=10000 > disk; s=$?;" + in_use_kept,
                  .failure = "blockmeter: standard output: Device or resource busy"},
        // A regular file in /dev is a mistyped device name, made by the shell's > or by an earlier copy; so is a
        // missing name in a directory of /dev.
        route_row{.line = "$RUN if=in bs=4K fs=10000 > /dev/blockmeter-typo-1; s=$?; cat /dev/blockmeter-typo-1 > out;"
                          " rm /dev/blockmeter-typo-1; exit $s",
                  .failure = "blockmeter: standard output: No such device"},
        route_row{.line = ": > /dev/blockmeter-typo-2; $RUN if=in of=/dev/blockmeter-typo-2 bs=4K fs=10000; s=$?;"
                          " cat /dev/blockmeter-typo-2 > out; rm /dev/blockmeter-typo-2; exit $s",
                  .failure = "blockmeter: /dev/blockmeter-typo-2: No such device"},
        route_row{.line = "mkdir -p /dev/blockmeter-d; $RUN if=in of=/dev/blockmeter-d/typo bs=4K fs=10000; s=$?;"
                          " [ -e /dev/blockmeter-d/typo ] && s=9; rm -r /dev/blockmeter-d; exit $s",
                  .failure = "blockmeter: /dev/blockmeter-d/typo: No such file or directory"},
        // A device whose early write-back the kernel cannot do is still written; one whose write-back
        // fails is a failed write.
        route_row{"$STRACE -e inject=sync_file_range:error=EINVAL $RUN if=in of=$DEV bs=3001 count=2; s=$?;"
                  " head -c 6002 $DEV > out; exit $s"},
        route_row{.line = "$STRACE -e inject=sync_file_range:error=EIO $RUN if=in of=$DEV bs=3001 count=2; s=$?;"
                          " head -c 3001 $DEV > out; exit $s",
                  .failing_block = 0,
                  .failure = eio_write},
        // The pipe holds more than the device takes: one block, its write fails where the device ends.
        route_row{.line = "cat in | (sleep 0.2; $RUN bs=64K fs=10000 > $DEV); s=$?; cat $DEV > out; exit $s",
                  .failing_block = 0,
                  .failure = enospc_write},
        // A device whose write-back fails (its file's tmpfs is full) is no success, even held open elsewhere.
        // A loop device lets go of its file a moment after losetup -d, so the tmpfs is unmounted lazily.
        route_row{.line = small_tmpfs + "truncate -s 1M m/img && d=$(losetup -f --show m/img) || exit 77;"
                                        " $RUN if=in of=$d bs=3001 fs=10000; s=$?; losetup -d $d; umount -l m; exit $s",
                  .failing_block = 4,
                  .failure = eio_write},
        route_row{.line = small_tmpfs +
                          "truncate -s 1M m/img && d=$(losetup -f --show m/img) || exit 77; sleep 9 < $d &"
                          " $RUN if=in of=$d bs=3001 fs=10000; s=$?; kill $!; wait;"
                          " losetup -d $d; umount -l m; exit $s",
                  .failing_block = 4,
                  .failure = eio_write}));

// The calls from the first screen to the first close, one letter each: S a whole screen, R read,
// W write, C copy_file_range, P splice, I ioctl (how much a pipe holds), Y sync_file_range (a
// device's write-back started), V sync_file_range that waits for it, D fdatasync, F fallocate (space reserved), H a
// hole punched. 7 bytes at bs=3: three blocks, then the end of the input.
TEST(Routes, StraceShowsTheRouteAndOneScreenWritePerBlock) {
  if (missing_tool("strace")) GTEST_SKIP() << "missing tool: strace";
  const std::string whole_screen = ", " + std::to_string(screen_bytes) + ") = " + std::to_string(screen_bytes);
  struct statfs where {};
  const bool on_ext4 = statfs(scratch_dir().path.c_str(), &where) == 0 && where.f_type == EXT4_SUPER_MAGIC;
  std::string skipped;
  // From the input's open to the first screen: the input, the output's path before it is created, the
  // output and standard error are each looked at once.
  const std::string stats_counted =
      "; sed -n '/^openat(AT_FDCWD, \"in\"/,/^write(2, \"\\\\33\\[H/p' trace |"
      " grep -cE '^(l|f|newf)?stat(at|x)?(64)?\\(' > out";
  struct traced {
    std::string line;
    const char* copied;  // what out holds afterwards
    const char* calls;
  };
  for (const traced& row : {
           traced{"trace if=in of=/dev/null bs=3 fs=7", "", "SRWSRWSRWSR"},
           {"trace if=in of=out bs=3 fs=7", "abcdefg", "SFCSCSCCSCR"},
           {"trace if=in of=out bs=3 fs=7" + stats_counted, "4\n", "SFCSCSCCSCR"},
           {"echo x > out; trace if=in of=out bs=3 fs=7" + stats_counted, "4\n", "SFCSCSCCSCR"},
           {"{ dd bs=2 skip=1 count=0 2>/dev/null; trace of=out bs=3 fs=7; } < in", "cdefg", "SFCSCCSCR"},
           {"trace if=in bs=3 fs=7 | cat > out", "abcdefg", "SRWSRWSRWSR"},
           {"cat in | (sleep 0.2; trace bs=3 fs=7) | cat > out", "abcdefg", "SIPSIPSIPSIR"},
           {"cat in | (sleep 0.2; trace of=out bs=3 fs=7)", "abcdefg", "SRWSRWSRWSR"},
           {"trace if=in bs=3 fs=7 >> out", "abcdefg", "SCRWSRWSRWSR"},
           // Standard error on /dev/null, or closed: no screen is written, only OK.
           {"trace if=in bs=3 fs=7 2>/dev/null > copy; grep -c '^write(2,' trace > out", "1\n", ""},
           {"trace if=in bs=3 fs=7 2>&- > copy; grep -c '^write(2,' trace > out", "1\n", ""},
           // 40 KiB, data in the third 4 KiB: blocks wholly in a hole are not copied.
           {"truncate -s 40K sp && dd if=in of=sp bs=4K seek=2 conv=notrunc 2>/dev/null && trace if=sp of=out bs=4K"
            " fs=7; cmp -s sp out && echo same > out",
            "same\n", "SSSFCSSSSSSSSCR"},
           {"trace if=in of=$DEV bs=3 fs=7; head -c 7 $DEV > out", "abcdefg", "SRWYSRWYSRWYSRD"},
           // A file on a stick's file system is written like the stick (the scratch directory's is not):
           // the kernel declines a copy between file systems, and read and write carry the rest.
           {"truncate -s 40M v.img && mkfs.vfat v.img > /dev/null && mkdir m && mount -o loop v.img m || exit 77;"
            " trace if=in of=m/out bs=3 fs=7; cp m/out out; umount m",
            "abcdefg", "SCRWYSRWYSRWYSRD"},
           {"cat in | (sleep 0.2; trace bs=3 fs=7 > $DEV); head -c 7 $DEV > out", "abcdefg", "SIPYSIPYSIPYSIRD"},
           // 12 blocks of 1 MiB: past the 4 MiB window each block waits for one, or drops one from the cache.
           {"truncate -s 12M big.img && d=$(losetup -f --show big.img) || exit 77; head -c 12M /dev/urandom > big;"
            " trace if=big of=$d bs=1M fs=1; cmp -s big $d && echo same > out; losetup -d $d",
            "same\n", "SRWYSRWYSRWYSRWYSRWYVSRWYSRWYVSRWYSRWYVSRWYSRWYVSRWYSRD"},
       }) {
    const std::string line = with_device(row.line);
    if (needs_root(line) && geteuid() != 0) continue;  // CI runs as root
    scratch_dir dir;
    write_file(dir / "in", "abcdefg");
    const run_result result = run_shell("trace() { " + under_strace + "-o trace \"$BM\" \"$@\"; }; " + line, dir.path);
    if (result.status == 77) {
      skipped += " (no vfat here: " + line + ")";
      continue;
    }
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
      if (call.starts_with("sync_file_range(")) seen += call.find("WAIT_BEFORE") != std::string::npos ? 'V' : 'Y';
      if (call.starts_with("fdatasync(")) seen += 'D';
      if (call.starts_with("fallocate(")) seen += call.find("PUNCH_HOLE") != std::string::npos ? 'H' : 'F';
    }
    std::string calls = row.calls;
    if (!on_ext4) std::erase(calls, 'F');  // space is reserved on ext4 alone
    EXPECT_EQ(seen, calls) << line;
  }
  if (!skipped.empty()) GTEST_SKIP() << "every other row passed; one needs a kernel that mounts vfat" << skipped;
}

// The reader of an output pipe sees it grown to 1 MiB; a caller's larger pipe stays as it is.
TEST(Routes, OutputPipesAreGrownNeverShrunk) {
  if (missing_tool("perl")) GTEST_SKIP() << "missing tool: perl";
  // perl: fcntl 1031 is F_SETPIPE_SZ, 1032 F_GETPIPE_SZ. A size past pipe-max-size needs
  // CAP_SYS_RESOURCE, or root to raise pipe-max-size for the while.
  const std::string reader = " | perl -e 'fcntl(STDIN, 1031, $ENV{SIZE} + 0); sleep 1; print fcntl(STDIN, 1032, 0)'";
  for (const auto& [size, seen] : {std::pair{"65536", "1048576"}, {"4194304", "4194304"}}) {
    scratch_dir dir;
    const run_result result = run_shell(
        "big() { true | perl -e 'exit(!fcntl(STDIN, 1031, 4 << 20))'; }; max=/proc/sys/fs/pipe-max-size;"
        " big || { was=$(cat $max) && echo 4194304 2>/dev/null > $max && trap 'echo $was > $max' EXIT && big; } ||"
        " exit 77; export SIZE=" +
            std::string(size) + "; echo data | (sleep 0.3; $BM bs=3 fs=5 2>/dev/null)" + reader,
        dir.path);
    if (result.status == 77)
      GTEST_SKIP() << "cannot make a pipe larger than 1 MiB here (needs CAP_SYS_RESOURCE or root)";
    EXPECT_EQ(result.output, seen) << size;
  }
}

// On ext4 the space of a copy between files is reserved a window (4 MiB) ahead, only for data it
// is about to write, and given back however the copy ends. `held CMD` runs CMD with its screens
// held: standard error a pipe of one page that is not read for a second (the program waits at its
// seventh screen), while `during` records the space out holds and $MEANWHILE runs; CMD's pid is in
// `pid`, its status in `status`.
struct reserve_row {
  std::string line;      // 12 MiB of random bytes are in `in`
  const char* status;    // of the program: 143 is SIGTERM, 130 SIGINT, 131 SIGQUIT
  uint64_t most_during;  // bytes out may hold while the copy is held
  uint64_t size_after;
  uint64_t most_after;  // bytes out may hold at the end
};

void PrintTo(const reserve_row& row, std::ostream* out) { *out << row.line; }

class Reservations : public testing::TestWithParam<reserve_row> {};

TEST_P(Reservations, AWindowAheadOfTheDataAndGivenBack) {
  const reserve_row& row = GetParam();
  if (missing_tool("perl")) GTEST_SKIP() << "missing tool: perl";
  struct sigaction interrupt {};
  if (row.line.find("kill -INT") != std::string::npos && sigaction(SIGINT, nullptr, &interrupt) == 0 &&
      interrupt.sa_handler == SIG_IGN)
    GTEST_SKIP() << "SIGINT is ignored here, and so by the program";
  scratch_dir dir;
  struct statfs where {};
  if (statfs(dir.path.c_str(), &where) != 0 || where.f_type != EXT4_SUPER_MAGIC)
    GTEST_SKIP() << "the scratch directory is not on ext4";
  write_file(dir / "in", pseudo_random_bytes(12 << 20, 5));
  const std::string held =
      "held() { { sh -c 'echo $$ > pid; sleep 0.2; exec \"$@\" 2>&4 3>&- 4>&-' sh \"$@\"; echo $? > status; } 4>&1 "
      "1>&3 | perl -e 'fcntl(STDIN, 1031, 4096) or exit 77; sleep 1; system(\"stat -c %b out > during; \" . "
      "($ENV{MEANWHILE} // \"\")); local $/; <STDIN>'; } 3>&1; ";
  const run_result result = run_shell(held + row.line, dir.path);
  if (result.status == 77) GTEST_SKIP() << "cannot make a pipe of one page";
  EXPECT_EQ(read_file(dir / "status"), std::string(row.status) + "\n");
  EXPECT_LE(std::stoull("0" + read_file(dir / "during")) * 512, row.most_during);
  EXPECT_EQ(read_file(dir / "out").size(), row.size_after);
  EXPECT_LE(allocated_bytes(dir / "out"), row.most_after);
}

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

INSTANTIATE_TEST_SUITE_P(
    Routes, Reservations,
    testing::Values(
        reserve_row{"held $BM if=in of=out bs=64K fs=1", "0", 4 * MiB + 64 * KiB, 12 * MiB, 12 * MiB},
        // No more than count= blocks, and only what lies past the input's offset.
        reserve_row{"held $BM if=in of=out bs=64K count=8", "0", 512 * KiB, 512 * KiB, 512 * KiB},
        reserve_row{"{ dd bs=512K skip=23 count=0 2>/dev/null; held $BM of=out bs=64K fs=1; } < in", "0", 512 * KiB,
                    512 * KiB, 512 * KiB},
        // An input that shrinks: what was reserved past the copy's end is given back at the end.
        reserve_row{"MEANWHILE='truncate -s 1M in' held $BM if=in of=out bs=64K fs=1", "0", 4 * MiB + 64 * KiB, MiB,
                    MiB},
        // One with a hole cut off at the end of its data ends there, as its reads do, not in the hole.
        reserve_row{"truncate -s 12M sp && head -c 6656K in | dd of=sp conv=notrunc 2>/dev/null &&"
                    " MEANWHILE='truncate -s 6656K sp' held $BM if=sp of=out bs=1M fs=1",
                    "0", 7 * MiB, 6656 * KiB, 6656 * KiB},
        // Ended by a signal, or by a failed write: given back before the program ends.
        reserve_row{"MEANWHILE='kill -TERM $(cat pid)' held $BM if=in of=out bs=64K fs=1", "143", 4 * MiB + 64 * KiB,
                    384 * KiB, 384 * KiB},
        reserve_row{"MEANWHILE='kill -INT $(cat pid)' held $BM if=in of=out bs=64K fs=1", "130", 4 * MiB + 64 * KiB,
                    384 * KiB, 384 * KiB},
        reserve_row{"MEANWHILE='kill -QUIT $(cat pid)' held $BM if=in of=out bs=64K fs=1", "131", 4 * MiB + 64 * KiB,
                    384 * KiB, 384 * KiB},
        // A signal the caller ignores (nohup) is left to it: the copy goes on to the end.
        reserve_row{"trap '' HUP; MEANWHILE='kill -HUP $(cat pid)' held $BM if=in of=out bs=64K fs=1", "0",
                    4 * MiB + 64 * KiB, 12 * MiB, 12 * MiB},
        reserve_row{"held env LD_PRELOAD=$SHIMS WRITE_FD=4 WRITE_LIMIT=0 $BM if=in of=out bs=64K fs=1", "255", 0, 0, 0},
        // Nothing for a hole of the input, even where it is written over the output's bytes.
        reserve_row{"truncate -s 12M sp && head -c 64K in | dd of=sp conv=notrunc 2>/dev/null && head -c 128K in > out"
                    " && held $BM if=sp bs=64K fs=1 1<> out",
                    "0", 128 * KiB, 12 * MiB, 128 * KiB}));

}  // namespace
