// SPDX-License-Identifier: MIT
// output_space.h: reserves the output's disk space a window ahead of the copy where that is faster.
#pragma once

#include <cstdint>

/// The part of the output given its disk space before the data comes: from the output's offset at
/// the start, as many bytes as the copy will write if the input stays as it is.
struct output_reservation {
  uint64_t start = 0;     ///< the output's offset when the copy began
  uint64_t wanted = 0;    ///< bytes the copy is expected to write; 0: nothing is reserved
  uint64_t reserved = 0;  ///< bytes from start reserved so far
};

/// What to reserve for this pair: only an ext4 output (not appended to) fed by a regular file of
/// known size (one that holds blocks), at most block_size times block_limit bytes when the limit is not negative.
output_reservation plan_reservation(int input_fd, int output_fd, int64_t block_size, int64_t block_limit);

/// Before a block of block_size bytes: when it would go past what is reserved, reserves the next
/// window. A failure only ends the reserving; the copy goes on as it would have without it.
void reserve_ahead(output_reservation& space, int output_fd, uint64_t bytes_done, uint64_t block_size);

/// When the copy ends, however it ends: gives back what was reserved past the output's end.
void release_reservation(const output_reservation& space, int output_fd);
