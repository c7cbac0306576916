// SPDX-License-Identifier: MIT
// transfer.cpp: opens the input, creates the output, copies block by block, closes both, "OK".
#include "transfer.h"

#include <err.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "block_move.h"
#include "copy_ends.h"
#include "device_sync.h"
#include "failure.h"
#include "holes.h"
#include "open_ends.h"
#include "progress.h"
#include "reservation.h"

namespace {

using block_buffer = std::unique_ptr<char[], decltype(&free)>;

// On a page boundary, where the kernel fills and drains a block faster than at malloc's usual
// 16 bytes past one. Not zero-filled: a large block must not be touched before the first read.
block_buffer take_buffer(int64_t block_size) {
  constexpr size_t page_size = 4096;
  void* memory = nullptr;
  if (posix_memalign(&memory, page_size, static_cast<size_t>(block_size)) != 0) {
    errno = ENOMEM;  // posix_memalign returns its error instead of setting errno
    err(exit_refused, "cannot allocate %lld bytes", static_cast<long long>(block_size));
  }
  return {static_cast<char*>(memory), &free};
}

void close_end(const file_end& end) {
  if (close(end.fd) != 0) err(exit_refused, "%s: cannot close", end.name);
}

// The one way out of a copy that failed: the last screen due, the space reserved past the
// output's end given back, then the failed read or write reported.
[[noreturn]] void copy_failed(copy_step failed, screen_pace& pace, const space_reservation& reservation,
                              broken_pipe policy) {
  const int error = errno;
  show_last_progress(pace);
  give_back_reservation(reservation);
  errno = error;
  step_failed(failed, policy);
}

// One block: the holes in it skipped, each piece of its data moved alone, a window at a time where
// space is reserved ahead of it.
copy_step copy_block(block_route& route, input_holes& holes, space_reservation& reservation, const block_ends& ends,
                     uint64_t& bytes_done) {
  const uint64_t block_end = bytes_done + ends.buffer.size();
  uint64_t data = 0;
  copy_step step = skip_hole(holes, bytes_done, ends.buffer.size(), data);
  while (step == copy_step::on && data > 0) {
    const uint64_t piece_end = bytes_done + data;
    const uint64_t part_end = bytes_done + reserve_ahead(reservation, bytes_done, data, data_end(holes, bytes_done));
    step = move_block(route, {ends.input, ends.output, ends.buffer.first(part_end - bytes_done)}, bytes_done);
    if (step == copy_step::on && bytes_done == part_end && part_end < piece_end) {
      data = piece_end - part_end;  // the rest of the piece, past the window reserved
    } else if (step == copy_step::on) {
      step = next_piece(holes, bytes_done, block_end, data);
    }
  }
  return step;
}

}  // namespace

void run_transfer(const transfer_settings& settings) {
  const broken_pipe pipe_policy = ignore_broken_pipe_signal();
  const file_end input = open_input(settings.input_path);
  // Refused before the output is truncated; a device, which is not, once its size is known.
  block_buffer buffer = take_buffer(settings.block_size);
  if (settings.block_limit != 0) refuse_unreadable_input(input);
  const file_end output = create_output(settings.output_path, input);
  const int64_t bytes_expected = bytes_to_copy(input, settings.block_size, settings.block_limit);
  refuse_what_cannot_fit(output, bytes_expected);

  const auto block_size = static_cast<uint64_t>(settings.block_size);
  const copy_plan plan = plan_copy(input, output);
  grow_pipes(plan, input, output);
  block_route route = plan.route;
  input_holes holes = plan_holes(plan, input, output);
  space_reservation reservation = plan_reservation(plan, output, bytes_expected);
  device_sync device = plan_device_sync(plan, output, block_size);
  screen_pace pace = plan_screen_pace(settings.full_size);
  if (pace.terminal || reservation.expected > 0) end_cleanly_on_signals();

  timeval start{};
  gettimeofday(&start, nullptr);
  uint64_t bytes_done = 0;
  // The index counts up from 0, so a negative limit is never met: count=-1 is no limit at all.
  for (int64_t block_index = 0; block_index != settings.block_limit; ++block_index) {
    show_progress(pace, bytes_done, start);
    copy_step step = copy_block(route, holes, reservation, {input, output, {buffer.get(), block_size}}, bytes_done);
    if (step == copy_step::on) step = follow_device(device, bytes_done);
    if (step == copy_step::input_ended) break;
    if (step != copy_step::on && step != copy_step::skipped) copy_failed(step, pace, reservation, pipe_policy);
  }
  // The last screen is in view while the output is finished and a device is flushed.
  show_last_progress(pace);
  copy_step ending = finish_holes(holes, bytes_done);
  if (ending == copy_step::on) ending = flush_device(device);
  if (ending != copy_step::on) copy_failed(ending, pace, reservation, pipe_policy);
  give_back_reservation(reservation);

  // exit() runs no destructors: the buffer goes back here, before the streams are closed.
  buffer.reset();
  close_end(input);
  close_end(output);
  // The copy is whole and closed: a standard error that cannot take "OK" changes nothing about the
  // data, and the status still says so.
  static constexpr char ok[] = "OK\n";
  (void)!write(STDERR_FILENO, ok, sizeof ok - 1);
  exit(exit_success);
}
