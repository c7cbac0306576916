/* shims.c: LD_PRELOAD stand-ins that put the program's writes and clock under a test's control.
 *   WRITE_LIMIT=N  descriptor WRITE_FD (default 1) takes at most N bytes a call, 0: nothing at all;
 *                  WRITE_LOG=FILE gets the size of every call offered to it, one a line.
 *   FAKE_CLOCK=START:STEP  gettimeofday gives START microseconds, then STEP more at every call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

ssize_t write(int fd, const void* data, size_t size) {
  ssize_t (*real_write)(int, const void*, size_t);
  void* symbol = dlsym(RTLD_NEXT, "write");
  memcpy(&real_write, &symbol, sizeof real_write); /* ISO C has no cast from object to function pointer */
  const char* limit = getenv("WRITE_LIMIT");
  const char* limited_fd = getenv("WRITE_FD");
  if (limit == NULL || fd != (limited_fd != NULL ? atoi(limited_fd) : STDOUT_FILENO)) return real_write(fd, data, size);
  const char* log_path = getenv("WRITE_LOG");
  if (log_path != NULL) {
    FILE* log = fopen(log_path, "a");
    if (log != NULL) {
      fprintf(log, "%zu\n", size);
      fclose(log);
    }
  }
  size_t most = strtoul(limit, NULL, 10);
  if (most == 0) return 0;
  return real_write(fd, data, size < most ? size : most);
}

int gettimeofday(struct timeval* restrict now, void* restrict zone) {
  static long long calls = 0;
  const char* clock = getenv("FAKE_CLOCK");
  if (clock == NULL) {
    int (*real_gettimeofday)(struct timeval*, void*);
    void* symbol = dlsym(RTLD_NEXT, "gettimeofday");
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
