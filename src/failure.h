// SPDX-License-Identifier: MIT
// failure.h: how the program ends: its exit statuses, and a failed read or write reported.
#pragma once

#include "copy_ends.h"

/// Everything copied and both streams closed: "OK".
constexpr int exit_success = 0;
/// A wrong command line, or a refusal before the copy (err/errx: the program's name, then why).
constexpr int exit_refused = 1;
/// A read or write that failed during the copy (perror: "read(...) failed: ..." and the like).
constexpr int exit_io_failure = 255;

/// What a broken output pipe gets: SIGPIPE, as any filter, where the caller left that signal at
/// its default; "write(...) failed: Broken pipe" where the caller ignores or blocks it.
enum class broken_pipe { raise_signal, report };

/// Ignores SIGPIPE, so that a reader of standard error that goes away does not end the copy.
/// Only a signal left at its default and not blocked is touched; the answer says which it was.
broken_pipe ignore_broken_pipe_signal();

/// Every signal a caller may send to end the program, left at its default: the screen owed to a
/// terminal is drawn and the space reserved past the output's end given back, then the program
/// dies of the signal as it would have (a core where its default makes one). SIGPIPE keeps its rule.
void end_cleanly_on_signals();

/// Reports the failed read (errno says why) and ends the program with exit_io_failure.
[[noreturn]] void read_failed();

/// Reports a step that failed as the read or the write it was (errno says why). A write into a
/// broken pipe ends the program by SIGPIPE where the caller's signal was at its default.
[[noreturn]] void step_failed(copy_step failed, broken_pipe policy);
