// SPDX-License-Identifier: MIT
// block_move.cpp: one block from input to output: copy_file_range between regular files, splice
// where a pipe is, read and write everywhere else and whenever the kernel declines.
#include "block_move.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// A failed read or write is reported with perror and 255, without the program's name, unlike every
// other failure (err, status 1): callers tell a broken copy from a refused one by both.
constexpr int exit_io_failure = 255;

// A broken output pipe ends the program by SIGPIPE where the caller left that signal at its
// default, as it would have had the copy not ignored it.
[[noreturn]] void write_failed(bool pipe_signal_was_default) {
  if (errno == EPIPE && pipe_signal_was_default) {
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  perror("write(...) failed");
  exit(exit_io_failure);
}

// Writes all of data, part by part, counting every part as soon as the output takes it.
void write_all(const block_ends& ends, const char* data, size_t size, uint64_t& bytes_done) {
  while (size > 0) {
    const ssize_t written = write(ends.output_fd, data, size);
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;  // an output that takes nothing would hold the loop forever
      write_failed(ends.pipe_signal_was_default);
    }
    data += written;
    size -= static_cast<size_t>(written);
    bytes_done += static_cast<uint64_t>(written);
  }
}

// One read of up to size bytes, written out whole. Returns what was read: 0 at the end of the input.
size_t read_and_write(const block_ends& ends, size_t size, uint64_t& bytes_done) {
  const ssize_t got = read(ends.input_fd, ends.buffer.data(), size);
  if (got < 0) read_failed();
  write_all(ends, ends.buffer.data(), static_cast<size_t>(got), bytes_done);
  return static_cast<size_t>(got);
}

ssize_t kernel_move(block_route route, const block_ends& ends, size_t size) {
  if (route == block_route::copy_range)
    return copy_file_range(ends.input_fd, nullptr, ends.output_fd, nullptr, size, 0);
  return splice(ends.input_fd, nullptr, ends.output_fd, nullptr, size, SPLICE_F_MOVE);
}

// The larger the pipe, the less often the program at its other end waits for this one: at the
// default 64 KiB, 1 GiB through a pipe took half as long again. Blocks are still what a read would
// take. Where the limit for unprivileged users is lower, the pipe simply stays as it is.
void grow_pipe(int fd) { fcntl(fd, F_SETPIPE_SZ, 1 << 20); }

}  // namespace

void read_failed() {
  perror("read(...) failed");
  exit(exit_io_failure);
}

block_route choose_route(int input_fd, int output_fd) {
  struct stat in {};
  struct stat out {};
  if (fstat(input_fd, &in) != 0 || fstat(output_fd, &out) != 0) return block_route::read_write;
  if (S_ISREG(in.st_mode) && S_ISREG(out.st_mode)) return block_route::copy_range;
  if (S_ISREG(in.st_mode) && S_ISFIFO(out.st_mode)) {
    grow_pipe(output_fd);
    return block_route::splice_from_file;
  }
  if (!S_ISFIFO(in.st_mode)) return block_route::read_write;
  grow_pipe(input_fd);
  // Spliced into a regular file, a pipe's pages are copied all the same, and more slowly than
  // write copies them (1 GiB at bs=64K on ext4: 1.2 times as long); a terminal takes what it is
  // written as it is. Into another pipe, a block device or a device such as /dev/null, splice.
  if (S_ISFIFO(out.st_mode)) grow_pipe(output_fd);
  if (S_ISFIFO(out.st_mode) || S_ISBLK(out.st_mode) || (S_ISCHR(out.st_mode) && isatty(output_fd) == 0))
    return block_route::splice_from_pipe;
  return block_route::read_write;
}

bool move_block(block_route& route, const block_ends& ends, uint64_t& bytes_done) {
  const size_t block = ends.buffer.size();
  if (route == block_route::read_write) return read_and_write(ends, block, bytes_done) > 0;
  size_t moved = 0;
  ssize_t got = 0;
  // From a file a block is whole up to the end of the input, as a read would return it; the kernel
  // may move less in one call. From a pipe it is what one call takes, as with read.
  while (moved < block && (got = kernel_move(route, ends, block - moved)) > 0) {
    moved += static_cast<size_t>(got);
    bytes_done += static_cast<uint64_t>(got);
    if (route == block_route::splice_from_pipe) return true;
  }
  if (moved == block || (got == 0 && moved > 0)) return true;
  // Nothing more moved. A file whose size the kernel does not know (/proc) seems to end where a read
  // goes on; a pair the kernel cannot move fails, and a real failure must be reported as the read or
  // write it is. Read and write finish the block, and carry the rest of the run unless the read
  // confirms the end.
  const size_t got_by_read = read_and_write(ends, block - moved, bytes_done);
  if (got == 0 && got_by_read == 0) return false;
  route = block_route::read_write;
  return moved + got_by_read > 0;
}
