// SPDX-License-Identifier: MIT
// copy_ends.h: what each end of the copy is, found once before the first block, and what a pair
// of ends gets: the route its blocks take, its holes, its reserved space, its device write-behind;
// and how each step of the copy goes.
#pragma once

#include <sys/types.h>

#include <cstdint>

/// What kind of file an end is.
enum class file_kind { regular, pipe, block_device, terminal, character_device, directory, other };

/// One end of the copy as it stands before the first block: what travels to every part of the copy
/// that works on that end.
struct file_end {
  int fd = -1;
  const char* name = "";  ///< as messages give it: the path, or "standard input" or "standard output"
  file_kind kind = file_kind::other;
  bool known = false;  ///< fstat answered: false for a closed descriptor
  dev_t device = 0;    ///< with inode, which file it is
  ino_t inode = 0;
  int access = -1;           ///< O_RDONLY, O_WRONLY or O_RDWR; -1 when it cannot be told
  bool append = false;       ///< opened with O_APPEND
  int64_t offset = -1;       ///< where it stood before the first block; -1: none (a pipe, a terminal)
  int64_t size = -1;         ///< a regular file's size or a block device's; -1 for any other
  uint64_t blocks_held = 0;  ///< bytes of disk space the file holds
  int64_t file_system = 0;   ///< the statfs type of the file system it is on, when asked for
};

/// Describes the end open on fd, named so in messages, with its file system when asked (the output's).
file_end describe_end(int fd, const char* name, bool with_file_system);

/// The end's file offset at a position of the copy (bytes from where the end stood), and back.
inline off_t offset_at(const file_end& end, uint64_t position) {
  return static_cast<off_t>(static_cast<uint64_t>(end.offset) + position);
}
inline uint64_t position_at(const file_end& end, off_t offset) {
  return static_cast<uint64_t>(offset) - static_cast<uint64_t>(end.offset);
}

/// Bytes an end holds from its offset on, where its size is known; -1 otherwise.
int64_t bytes_ahead(const file_end& end);

/// Bytes the copy can read from the input: what it holds from its offset on, no more than
/// block_limit blocks of block_size when the limit is not negative; -1 where the size is not known.
int64_t bytes_to_copy(const file_end& input, int64_t block_size, int64_t block_limit);

/// How one step of the copy went: on to the next, a block skipped in a hole, the end of the input,
/// or a read or write that failed (errno says why).
enum class copy_step { on, skipped, input_ended, read_failed, write_failed };

/// How blocks travel: kernel-side between regular files (copy_file_range), spliced from a pipe
/// into a pipe or a device other than a terminal, or read into the buffer and written from it.
enum class block_route { copy_range, splice_from_pipe, read_write };

/// What a pair of ends gets.
struct copy_plan {
  block_route route = block_route::read_write;
  bool grow_input_pipe = false;  ///< either end that is a pipe is grown
  bool grow_output_pipe = false;
  bool keep_holes = false;     ///< a block wholly in a hole of the input is counted, not copied
  bool punch_holes = false;    ///< and the output is punched there at the end (XFS)
  bool reserve_space = false;  ///< the output's space is reserved a window ahead (ext4)
  bool device_output = false;  ///< a device, or a file on removable media: written behind a window
                               ///< ahead, and flushed before "OK"
};

/// The one place that says what any pair of ends gets.
copy_plan plan_copy(const file_end& input, const file_end& output);
