// SPDX-License-Identifier: MIT
// transfer.h: the settings of one run and the copy that carries it out.
#pragma once

#include <cstdint>

/// What one run copies, from where to where, in which blocks and how much it expects.
struct transfer_settings {
  const char* input_path = nullptr;   ///< null: standard input; points into argv
  const char* output_path = nullptr;  ///< null: standard output; points into argv
  int64_t block_size = 1;             ///< bytes asked for by each read
  uint64_t full_size = 0;             ///< expected total; shown as signed, feeds only the screen
  int64_t block_limit = -1;           ///< blocks to copy; negative means no limit
};

/// Opens both streams, copies block by block, closes them and ends the process: "OK" and 0;
/// status 1 when the input cannot be opened, the buffer cannot be had, the output is the input
/// file, the output cannot be created or a stream cannot be closed; 255 when a read or write fails.
[[noreturn]] void run_transfer(const transfer_settings& settings);
