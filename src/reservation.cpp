// SPDX-License-Identifier: MIT
// reservation.cpp: ext4 books the space of data written to a new file one file system block at a
// time as it comes; handed a whole extent ahead with fallocate, it skips that bookkeeping, and the
// copy is faster whether the bytes go through copy_file_range or through read and write. Only what
// the copy is about to write (its data, never the input's holes), a window at a time; what was
// reserved past the output's end is given back when the copy ends, a signal included.
#include "reservation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace {

constexpr uint64_t window = 4 << 20;  // past this the gain measured is whole

// The output whose reservation a signal must give back. A handler sees nothing else; set before
// the first reservation and never changed.
volatile sig_atomic_t reserving_fd = -1;

}  // namespace

space_reservation plan_reservation(const copy_plan& plan, const file_end& output, int64_t bytes_expected) {
  if (!plan.reserve_space || bytes_expected <= 0) return {};
  reserving_fd = output.fd;
  return {&output, static_cast<uint64_t>(bytes_expected), 0};
}

uint64_t reserve_ahead(space_reservation& reservation, uint64_t position, uint64_t size, uint64_t data_end) {
  if (reservation.expected == 0 || data_end <= position) return size;
  const uint64_t from = std::max(reservation.reserved_to, position);
  if (position + size > reservation.reserved_to && from < reservation.expected) {
    // Not into the hole that follows the data, which the piece may still reach into.
    const uint64_t to = std::min({from + window, std::max(data_end, position + size), reservation.expected});
    // Kept to the output's size: until the data comes, the reserved part lies past its end, unseen.
    if (fallocate(reservation.output->fd, FALLOC_FL_KEEP_SIZE, offset_at(*reservation.output, from),
                  static_cast<off_t>(to - from)) != 0) {
      reservation.expected = 0;
      return size;
    }
    reservation.reserved_to = to;
  }
  // What the copy expects is all reserved: a read past it is no concern of the reservation.
  if (reservation.reserved_to <= position || reservation.reserved_to >= reservation.expected) return size;
  // A larger piece goes a window at a time, so that no more than a window lies reserved past the
  // data at any moment, even for a copy killed by SIGKILL, which nothing can give back.
  return std::min(size, reservation.reserved_to - position);
}

void give_back_reservation(const space_reservation& reservation) {
  struct stat out {};
  if (reservation.reserved_to == 0 || fstat(reservation.output->fd, &out) != 0) return;
  // Cut to the size it has, a file gives back the blocks past its end (ext4 punches no hole there).
  if (out.st_size < offset_at(*reservation.output, reservation.reserved_to))
    (void)!ftruncate(reservation.output->fd, out.st_size);
}

void give_back_reservation_on_signal() {
  struct stat out {};
  if (reserving_fd >= 0 && fstat(reserving_fd, &out) == 0) (void)!ftruncate(reserving_fd, out.st_size);
}
