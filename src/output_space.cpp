// SPDX-License-Identifier: MIT
// output_space.cpp: a disk image is mostly holes. Between regular files the holes are found with
// SEEK_DATA and SEEK_HOLE, once a region, and a block that lies wholly in one is counted but not
// copied: the offsets move past it and the output keeps a hole there, so that a 4 GiB image of
// 250 MiB takes 250 MiB and the time of 250. Only past the output's end: where the output holds
// bytes already, it must get the input's zeros, never its old bytes.
// ext4 books the space of data written to a new file one file system block at a time as it comes;
// handed a whole extent ahead, it skips that bookkeeping (512 MiB at bs=1M: 0.80 times the time,
// as fast through read and write as through copy_file_range). Where blocks are shared rather than
// copied (XFS, Btrfs), reserving would make the copy allocate twice: 1.8 times the time on XFS. So
// only ext4, only what the copy is about to write (the data, not the holes), a window at a time;
// what a copy reserved past the output's end is given back when it ends, a signal included.
// XFS allocates ahead of a file that grows, and a hole skipped past its end is filled with that
// allocation; a block that straddles data and a hole writes zeros: at the end the output is
// punched where the input has holes, a few calls a hole.
#include "output_space.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace {

constexpr uint64_t window = 4 << 20;  // at 4 MiB the gain is whole; a larger window adds nothing
constexpr uint64_t no_end = UINT64_MAX;

// The region of data or hole that the input holds at this position of the copy. Past the size it
// had at the start the reads decide, as they do where the file system cannot tell.
void find_region(output_space& space, int input_fd, uint64_t position) {
  // The hole found last ends where data begins: at its end only the end of that data is unknown.
  const bool at_data = space.in_hole && position == space.region_end;
  space.in_hole = false;
  space.region_end = no_end;
  if (position >= space.input_size) return;
  const off_t at = static_cast<off_t>(space.input_start + position);
  space.input_behind = true;  // a seek for data or a hole moves the offset too
  if (!at_data) {
    const off_t data = lseek(input_fd, at, SEEK_DATA);
    if (data < 0 && errno != ENXIO) {
      space.keeps_holes = false;
      return;
    }
    if (data < 0 || data > at) {  // ENXIO: no data from here to the end
      space.in_hole = true;
      space.region_end = data < 0 ? space.input_size : static_cast<uint64_t>(data) - space.input_start;
      return;
    }
  }
  const off_t hole = lseek(input_fd, at, SEEK_HOLE);
  if (hole > at) space.region_end = static_cast<uint64_t>(hole) - space.input_start;
}

// How much of a block at position lies in a hole that it can skip: all of it, or what is left
// before the end of the input when the hole runs to the end; 0 when the block must be copied.
uint64_t skippable(const output_space& space, uint64_t position, uint64_t block_size) {
  if (!space.in_hole || position < space.holes_from) return 0;
  if (block_size <= space.region_end - position) return block_size;
  return space.region_end == space.input_size ? space.region_end - position : 0;
}

bool seek_to(int fd, uint64_t start, uint64_t position) {
  return lseek(fd, static_cast<off_t>(start + position), SEEK_SET) >= 0;
}

// Blocks of the input's holes are written only where the output holds bytes, and then over them:
// nothing is reserved for them.
// Before a block of data that will be copied: when it would go past what is reserved, the next
// window, not into the hole that follows its region. A failure only ends the reserving.
void reserve_ahead(output_space& space, int output_fd, uint64_t position, uint64_t block_size) {
  if (position + block_size <= space.reserved_to || (space.keeps_holes && space.in_hole)) return;
  const uint64_t from = std::max(space.reserved_to, position);
  if (from >= space.wanted) return;
  uint64_t to = from + std::max(window, block_size);
  if (space.keeps_holes) to = std::min(to, std::max(space.region_end, position + block_size));
  to = std::min(to, space.wanted);
  // Kept to the output's size: until the data comes, the reserved part lies past its end, unseen.
  if (fallocate(output_fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(space.output_start + from),
                static_cast<off_t>(to - from)) != 0) {
    space.wanted = 0;
    return;
  }
  space.reserved_to = to;
}

// The output a signal must give the reserved space of back. A handler sees nothing else; set
// before the first reservation and never changed.
volatile sig_atomic_t reserving_fd = -1;

// Cut to its own size, the output gives back what lies past its end; then the signal's default.
extern "C" void give_back_and_end(int signal_number) {
  struct stat out {};
  if (reserving_fd >= 0 && fstat(reserving_fd, &out) == 0) (void)!ftruncate(reserving_fd, out.st_size);
  raise(signal_number);  // the handler was reset to the default: it ends the program on return
}

void give_back_on_signals(int output_fd) {
  reserving_fd = output_fd;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler != SIG_DFL) continue;
    action.sa_handler = give_back_and_end;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

// The output past what it held, up to `copied`, punched where the input has holes: what the file
// system allocated there ahead of the data, or zeros that a block straddling a hole wrote, go.
// Moves the input's offset. A failure leaves the space taken, not the bytes wrong.
void punch_holes(const output_space& space, int input_fd, int output_fd, uint64_t copied) {
  const uint64_t end = std::min(copied, space.input_size);
  for (uint64_t at = space.holes_from; at < end;) {
    const off_t hole = lseek(input_fd, static_cast<off_t>(space.input_start + at), SEEK_HOLE);
    if (hole < 0 || static_cast<uint64_t>(hole) - space.input_start >= end) return;
    const uint64_t hole_from = static_cast<uint64_t>(hole) - space.input_start;
    const off_t data = lseek(input_fd, hole, SEEK_DATA);
    at = data < 0 ? end : std::min(end, static_cast<uint64_t>(data) - space.input_start);
    if (fallocate(output_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(space.output_start + hole_from), static_cast<off_t>(at - hole_from)) != 0)
      return;
  }
}

}  // namespace

output_space plan_output_space(int input_fd, int output_fd, int64_t block_size, int64_t block_limit) {
  struct stat in {};
  struct stat out {};
  struct statfs out_fs {};
  if (fstat(input_fd, &in) != 0 || fstat(output_fd, &out) != 0 || fstatfs(output_fd, &out_fs) != 0) return {};
  if (!S_ISREG(in.st_mode) || !S_ISREG(out.st_mode)) return {};
  const int out_flags = fcntl(output_fd, F_GETFL);
  const off_t in_offset = lseek(input_fd, 0, SEEK_CUR);
  const off_t out_offset = lseek(output_fd, 0, SEEK_CUR);
  // Appended to, the output's offset says nothing of where the data will go.
  if (out_flags == -1 || (out_flags & O_APPEND) != 0 || in_offset < 0 || out_offset < 0) return {};
  if (in_offset >= in.st_size) return {};
  output_space space;
  space.input_start = static_cast<uint64_t>(in_offset);
  space.output_start = static_cast<uint64_t>(out_offset);
  space.keeps_holes = true;
  space.input_size = static_cast<uint64_t>(in.st_size - in_offset);
  space.holes_from = out_offset < out.st_size ? static_cast<uint64_t>(out.st_size - out_offset) : 0;
  // A file that holds no blocks has a size that is not its content (sysfs says 4096 for 4 bytes),
  // or nothing but holes.
  if (out_fs.f_type != EXT4_SUPER_MAGIC || in.st_blocks == 0) return space;
  space.wanted = space.input_size;
  uint64_t limit = 0;
  if (block_limit >= 0 &&
      !__builtin_mul_overflow(static_cast<uint64_t>(block_size), static_cast<uint64_t>(block_limit), &limit))
    space.wanted = std::min(space.wanted, limit);
  if (space.wanted > 0) give_back_on_signals(output_fd);
  return space;
}

space_step prepare_block(output_space& space, int input_fd, int output_fd, uint64_t& bytes_done, uint64_t block_size) {
  if (space.keeps_holes && bytes_done >= space.region_end) find_region(space, input_fd, bytes_done);
  if (const uint64_t hole = space.keeps_holes ? skippable(space, bytes_done, block_size) : 0; hole > 0) {
    bytes_done += hole;
    space.input_behind = space.output_behind = space.skipped = true;
    return space_step::skipped;
  }
  if (space.input_behind && !seek_to(input_fd, space.input_start, bytes_done)) return space_step::read_failed;
  if (space.output_behind && !seek_to(output_fd, space.output_start, bytes_done)) return space_step::write_failed;
  space.input_behind = space.output_behind = false;
  if (space.wanted > 0) reserve_ahead(space, output_fd, bytes_done, block_size);
  return space_step::copy;
}

space_step finish_output_space(output_space& space, int input_fd, int output_fd, uint64_t bytes_done) {
  if (space.output_behind && !seek_to(output_fd, space.output_start, bytes_done)) return space_step::write_failed;
  // Ended in a hole: the output ends where the copy did, the hole at its end included.
  struct stat out {};
  const uint64_t end = space.output_start + bytes_done;
  if (space.skipped && (fstat(output_fd, &out) != 0 || (static_cast<uint64_t>(out.st_size) < end &&
                                                        ftruncate(output_fd, static_cast<off_t>(end)) != 0)))
    return space_step::write_failed;
  if (space.keeps_holes) {
    punch_holes(space, input_fd, output_fd, bytes_done);
    space.input_behind = true;
  }
  if (space.input_behind && !seek_to(input_fd, space.input_start, bytes_done)) return space_step::read_failed;
  release_reservation(space, output_fd);
  return space_step::copy;
}

void release_reservation(const output_space& space, int output_fd) {
  struct stat out {};
  if (space.reserved_to == 0 || fstat(output_fd, &out) != 0) return;
  // Cut to the size it has, a file gives back the blocks past its end (ext4 punches no hole there).
  if (static_cast<uint64_t>(out.st_size) < space.output_start + space.reserved_to)
    (void)!ftruncate(output_fd, out.st_size);
}
