// SPDX-License-Identifier: MIT
// failure.cpp: the reports of a failed read or write, and the broken-pipe policy they follow.
#include "failure.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

broken_pipe ignore_broken_pipe_signal() {
  struct sigaction action {};
  sigset_t blocked;
  if (sigaction(SIGPIPE, nullptr, &action) != 0 || action.sa_handler != SIG_DFL) return broken_pipe::report;
  if (sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0 || sigismember(&blocked, SIGPIPE) == 1) return broken_pipe::report;
  return signal(SIGPIPE, SIG_IGN) != SIG_ERR ? broken_pipe::raise_signal : broken_pipe::report;
}

// A failed read or write is reported with perror and 255, without the program's name, unlike every
// other failure (err, status 1): callers tell a broken copy from a refused one by both.
void read_failed() {
  perror("read(...) failed");
  exit(exit_io_failure);
}

void step_failed(copy_step failed, broken_pipe policy) {
  if (failed == copy_step::read_failed) read_failed();
  write_failed(policy);
}

void write_failed(broken_pipe policy) {
  // Ended as it would have been had the copy not ignored the signal.
  if (errno == EPIPE && policy == broken_pipe::raise_signal) {
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  perror("write(...) failed");
  exit(exit_io_failure);
}
