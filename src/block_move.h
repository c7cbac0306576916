// SPDX-License-Identifier: MIT
// block_move.h: moves up to one block from the input to the output, however the kernel allows.
#pragma once

#include <cstdint>
#include <span>

/// How blocks travel: kernel-side between regular files (copy_file_range), spliced from a file into
/// a pipe or from a pipe into a pipe or a device other than a terminal, or read into the buffer and
/// written from it.
enum class block_route { copy_range, splice_from_file, splice_from_pipe, read_write };

/// Both ends of the copy and what a failure needs to be reported as the copy reports it.
struct block_ends {
  int input_fd;
  int output_fd;
  std::span<char> buffer;        ///< one block; its size is the block size
  bool pipe_signal_was_default;  ///< a broken output pipe is then ended by SIGPIPE
};

/// The best route the kernel offers between these two descriptors.
block_route choose_route(int input_fd, int output_fd);

/// Moves one block, what one read of the block size would return, and counts what the output took
/// in bytes_done. False at the end of the input. Where the kernel cannot move this pair, or fails,
/// the block is finished with read and write, and the route is read_write from then on. A failed
/// read or write ends the program.
bool move_block(block_route& route, const block_ends& ends, uint64_t& bytes_done);

/// Reports the failed read (errno says why) as the copy does, and ends the program with 255.
[[noreturn]] void read_failed();
