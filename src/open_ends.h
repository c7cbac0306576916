// SPDX-License-Identifier: MIT
// open_ends.h: opens the two ends of the copy, and refuses, before a byte is written, the copies
// that would lose data. Every refusal ends the program with exit_refused and the reason, except
// an unreadable input, which is reported as its read would be.
#pragma once

#include <cstdint>

#include "copy_ends.h"

/// The input named by path, or standard input, described.
file_end open_input(const char* path);

/// An input no read can succeed on (a directory; a descriptor closed, or open for writing only) is
/// reported as that read would report it, before the output is created or truncated.
void refuse_unreadable_input(const file_end& input);

/// The output named by path, created as creat does, or a block device opened exclusively; or
/// standard output. Refused: the input file itself, a block device in use, a missing name in /dev.
file_end create_output(const char* path, const file_end& input);

/// A block device output with less room than bytes_needed (-1: not known) is refused.
void refuse_what_cannot_fit(const file_end& output, int64_t bytes_needed);
