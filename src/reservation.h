// SPDX-License-Identifier: MIT
// reservation.h: the output's space reserved a window ahead of the data on ext4, and given back
// past the output's end however the copy ends.
#pragma once

#include <cstdint>

#include "copy_ends.h"

/// What the copy reserves, in positions of the copy (offset_at) on the output, which outlives it.
struct space_reservation {
  const file_end* output = nullptr;
  uint64_t expected = 0;     ///< bytes the copy is expected to write; 0: nothing is reserved
  uint64_t reserved_to = 0;  ///< bytes of the copy reserved so far
};

/// Where the plan says so, for the bytes_to_copy that the copy expects.
space_reservation plan_reservation(const copy_plan& plan, const file_end& output, int64_t bytes_expected);

/// Before `size` bytes of data at `position`: the next window reserved when they go past what is,
/// no further than data_end. Returns how much of them to move now: no more than is reserved, so
/// that a piece larger than the window goes a window at a time; all of them where nothing is
/// reserved. A failure only ends the reserving.
uint64_t reserve_ahead(space_reservation& reservation, uint64_t position, uint64_t size, uint64_t data_end);

/// When the copy ends, however: gives back what was reserved past the output's end.
void give_back_reservation(const space_reservation& reservation);

/// From a handler of a signal that ends the program: gives back what was reserved past the end.
void give_back_reservation_on_signal();
