// SPDX-License-Identifier: MIT
// failure.cpp: the reports of a failed read or write, and the broken-pipe policy they follow.
#include "failure.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "progress.h"
#include "reservation.h"

namespace {

// What a caller sends: the signals whose default ends the process, but for those that report the
// program's own fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS), after which
// nothing more should run; SIGPIPE, which is ignored; and the real-time signals, the first of
// which is the screen timer's.
constexpr int sent_signals[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
                                SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,  SIGXFSZ};

extern "C" void end_cleanly(int signal_number) {
  show_owed_progress_on_signal();
  give_back_reservation_on_signal();
  raise(signal_number);  // the handler was reset to the default: it ends the program on return
}

void end_cleanly_on(int signal_number) {
  struct sigaction action {};
  if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler != SIG_DFL) return;
  action.sa_handler = end_cleanly;
  action.sa_flags = SA_RESETHAND;
  sigfillset(&action.sa_mask);  // one of them at a time, and no screen drawn by the timer meanwhile
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void end_cleanly_on_signals() {
  for (const int signal_number : sent_signals) end_cleanly_on(signal_number);
}

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
  // Ended as it would have been had the copy not ignored the signal.
  if (errno == EPIPE && policy == broken_pipe::raise_signal) {
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  perror("write(...) failed");
  exit(exit_io_failure);
}
