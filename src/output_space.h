// SPDX-License-Identifier: MIT
// output_space.h: what the output's file system is told ahead of the data: the holes of the input
// kept as holes, and the space of what is copied reserved a window ahead where that is faster.
#pragma once

#include <cstdint>

/// Where the copy stands against the input's holes and the output's reserved space. Positions are
/// bytes of the copy: the input's offset at the start plus them is where a block is read from, the
/// output's offset plus them where it goes.
struct output_space {
  uint64_t input_start = 0;
  uint64_t output_start = 0;
  // Holes: between regular files, a block wholly inside a hole of the input that lands past the
  // output's end is not copied.
  bool keeps_holes = false;
  uint64_t input_size = 0;     ///< bytes of the copy up to the input's size at the start
  uint64_t holes_from = 0;     ///< bytes of the copy up to the output's end at the start
  uint64_t region_end = 0;     ///< where the region of data or hole found last ends
  bool in_hole = false;        ///< that region is a hole
  bool input_behind = false;   ///< the input's offset is not at the copy's position
  bool output_behind = false;  ///< the output's offset is not there: blocks were skipped
  bool skipped = false;        ///< a block was skipped: the output may need its size set
  // Reservation: ext4 only, what the copy is expected to write, a window at a time.
  uint64_t wanted = 0;       ///< bytes the copy is expected to write; 0: nothing is reserved
  uint64_t reserved_to = 0;  ///< bytes of the copy reserved so far
};

/// How the next block goes, or how the end went; on a failure errno says why.
enum class space_step { copy, skipped, read_failed, write_failed };

/// What to do for this pair: holes kept between regular files when the output is not appended to;
/// space reserved only for an ext4 output fed by a file that holds blocks, at most block_size
/// times block_limit bytes when the limit is not negative. Where space is reserved, SIGINT, SIGTERM
/// and SIGHUP left at their default give it back before they end the program.
output_space plan_output_space(int input_fd, int output_fd, int64_t block_size, int64_t block_limit);

/// Before a block of block_size bytes at bytes_done: skipped (counted in bytes_done as the read
/// would have counted it) when it lies wholly in a hole; otherwise the offsets are brought to the
/// block and its space is reserved, and the block is to be copied.
space_step prepare_block(output_space& space, int input_fd, int output_fd, uint64_t& bytes_done, uint64_t block_size);

/// At the end of a whole copy: the offsets follow the blocks skipped last, the output gets its
/// full size when the copy ended in a hole, its parts that lie in the input's holes past what it
/// held are punched, and what was reserved past its end is given back.
/// Returns copy when all went well.
space_step finish_output_space(output_space& space, int input_fd, int output_fd, uint64_t bytes_done);

/// When the copy ends on a failure: gives back what was reserved past the output's end.
void release_reservation(const output_space& space, int output_fd);
