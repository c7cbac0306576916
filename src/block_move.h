// SPDX-License-Identifier: MIT
// block_move.h: moves up to one block from the input to the output, however the kernel allows.
#pragma once

#include <cstdint>
#include <span>

/// How blocks travel: kernel-side between regular files (copy_file_range), spliced from a pipe
/// into a pipe or a device other than a terminal, or read into the buffer and written from it.
enum class block_route { copy_range, splice_from_pipe, read_write };

/// Both ends of the copy and the buffer a block is read into.
struct block_ends {
  int input_fd;
  int output_fd;
  std::span<char> buffer;  ///< one block; its size is the block size
};

/// How a block's move ended. On a failure errno says why.
enum class block_outcome { moved, input_ended, read_failed, write_failed };

/// The best route the kernel offers between these two descriptors; grows a pipe at either end.
block_route choose_route(int input_fd, int output_fd);

/// Moves one block, what one read of the block size would return, and counts what the output took
/// in bytes_done. Where the kernel cannot move this pair, or fails, the block is finished with read
/// and write, and the route is read_write from then on, so that a real failure is the failed read
/// or write it is.
block_outcome move_block(block_route& route, const block_ends& ends, uint64_t& bytes_done);
