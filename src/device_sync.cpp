// SPDX-License-Identifier: MIT
// device_sync.cpp: a block device (a USB stick, an SD card) takes a write into the page cache at
// memory speed and writes it back at its own; left alone, every screen would show the cache and the
// final close would wait in silence for all of it. So the copy starts each block's write-back as
// soon as it is written and waits, before the next screen, until what is older than a window is on
// the device; pages already on it are dropped from the cache, so that a large image does not push
// out what the user is working with. At the end, fdatasync: "OK" then means the device has it all,
// even when another process holds the device open and the close would flush nothing.
#include "device_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// How far the copy may run ahead of the device: the larger, the longer the wait between the last
// screen and "OK"; no larger window measured was faster, and this keeps twice the smallest in
// flight for devices faster than those measured.
constexpr uint64_t window_size = 4 << 20;

// The kernel cannot do this for the descriptor: the copy goes on without it, as before.
bool cannot_sync(int error) { return error == EINVAL || error == ESPIPE || error == ENOSYS || error == EOPNOTSUPP; }

// sync_file_range over bytes [from, to) of the copy.
bool sync_range(const file_end& output, uint64_t from, uint64_t to, unsigned flags) {
  return sync_file_range(output.fd, offset_at(output, from), static_cast<off_t>(to - from), flags) == 0;
}

}  // namespace

device_sync plan_device_sync(const copy_plan& plan, const file_end& output, uint64_t block_size) {
  if (!plan.device_output) return {};
  return {&output, true, output.offset >= 0, std::max(window_size, 2 * block_size), 0, 0, 0};
}

copy_step follow_device(device_sync& sync, uint64_t bytes_done) {
  if (!sync.write_behind || bytes_done == sync.started) return copy_step::on;
  bool done = sync_range(*sync.output, sync.started, bytes_done, SYNC_FILE_RANGE_WRITE);
  sync.started = bytes_done;
  // At most two calls a block: the wait and the dropping of what it waited for take turns.
  if (done && sync.dropped < sync.waited) {
    (void)posix_fadvise(sync.output->fd, offset_at(*sync.output, sync.dropped),
                        static_cast<off_t>(sync.waited - sync.dropped), POSIX_FADV_DONTNEED);
    sync.dropped = sync.waited;
  } else if (done && bytes_done > sync.waited + sync.window) {
    done = sync_range(*sync.output, sync.waited, bytes_done - sync.window,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    sync.waited = bytes_done - sync.window;
  }
  if (!done && !cannot_sync(errno)) return copy_step::write_failed;
  sync.write_behind = done;
  return copy_step::on;
}

copy_step flush_device(const device_sync& sync) {
  if (!sync.flush_at_end || fdatasync(sync.output->fd) == 0 || cannot_sync(errno)) return copy_step::on;
  return copy_step::write_failed;
}
