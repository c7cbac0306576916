/* SPDX-License-Identifier: MIT */
/* slow_terminal.c: runs a command with its standard error on a pseudo-terminal of its own that is
 * stopped (as by Ctrl-S) for a while, then read at a fixed rate, like a serial console or a slow
 * link; what the terminal receives is copied to this program's standard error.
 * Usage: slow_terminal BYTES_PER_SECOND STOPPED_MS COMMAND [ARGUMENT...]
 *   BYTES_PER_SECOND 0 reads as fast as the command writes. The status is the command's, or 128
 *   and the signal that ended it. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static void sleep_ms(long ms) {
  const struct timespec pause = {ms / 1000, ms % 1000 * 1000000};
  nanosleep(&pause, NULL);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: slow_terminal BYTES_PER_SECOND STOPPED_MS COMMAND [ARGUMENT...]\n");
    return 2;
  }
  const long rate = atol(argv[1]);
  const long stopped_ms = atol(argv[2]);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return perror("pseudo-terminal"), 2;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  struct termios mode;
  if (slave < 0 || tcgetattr(slave, &mode) != 0) return perror("pseudo-terminal"), 2;
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  if (stopped_ms > 0) tcflow(slave, TCOOFF);
  const pid_t child = fork();
  if (child == 0) {
    dup2(slave, STDERR_FILENO);
    close(slave);
    close(master);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  if (stopped_ms > 0) {
    sleep_ms(stopped_ms);
    tcflow(slave, TCOON);
  }
  close(slave);
  /* A read a hundredth of a second, of a hundredth of the rate; until the command and whatever it
   * started let go of the terminal (EIO). */
  char chunk[1 << 16];
  size_t most = sizeof chunk;
  if (rate > 0 && rate / 100 < (long)most) most = rate >= 100 ? (size_t)(rate / 100) : 1;
  for (ssize_t got; (got = read(master, chunk, most)) > 0;) {
    if (write(STDERR_FILENO, chunk, (size_t)got) != got) break;
    if (rate > 0) sleep_ms(10);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
