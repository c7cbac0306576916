// SPDX-License-Identifier: MIT
// transfer.cpp: opens the input, creates the output, copies block by block, closes both, "OK".
#include "transfer.h"

#include <err.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "block_move.h"
#include "device_sync.h"
#include "failure.h"
#include "output_space.h"
#include "progress.h"

namespace {

// A file opened while a standard stream is closed would take that stream's descriptor, and the
// screens or the data would go where they do not belong: it is moved above them, and the
// standard stream stays closed.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

int open_input(const char* path) {
  if (path == nullptr) return STDIN_FILENO;
  const int fd = above_standard_streams(open(path, O_RDONLY));
  if (fd < 0) err(exit_refused, "%s", path);
  return fd;
}

using block_buffer = std::unique_ptr<char[], decltype(&free)>;

// On a page boundary, where the kernel fills and drains a block faster than at malloc's usual
// 16 bytes past one (a cached file to /dev/null at bs=1M: a fifth of the time). Not zero-filled:
// a large block must not be touched before the first read.
block_buffer take_buffer(int64_t block_size) {
  constexpr size_t page_size = 4096;
  void* memory = nullptr;
  if (posix_memalign(&memory, page_size, static_cast<size_t>(block_size)) != 0) {
    errno = ENOMEM;  // posix_memalign returns its error instead of setting errno
    err(exit_refused, "cannot allocate %lld bytes", static_cast<long long>(block_size));
  }
  return {static_cast<char*>(memory), &free};
}

// An input no read can succeed on (a directory; a descriptor closed, or open for writing only) is
// reported as that read would report it, but before the output is created or truncated. Nothing
// is read to find out: some devices refuse a small read that a whole block would satisfy.
void refuse_unreadable_input(int input_fd) {
  const int flags = fcntl(input_fd, F_GETFL);
  struct stat in {};
  if (flags == -1 || (flags & O_ACCMODE) == O_WRONLY) {
    errno = EBADF;
  } else if (fstat(input_fd, &in) == 0 && S_ISDIR(in.st_mode)) {
    errno = EISDIR;
  } else {
    return;
  }
  read_failed();
}

// Creating the file the input is read from would truncate it before a byte is read. Standard
// output is not truncated, but appended to the input it reads back what it has just written,
// until the disk is full; an input at its end reads nothing back, so only that one may pass.
void refuse_same_file(int input_fd, const char* output_path) {
  struct stat in {};
  struct stat out {};
  const int found = output_path != nullptr ? stat(output_path, &out) : fstat(STDOUT_FILENO, &out);
  if (found != 0 || !S_ISREG(out.st_mode) || fstat(input_fd, &in) != 0) return;
  if (in.st_dev != out.st_dev || in.st_ino != out.st_ino) return;
  if (output_path != nullptr) errx(exit_refused, "%s: input file is output file", output_path);
  if (lseek(input_fd, 0, SEEK_CUR) < in.st_size) errx(exit_refused, "standard output: input file is output file");
}

// The directory creat would make path's file in, the symbolic links that path names followed, so
// that a link into /dev leads there; empty when it cannot be resolved.
std::string directory_created_in(const char* path) {
  std::string target = path;
  char link[PATH_MAX];
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit on links followed
    const ssize_t size = readlink(target.c_str(), link, sizeof link);
    if (size < 0) break;
    const std::string to(link, static_cast<size_t>(size));
    const size_t slash = target.rfind('/');
    if (to.starts_with('/') || slash == std::string::npos) {
      target = to;
    } else {
      target.resize(slash + 1);  // relative to the link's own directory
      target += to;
    }
  }
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  char resolved[PATH_MAX];
  return realpath(directory.c_str(), resolved) != nullptr ? resolved : "";
}

// A name in /dev that does not exist is a mistyped device: created, it would be a file in memory
// that takes the whole image and says "OK", while the device the user meant holds nothing. File
// systems mounted below /dev (/dev/shm) are made to hold files, and keep them.
bool mistyped_device(const char* path) {
  const std::string directory = directory_created_in(path);
  if (directory != "/dev" && !directory.starts_with("/dev/")) return false;
  struct stat devices {};
  struct stat there {};
  return stat("/dev", &devices) == 0 && stat(directory.c_str(), &there) == 0 && devices.st_dev == there.st_dev;
}

// A block device that the kernel holds in use (a mounted file system, swap, a RAID or LVM member)
// is refused before a byte is written: a wrong device name must not destroy a running system. An
// exclusive open (O_EXCL without O_CREAT) is refused for such a device with EBUSY.
int create_output(const char* path) {
  struct stat out {};
  if (path == nullptr) {
    if (fstat(STDOUT_FILENO, &out) == 0 && S_ISBLK(out.st_mode)) {
      const int probe = open("/proc/self/fd/1", O_WRONLY | O_EXCL);
      if (probe < 0 && errno == EBUSY) err(exit_refused, "standard output");
      if (probe >= 0) close(probe);
    }
    return STDOUT_FILENO;
  }
  const bool exists = stat(path, &out) == 0;
  if (!exists && errno == ENOENT && mistyped_device(path)) {
    errno = ENOENT;
    err(exit_refused, "%s", path);
  }
  const bool device = exists && S_ISBLK(out.st_mode);
  const int fd = above_standard_streams(device ? open(path, O_WRONLY | O_EXCL) : creat(path, 0666));
  if (fd < 0) err(exit_refused, "%s", path);
  return fd;
}

// The bytes a file holds from its offset on, where its size is known: a regular file's, a block
// device's. False for a pipe, a terminal and the like.
bool bytes_ahead(int fd, uint64_t& bytes) {
  struct stat file {};
  uint64_t size = 0;
  if (fstat(fd, &file) != 0) return false;
  if (S_ISREG(file.st_mode)) {
    size = static_cast<uint64_t>(file.st_size);
  } else if (!S_ISBLK(file.st_mode) || ioctl(fd, BLKGETSIZE64, &size) != 0) {
    return false;
  }
  const off_t offset = lseek(fd, 0, SEEK_CUR);
  if (offset < 0) return false;
  bytes = size - std::min(size, static_cast<uint64_t>(offset));
  return true;
}

// An image larger than the device it goes to would overwrite all that the device holds and then
// fail: refused before a byte is written, when both sizes are known. fs= is only an estimate.
void refuse_what_cannot_fit(int input_fd, int output_fd, const char* output_path, const transfer_settings& settings) {
  struct stat out {};
  uint64_t room = 0;
  uint64_t needed = 0;
  if (fstat(output_fd, &out) != 0 || !S_ISBLK(out.st_mode) || !bytes_ahead(output_fd, room) ||
      !bytes_ahead(input_fd, needed))
    return;
  uint64_t limit = 0;
  if (settings.block_limit >= 0 && !__builtin_mul_overflow(static_cast<uint64_t>(settings.block_size),
                                                           static_cast<uint64_t>(settings.block_limit), &limit))
    needed = std::min(needed, limit);
  if (needed > room)
    errx(exit_refused, "%s: %llu bytes do not fit in %llu", output_path != nullptr ? output_path : "standard output",
         static_cast<unsigned long long>(needed), static_cast<unsigned long long>(room));
}

// Wall-clock microseconds between two times of day; a clock set back may make it negative.
int64_t microseconds_between(const timeval& start, const timeval& now) {
  const uint64_t seconds = static_cast<uint64_t>(now.tv_sec) - static_cast<uint64_t>(start.tv_sec);
  const uint64_t micros = static_cast<uint64_t>(now.tv_usec) - static_cast<uint64_t>(start.tv_usec);
  return static_cast<int64_t>(seconds * 1000000U + micros);
}

void close_stream(int fd, const char* path, const char* standard_name) {
  if (close(fd) != 0) err(exit_refused, "%s: cannot close", path != nullptr ? path : standard_name);
}

// A copy that ends on a failure shows the last screen due, gives back the space reserved past its
// output's end, then reports.
[[noreturn]] void copy_failed(bool reading, screen_pace& pace, const output_space& space, int output_fd,
                              broken_pipe policy) {
  const int error = errno;
  show_last_progress(pace);
  release_reservation(space, output_fd);
  errno = error;
  if (reading) read_failed();
  write_failed(policy);
}

}  // namespace

void run_transfer(const transfer_settings& settings) {
  const broken_pipe pipe_policy = ignore_broken_pipe_signal();
  const int input_fd = open_input(settings.input_path);
  // Every refusal comes before the output is created, so that it leaves an existing output as it was.
  block_buffer buffer = take_buffer(settings.block_size);
  if (settings.block_limit != 0) refuse_unreadable_input(input_fd);
  refuse_same_file(input_fd, settings.output_path);
  const int output_fd = create_output(settings.output_path);
  refuse_what_cannot_fit(input_fd, output_fd, settings.output_path, settings);
  block_route route = choose_route(input_fd, output_fd);
  output_space space = plan_output_space(input_fd, output_fd, settings.block_size, settings.block_limit);
  device_sync device = plan_device_sync(output_fd, static_cast<uint64_t>(settings.block_size));
  const block_ends ends{input_fd, output_fd, {buffer.get(), static_cast<size_t>(settings.block_size)}};

  screen_pace pace = plan_screen_pace(settings.full_size);

  timeval start{};
  gettimeofday(&start, nullptr);
  uint64_t bytes_done = 0;
  // The index counts up from 0, so a negative limit is never met: count=-1 is no limit at all.
  for (int64_t block_index = 0; block_index != settings.block_limit; ++block_index) {
    timeval now{};
    gettimeofday(&now, nullptr);
    show_progress(pace, bytes_done, microseconds_between(start, now));
    const space_step step =
        prepare_block(space, input_fd, output_fd, bytes_done, static_cast<uint64_t>(settings.block_size));
    if (step == space_step::skipped) continue;
    if (step != space_step::copy) copy_failed(step == space_step::read_failed, pace, space, output_fd, pipe_policy);
    const block_outcome outcome = move_block(route, ends, bytes_done);
    if (outcome == block_outcome::input_ended) break;
    if (outcome != block_outcome::moved)
      copy_failed(outcome == block_outcome::read_failed, pace, space, output_fd, pipe_policy);
    if (!follow_device(device, output_fd, bytes_done)) copy_failed(false, pace, space, output_fd, pipe_policy);
  }
  // The last screen is in view while the output is finished and a device is flushed.
  show_last_progress(pace);
  const space_step ending = finish_output_space(space, input_fd, output_fd, bytes_done);
  if (ending != space_step::copy) copy_failed(ending == space_step::read_failed, pace, space, output_fd, pipe_policy);
  if (!flush_device(device, output_fd)) copy_failed(false, pace, space, output_fd, pipe_policy);

  // exit() runs no destructors: the buffer goes back here, before the streams are closed.
  buffer.reset();
  close_stream(input_fd, settings.input_path, "standard input");
  close_stream(output_fd, settings.output_path, "standard output");
  // The copy is whole and closed: a standard error that cannot take "OK" changes nothing about the
  // data, and the status still says so.
  static constexpr char ok[] = "OK\n";
  (void)!write(STDERR_FILENO, ok, sizeof ok - 1);
  exit(exit_success);
}
