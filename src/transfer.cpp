// transfer.cpp: opens the input, creates the output, copies block by block, closes both, "OK".
#include "transfer.h"

#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "progress.h"

namespace {

// A failed read or write is reported with perror and 255, without the program's name, unlike every
// other failure (err, status 1): callers tell a broken copy from a refused one by both.
constexpr int exit_io_failure = 255;

// With standard error closed, the output could be created on descriptor 2 and take the
// screens and messages into the copy; /dev/null holds the place instead. A lower descriptor
// it lands on is closed again, so closed standard streams stay closed.
void keep_standard_error_apart() {
  if (fcntl(STDERR_FILENO, F_GETFD) != -1 || errno != EBADF) return;
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0 && null_fd != STDERR_FILENO) {
    dup2(null_fd, STDERR_FILENO);
    close(null_fd);
  }
}

int open_input(const char* path) {
  if (path == nullptr) return STDIN_FILENO;
  const int fd = open(path, O_RDONLY);
  if (fd < 0) err(1, "%s", path);
  return fd;
}

// Not zero-filled: a large block must not be touched before the first read.
std::unique_ptr<char[]> take_buffer(int64_t block_size) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(block_size)]);
  if (!buffer) {
    errno = ENOMEM;  // an impossible size is refused before malloc could say so
    err(1, "cannot allocate %lld bytes", static_cast<long long>(block_size));
  }
  return buffer;
}

// Creating the file the input is read from would truncate it before a byte is read.
void refuse_same_file(int input_fd, const char* output_path) {
  struct stat in {};
  struct stat out {};
  if (stat(output_path, &out) != 0 || !S_ISREG(out.st_mode)) return;
  if (fstat(input_fd, &in) != 0) return;
  if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) errx(1, "%s: input file is output file", output_path);
}

int create_output(const char* path) {
  if (path == nullptr) return STDOUT_FILENO;
  const int fd = creat(path, 0666);
  if (fd < 0) err(1, "%s", path);
  return fd;
}

// Wall-clock microseconds between two times of day; a clock set back may make it negative.
int64_t microseconds_between(const timeval& start, const timeval& now) {
  const uint64_t seconds = static_cast<uint64_t>(now.tv_sec) - static_cast<uint64_t>(start.tv_sec);
  const uint64_t micros = static_cast<uint64_t>(now.tv_usec) - static_cast<uint64_t>(start.tv_usec);
  return static_cast<int64_t>(seconds * 1000000U + micros);
}

// Writes the whole block, part by part, counting every part as soon as the output takes it.
void write_block(int fd, const char* data, size_t size, uint64_t& bytes_done) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;  // an output that takes nothing would hold the loop forever
      perror("write(...) failed");
      exit(exit_io_failure);
    }
    data += written;
    size -= static_cast<size_t>(written);
    bytes_done += static_cast<uint64_t>(written);
  }
}

void close_stream(int fd, const char* path, const char* standard_name) {
  if (close(fd) != 0) err(1, "%s: cannot close", path != nullptr ? path : standard_name);
}

}  // namespace

void run_transfer(const transfer_settings& settings) {
  keep_standard_error_apart();
  const int input_fd = open_input(settings.input_path);
  // Taken before the output is created, so that a failure leaves an existing output as it was.
  std::unique_ptr<char[]> buffer = take_buffer(settings.block_size);
  if (settings.output_path != nullptr) refuse_same_file(input_fd, settings.output_path);
  const int output_fd = create_output(settings.output_path);

  timeval start{};
  gettimeofday(&start, nullptr);
  uint64_t bytes_done = 0;
  // The index counts up from 0, so a negative limit is never met: count=-1 is no limit at all.
  for (int64_t block_index = 0; block_index != settings.block_limit; ++block_index) {
    timeval now{};
    gettimeofday(&now, nullptr);
    draw_progress(bytes_done, settings.full_size, microseconds_between(start, now));
    const ssize_t got = read(input_fd, buffer.get(), static_cast<size_t>(settings.block_size));
    if (got == 0) break;
    if (got < 0) {
      perror("read(...) failed");
      exit(exit_io_failure);
    }
    write_block(output_fd, buffer.get(), static_cast<size_t>(got), bytes_done);
  }

  // exit() runs no destructors: the buffer goes back here, before the streams are closed.
  buffer.reset();
  close_stream(input_fd, settings.input_path, "standard input");
  close_stream(output_fd, settings.output_path, "standard output");
  // The copy is whole and closed: a standard error that cannot take "OK" changes nothing about the
  // data, and the status still says so.
  static constexpr char ok[] = "OK\n";
  (void)!write(STDERR_FILENO, ok, sizeof ok - 1);
  exit(0);
}
