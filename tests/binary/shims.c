/* SPDX-License-Identifier: MIT */
/* shims.c: LD_PRELOAD stand-ins that put the program's writes and clock under a test's control.
 *   WRITE_LIMIT=N  descriptor WRITE_FD (default 1) takes at most N bytes a call, 0: nothing at all;
 *                  copy_file_range and splice into that descriptor fail with EINVAL, so that the
 *                  program falls back to write and meets these limits.
 *   KERNEL_MOVE=none  copy_file_range and splice fail with EINVAL, whatever the descriptors;
 *   KERNEL_MOVE=end   they report an end of input (0) where the input goes on, as for /proc files.
 *   READ_FAIL_AT=N  read, copy_file_range and splice fail with EIO once N bytes came through them,
 *                  as a disk with a bad sector there would; with READ_FAIL_SIGNAL=S they raise
 *                  signal S there instead, once, as a user pressing Ctrl-C would.
 *   FAKE_CLOCK=START:STEP  gettimeofday gives START microseconds, then STEP more at every call, and
 *                  timer_settime arms nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static int limited_fd(void) {
  const char* fd = getenv("WRITE_FD");
  return getenv("WRITE_LIMIT") == NULL ? -1 : fd != NULL ? atoi(fd) : STDOUT_FILENO;
}

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

/* Whether the input has given all it may before failing; counts what a read or a move then gives. */
static long long bytes_read = 0;
static int read_fails(void) {
  static int raised = 0;
  const char* at = getenv("READ_FAIL_AT");
  const char* signal_number = getenv("READ_FAIL_SIGNAL");
  if (at == NULL || bytes_read < atoll(at)) return 0;
  if (signal_number != NULL) {
    if (!raised++) raise(atoi(signal_number));
    return 0;
  }
  errno = EIO;
  return 1;
}
static ssize_t counted(ssize_t got) {
  if (got > 0) bytes_read += got;
  return got;
}

ssize_t read(int fd, void* data, size_t size) {
  ssize_t (*real_read)(int, void*, size_t);
  void* symbol = real("read");
  memcpy(&real_read, &symbol, sizeof real_read);
  return read_fails() ? -1 : counted(real_read(fd, data, size));
}

/* copy_file_range and splice take the same arguments: the stand-in's answer (-1 with EINVAL, or 0),
 * or the real call's. */
static ssize_t kernel_move(const char* name, int fd_in, off_t* off_in, int fd_out, off_t* off_out, size_t size,
                           unsigned flags) {
  const char* move = getenv("KERNEL_MOVE");
  if (fd_out == limited_fd() || (move != NULL && strcmp(move, "none") == 0)) {
    errno = EINVAL;
    return -1;
  }
  if (move != NULL && strcmp(move, "end") == 0) return 0;
  if (read_fails()) return -1;
  ssize_t (*real_call)(int, off_t*, int, off_t*, size_t, unsigned);
  void* symbol = real(name);
  memcpy(&real_call, &symbol, sizeof real_call);
  return counted(real_call(fd_in, off_in, fd_out, off_out, size, flags));
}

ssize_t copy_file_range(int fd_in, off_t* off_in, int fd_out, off_t* off_out, size_t size, unsigned flags) {
  return kernel_move("copy_file_range", fd_in, off_in, fd_out, off_out, size, flags);
}

ssize_t splice(int fd_in, off_t* off_in, int fd_out, off_t* off_out, size_t size, unsigned flags) {
  return kernel_move("splice", fd_in, off_in, fd_out, off_out, size, flags);
}

ssize_t write(int fd, const void* data, size_t size) {
  ssize_t (*real_write)(int, const void*, size_t);
  void* symbol = real("write");
  memcpy(&real_write, &symbol, sizeof real_write); /* ISO C has no cast from object to function pointer */
  if (fd != limited_fd()) return real_write(fd, data, size);
  size_t most = strtoul(getenv("WRITE_LIMIT"), NULL, 10);
  if (most == 0) return 0;
  return real_write(fd, data, size < most ? size : most);
}

int gettimeofday(struct timeval* restrict now, void* restrict zone) {
  static long long calls = 0;
  const char* clock = getenv("FAKE_CLOCK");
  if (clock == NULL) {
    int (*real_gettimeofday)(struct timeval*, void*);
    void* symbol = real("gettimeofday");
    memcpy(&real_gettimeofday, &symbol, sizeof real_gettimeofday);
    return real_gettimeofday(now, zone);
  }
  char* step = NULL;
  const long long start = strtoll(clock, &step, 10);
  const long long us = start + calls++ * strtoll(step + 1, NULL, 10);
  now->tv_sec = us / 1000000;
  now->tv_usec = us % 1000000;
  return 0;
}

/* Under the stand-in clock no real timer runs: which screens a terminal gets depends on the clock
 * alone. */
int timer_settime(timer_t timer, int flags, const struct itimerspec* restrict value, struct itimerspec* restrict old) {
  int (*real_timer_settime)(timer_t, int, const struct itimerspec*, struct itimerspec*);
  void* symbol = real("timer_settime");
  if (getenv("FAKE_CLOCK") != NULL) return 0;
  memcpy(&real_timer_settime, &symbol, sizeof real_timer_settime);
  return real_timer_settime(timer, flags, value, old);
}
