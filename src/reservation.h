// SPDX-License-Identifier: MIT
// reservation.h: the output's space reserved a window ahead of the data on ext4, and given back
// past the output's end however the copy ends.
#pragma once

#include <cstdint>

#include "copy_ends.h"

/// What the copy reserves, in bytes of the copy from the output's offset at the start.
struct space_reservation {
  uint64_t output_start = 0;
  uint64_t wanted = 0;       ///< bytes the copy is expected to write; 0: nothing is reserved
  uint64_t reserved_to = 0;  ///< bytes of the copy reserved so far
};

/// Where the plan says so: what lies past the input's offset, at most block_size times
/// block_limit bytes when the limit is not negative.
space_reservation plan_reservation(const copy_plan& plan, const file_end& input, const file_end& output,
                                   int64_t block_size, int64_t block_limit);

/// Before `size` bytes of data at `position`: the next window reserved when they go past what is,
/// no further than data_end. Returns how much of them to move now: no more than is reserved, so
/// that a piece larger than the window goes a window at a time; all of them where nothing is
/// reserved. A failure only ends the reserving.
uint64_t reserve_ahead(space_reservation& reservation, int output_fd, uint64_t position, uint64_t size,
                       uint64_t data_end);

/// When the copy ends, however: gives back what was reserved past the output's end.
void give_back_reservation(const space_reservation& reservation, int output_fd);

/// From a handler of a signal that ends the program: gives back what was reserved past the end.
void give_back_reservation_on_signal();
