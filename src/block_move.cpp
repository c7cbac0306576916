// SPDX-License-Identifier: MIT
// block_move.cpp: one block from input to output: copy_file_range between regular files, splice
// from a pipe, read and write everywhere else and whenever the kernel declines.
#include "block_move.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Writes all of data, part by part, counting every part as soon as the output takes it.
bool write_all(int output_fd, const char* data, size_t size, uint64_t& bytes_done) {
  while (size > 0) {
    const ssize_t written = write(output_fd, data, size);
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;  // an output that takes nothing would hold the loop forever
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
    bytes_done += static_cast<uint64_t>(written);
  }
  return true;
}

// One read of up to size bytes, written out whole; a read of nothing is the end of the input.
copy_step read_and_write(const block_ends& ends, size_t size, uint64_t& bytes_done) {
  const ssize_t got = read(ends.input.fd, ends.buffer.data(), size);
  if (got < 0) return copy_step::read_failed;
  if (!write_all(ends.output.fd, ends.buffer.data(), static_cast<size_t>(got), bytes_done))
    return copy_step::write_failed;
  return got > 0 ? copy_step::on : copy_step::input_ended;
}

ssize_t kernel_move(block_route route, const block_ends& ends, size_t size) {
  if (route == block_route::copy_range)
    return copy_file_range(ends.input.fd, nullptr, ends.output.fd, nullptr, size, 0);
  return splice(ends.input.fd, nullptr, ends.output.fd, nullptr, size, SPLICE_F_MOVE);
}

// Blocks are still what a read would take. Where the limit for unprivileged users is lower, the
// pipe stays as it is.
void grow_pipe(int fd) {
  constexpr int pipe_size = 1 << 20;
  if (fcntl(fd, F_GETPIPE_SZ) < pipe_size) fcntl(fd, F_SETPIPE_SZ, pipe_size);
}

}  // namespace

void grow_pipes(const copy_plan& plan, const file_end& input, const file_end& output) {
  if (plan.grow_input_pipe) grow_pipe(input.fd);
  if (plan.grow_output_pipe) grow_pipe(output.fd);
}

copy_step move_block(block_route& route, const block_ends& ends, uint64_t& bytes_done) {
  size_t block = ends.buffer.size();
  if (route == block_route::read_write) return read_and_write(ends, block, bytes_done);
  if (route == block_route::splice_from_pipe) {
    // A read takes what the pipe holds, up to the block size, whatever room the output has; one
    // splice would take no more than that room. An empty pipe is read: the read waits for what
    // comes, or finds the end.
    int waiting = 0;
    if (ioctl(ends.input.fd, FIONREAD, &waiting) != 0 || waiting <= 0) return read_and_write(ends, block, bytes_done);
    block = std::min(block, static_cast<size_t>(waiting));
  }
  size_t moved = 0;
  ssize_t step = 0;
  // The block is whole up to the end of the input, as a read would return it; the kernel may
  // move less in one call.
  while (moved < block && (step = kernel_move(route, ends, block - moved)) > 0) {
    moved += static_cast<size_t>(step);
    bytes_done += static_cast<uint64_t>(step);
  }
  if (moved == block || (step == 0 && moved > 0)) return copy_step::on;
  // Nothing more moved. A file whose size the kernel does not know (/proc) seems to end where a read
  // goes on; a pair the kernel cannot move fails, and a real failure must be reported as the read or
  // write it is. Read and write finish the block, and carry the rest of the run unless the read
  // confirms the end.
  const copy_step rest = read_and_write(ends, block - moved, bytes_done);
  if (rest == copy_step::input_ended && step == 0) return rest;
  route = block_route::read_write;
  if (rest == copy_step::input_ended && moved > 0) return copy_step::on;
  return rest;
}
