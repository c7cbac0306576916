// SPDX-License-Identifier: MIT
// holes.h: the input's holes kept as holes: between regular files a block that lies wholly in a
// hole of the input, past the output's end, is counted but not copied, and one that lies partly in
// one moves its data alone.
#pragma once

#include <cstdint>

#include "copy_ends.h"

/// Where the copy stands against the input's holes, in positions of the copy (offset_at). The ends
/// are the copy's own, which outlive it.
struct input_holes {
  bool kept = false;
  bool punch_at_end = false;  ///< the output is to be punched where the input has holes, at the end
  const file_end* input = nullptr;
  const file_end* output = nullptr;
  uint64_t input_end = 0;      ///< where the input ended when the copy began
  uint64_t held_end = 0;       ///< where the bytes the output held then end
  uint64_t region_end = 0;     ///< where the region of data or hole found last ends
  bool in_hole = false;        ///< that region is a hole
  bool input_behind = false;   ///< the input's offset is not at the copy's position
  bool output_behind = false;  ///< the output's offset is not there: blocks were skipped
  bool skipped = false;        ///< a block was skipped: the output may need its size set
  uint64_t piece_end = 0;      ///< where the piece being moved ends, a hole to skip following it
  uint64_t tail_hole_end = 0;  ///< where that hole ends; 0: no hole follows within the block
};

/// Holes are kept where the plan says so.
input_holes plan_holes(const copy_plan& plan, const file_end& input, const file_end& output);

/// Before a block of block_size bytes at bytes_done: skipped (counted in bytes_done as the read
/// would have counted it) when it lies wholly in a hole; otherwise on, with a hole at its head
/// skipped, the offsets brought to its data, and `data` the bytes of its first piece to move: up to
/// the hole that follows it, when one does.
copy_step skip_hole(input_holes& holes, uint64_t& bytes_done, uint64_t block_size, uint64_t& data);

/// After a piece of the block that ends at block_end moved whole: the hole after it skipped, and
/// when more data follows within the block, the offsets brought there and `data` its piece; 0 when
/// the block is done. On, or the failed read or write of a seek.
copy_step next_piece(input_holes& holes, uint64_t& bytes_done, uint64_t block_end, uint64_t& data);

/// Where the data that the block at `position` is read from ends, as far as it is known: position
/// itself inside a hole, no end where holes are not kept.
uint64_t data_end(const input_holes& holes, uint64_t position);

/// At the end of a whole copy: the offsets follow the blocks skipped last, the output gets its
/// full size when the copy ended in a hole, and where the plan says so it is punched where the
/// input has holes past what it held. On, or the failed read or write.
copy_step finish_holes(input_holes& holes, uint64_t bytes_done);
