// SPDX-License-Identifier: MIT
// holes.cpp: a disk image is mostly holes. They are found with SEEK_DATA and SEEK_HOLE, once a
// region, and a block that lies wholly in one is counted but not copied: the offsets move past it
// and the output keeps a hole there, so that an image takes the space and the time of its data. A
// block that holds holes skips them the same way within its one step, and moves each piece of its
// data alone.
// Only past the output's end: where the output holds bytes already, it must get the input's zeros,
// never its old bytes. XFS allocates ahead of a file that grows, over the holes skipped: there the
// output is punched at the end where the input has holes, a few calls a hole.
#include "holes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr uint64_t no_end = UINT64_MAX;

// Where a hole that runs to the input's end ends: where the input ends now, so that one that shrank
// while it was copied ends where its reads end, as it would without holes; no further than it did.
uint64_t hole_to_end(const input_holes& holes, uint64_t position) {
  const off_t end = lseek(holes.input->fd, 0, SEEK_END);
  if (end < 0) return holes.input_end;
  return end <= offset_at(*holes.input, position) ? position
                                                  : std::min(holes.input_end, position_at(*holes.input, end));
}

// The region of data or hole that the input holds at this position of the copy. Past the size it
// had at the start the reads decide, as they do where the file system cannot tell.
void find_region(input_holes& holes, uint64_t position) {
  // The hole found last ends where data begins: at its end only the end of that data is unknown.
  const bool at_data = holes.in_hole && position == holes.region_end;
  holes.in_hole = false;
  holes.region_end = no_end;
  if (position >= holes.input_end) return;
  const off_t at = offset_at(*holes.input, position);
  holes.input_behind = true;  // a seek for data or a hole moves the offset too
  if (!at_data) {
    const off_t data = lseek(holes.input->fd, at, SEEK_DATA);
    if (data < 0 && errno != ENXIO) {
      holes.kept = false;
      return;
    }
    if (data < 0 || data > at) {  // ENXIO: no data from here to the end
      holes.in_hole = true;
      holes.region_end = data < 0 ? hole_to_end(holes, position) : position_at(*holes.input, data);
      return;
    }
  }
  const off_t hole = lseek(holes.input->fd, at, SEEK_HOLE);
  if (hole > at) holes.region_end = position_at(*holes.input, hole);
}

// How much of a block at position lies in a hole that it can skip: all of it, or what is left
// before the end of the input when the hole runs to the end; 0 when the block must be copied.
uint64_t skippable(const input_holes& holes, uint64_t position, uint64_t block_size) {
  if (!holes.in_hole || position < holes.held_end) return 0;
  if (block_size <= holes.region_end - position) return block_size;
  return holes.region_end == holes.input_end ? holes.region_end - position : 0;
}

// Counted as the read would have counted it; the offsets are brought past it before the next move.
void skip(input_holes& holes, uint64_t& bytes_done, uint64_t hole) {
  bytes_done += hole;
  holes.input_behind = holes.output_behind = holes.skipped = true;
}

bool seek_to(const file_end& end, uint64_t position) { return lseek(end.fd, offset_at(end, position), SEEK_SET) >= 0; }

// The output past what it held, up to `copied`, punched where the input has holes: what the file
// system allocated there ahead of the data goes.
// Moves the input's offset. A failure leaves the space taken, not the bytes wrong.
void punch_holes(const input_holes& holes, uint64_t copied) {
  const uint64_t end = std::min(copied, holes.input_end);
  for (uint64_t at = holes.held_end; at < end;) {
    const off_t hole = lseek(holes.input->fd, offset_at(*holes.input, at), SEEK_HOLE);
    if (hole < 0 || position_at(*holes.input, hole) >= end) return;
    const uint64_t hole_from = position_at(*holes.input, hole);
    const off_t data = lseek(holes.input->fd, hole, SEEK_DATA);
    at = data < 0 ? end : std::min(end, position_at(*holes.input, data));
    if (fallocate(holes.output->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset_at(*holes.output, hole_from),
                  static_cast<off_t>(at - hole_from)) != 0)
      return;
  }
}

// A block that starts in a hole past the output's end: the hole's part of it is skipped, and the
// region its data starts is found.
void skip_head_hole(input_holes& holes, uint64_t& bytes_done, uint64_t& data) {
  if (!holes.in_hole || bytes_done < holes.held_end) return;
  const uint64_t head = holes.region_end - bytes_done;
  skip(holes, bytes_done, head);
  data -= head;
  find_region(holes, bytes_done);
}

// The piece to move ends, within the block, where a hole it may skip begins: where the output's
// old bytes end inside a hole that reaches past them (before, they get the input's zeros), or where
// the data ends when a hole follows that reaches past them. next_piece goes on from there.
void end_piece_at_hole(input_holes& holes, uint64_t position, uint64_t& data) {
  uint64_t piece_end = 0;
  uint64_t hole_end = 0;
  if (holes.in_hole && position < holes.held_end) {
    piece_end = holes.held_end;
    hole_end = holes.region_end;
  } else if (!holes.in_hole && holes.region_end < holes.input_end && holes.region_end - position < data) {
    const off_t more = lseek(holes.input->fd, offset_at(*holes.input, holes.region_end), SEEK_DATA);
    holes.input_behind = true;
    if (more < 0 && errno != ENXIO) return;
    hole_end = more < 0 ? hole_to_end(holes, holes.region_end) : position_at(*holes.input, more);
    piece_end = std::max(holes.region_end, holes.held_end);
  }
  if (piece_end >= hole_end || piece_end - position >= data) return;
  data = piece_end - position;
  holes.piece_end = piece_end;
  holes.tail_hole_end = hole_end;
}

// The offsets brought to the copy's position, where seeks and skipped holes left them elsewhere.
copy_step bring_offsets(input_holes& holes, uint64_t position) {
  if (holes.input_behind && !seek_to(*holes.input, position)) return copy_step::read_failed;
  if (holes.output_behind && !seek_to(*holes.output, position)) return copy_step::write_failed;
  holes.input_behind = holes.output_behind = false;
  return copy_step::on;
}

}  // namespace

input_holes plan_holes(const copy_plan& plan, const file_end& input, const file_end& output) {
  if (!plan.keep_holes) return {};
  return {.kept = true,
          .punch_at_end = plan.punch_holes,
          .input = &input,
          .output = &output,
          .input_end = static_cast<uint64_t>(bytes_ahead(input)),
          .held_end = static_cast<uint64_t>(std::max<int64_t>(bytes_ahead(output), 0))};
}

copy_step skip_hole(input_holes& holes, uint64_t& bytes_done, uint64_t block_size, uint64_t& data) {
  data = block_size;
  if (holes.kept) {
    if (bytes_done >= holes.region_end) find_region(holes, bytes_done);
    if (const uint64_t hole = skippable(holes, bytes_done, block_size); hole > 0) {
      skip(holes, bytes_done, hole);
      return copy_step::skipped;
    }
    skip_head_hole(holes, bytes_done, data);
    end_piece_at_hole(holes, bytes_done, data);
  }
  return bring_offsets(holes, bytes_done);
}

copy_step next_piece(input_holes& holes, uint64_t& bytes_done, uint64_t block_end, uint64_t& data) {
  const uint64_t hole_end = holes.tail_hole_end;
  holes.tail_hole_end = 0;
  data = 0;
  // A piece cut short (the input shrank) ends the block as the read left it.
  if (hole_end == 0 || bytes_done != holes.piece_end || bytes_done >= block_end) return copy_step::on;
  holes.in_hole = true;
  holes.region_end = hole_end;
  const copy_step step = skip_hole(holes, bytes_done, block_end - bytes_done, data);
  if (step != copy_step::skipped) return step;
  data = 0;
  return copy_step::on;
}

uint64_t data_end(const input_holes& holes, uint64_t position) {
  if (!holes.kept) return no_end;
  return holes.in_hole ? position : holes.region_end;
}

copy_step finish_holes(input_holes& holes, uint64_t bytes_done) {
  if (holes.output == nullptr) return copy_step::on;  // never kept
  // Ended in a hole: the output ends where the copy did, the hole at its end included.
  struct stat out {};
  const off_t end = offset_at(*holes.output, bytes_done);
  if (holes.skipped &&
      (fstat(holes.output->fd, &out) != 0 || (out.st_size < end && ftruncate(holes.output->fd, end) != 0)))
    return copy_step::write_failed;
  if (holes.kept && holes.punch_at_end) {
    punch_holes(holes, bytes_done);
    holes.input_behind = true;
  }
  return bring_offsets(holes, bytes_done);
}
