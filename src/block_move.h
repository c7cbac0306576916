// SPDX-License-Identifier: MIT
// block_move.h: moves up to one block from the input to the output, however the kernel allows.
#pragma once

#include <cstdint>
#include <span>

#include "copy_ends.h"

/// Both ends of the copy and the buffer a block is read into.
struct block_ends {
  const file_end& input;
  const file_end& output;
  std::span<char> buffer;  ///< one block; its size is the block size
};

/// Grows to 1 MiB the pipes the plan names; a pipe is never shrunk.
void grow_pipes(const copy_plan& plan, const file_end& input, const file_end& output);

/// Moves one block, what one read of the block size would return, and counts what the output took
/// in bytes_done: on, input_ended, or a failed read or write. Where the kernel cannot move this
/// pair, or fails, the block is finished with read and write, and the route is read_write from
/// then on, so that a real failure is the failed read or write it is.
copy_step move_block(block_route& route, const block_ends& ends, uint64_t& bytes_done);
