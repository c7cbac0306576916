// SPDX-License-Identifier: MIT
// device_sync.h: keeps a block device's write-back in step with the copy, and flushes it at the end.
#pragma once

#include <cstdint>

#include "copy_ends.h"

/// Where a device output's write-back stands, in positions of the copy (offset_at).
struct device_sync {
  const file_end* output = nullptr;  ///< the copy's own, which outlives it
  bool flush_at_end = false;         ///< a device output: flushed before it is closed
  bool write_behind = false;         ///< off for any other output, and once the kernel cannot do it
  uint64_t window = 0;               ///< how far the copy may run ahead of the device
  uint64_t started = 0;              ///< bytes whose write-back has been started
  uint64_t waited = 0;               ///< bytes known to be on the device
  uint64_t dropped = 0;              ///< bytes dropped from the page cache
};

/// Write-behind where the plan says so; the window is never less than two blocks.
device_sync plan_device_sync(const copy_plan& plan, const file_end& output, uint64_t block_size);

/// After each block: starts the write-back of what was just written, and waits until everything
/// older than the window is on the device. On, or a failed write (errno says why).
copy_step follow_device(device_sync& sync, uint64_t bytes_done);

/// Before the output is closed: flushes the device and its own cache (fdatasync), so that the
/// copy is on the device when "OK" says so. On, or a failed write.
copy_step flush_device(const device_sync& sync);
