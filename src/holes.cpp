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

// The region of data or hole that the input holds at this position of the copy. Past the size it
// had at the start the reads decide, as they do where the file system cannot tell.
void find_region(input_holes& holes, int input_fd, uint64_t position) {
  // The hole found last ends where data begins: at its end only the end of that data is unknown.
  const bool at_data = holes.in_hole && position == holes.region_end;
  holes.in_hole = false;
  holes.region_end = no_end;
  if (position >= holes.input_size) return;
  const off_t at = static_cast<off_t>(holes.input_start + position);
  holes.input_behind = true;  // a seek for data or a hole moves the offset too
  if (!at_data) {
    const off_t data = lseek(input_fd, at, SEEK_DATA);
    if (data < 0 && errno != ENXIO) {
      holes.kept = false;
      return;
    }
    if (data < 0 || data > at) {  // ENXIO: no data from here to the end
      holes.in_hole = true;
      holes.region_end = data < 0 ? holes.input_size : static_cast<uint64_t>(data) - holes.input_start;
      return;
    }
  }
  const off_t hole = lseek(input_fd, at, SEEK_HOLE);
  if (hole > at) holes.region_end = static_cast<uint64_t>(hole) - holes.input_start;
}

// How much of a block at position lies in a hole that it can skip: all of it, or what is left
// before the end of the input when the hole runs to the end; 0 when the block must be copied.
uint64_t skippable(const input_holes& holes, uint64_t position, uint64_t block_size) {
  if (!holes.in_hole || position < holes.holes_from) return 0;
  if (block_size <= holes.region_end - position) return block_size;
  return holes.region_end == holes.input_size ? holes.region_end - position : 0;
}

// Counted as the read would have counted it; the offsets are brought past it before the next move.
void skip(input_holes& holes, uint64_t& bytes_done, uint64_t hole) {
  bytes_done += hole;
  holes.input_behind = holes.output_behind = holes.skipped = true;
}

bool seek_to(int fd, uint64_t start, uint64_t position) {
  return lseek(fd, static_cast<off_t>(start + position), SEEK_SET) >= 0;
}

// The output past what it held, up to `copied`, punched where the input has holes: what the file
// system allocated there ahead of the data goes.
// Moves the input's offset. A failure leaves the space taken, not the bytes wrong.
void punch_holes(const input_holes& holes, int input_fd, int output_fd, uint64_t copied) {
  const uint64_t end = std::min(copied, holes.input_size);
  for (uint64_t at = holes.holes_from; at < end;) {
    const off_t hole = lseek(input_fd, static_cast<off_t>(holes.input_start + at), SEEK_HOLE);
    if (hole < 0 || static_cast<uint64_t>(hole) - holes.input_start >= end) return;
    const uint64_t hole_from = static_cast<uint64_t>(hole) - holes.input_start;
    const off_t data = lseek(input_fd, hole, SEEK_DATA);
    at = data < 0 ? end : std::min(end, static_cast<uint64_t>(data) - holes.input_start);
    if (fallocate(output_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(holes.output_start + hole_from), static_cast<off_t>(at - hole_from)) != 0)
      return;
  }
}

}  // namespace

input_holes plan_holes(const copy_plan& plan, const file_end& input, const file_end& output) {
  if (!plan.keep_holes) return {};
  input_holes holes;
  holes.kept = true;
  holes.punched = plan.punch_holes;
  holes.input_start = static_cast<uint64_t>(input.offset);
  holes.output_start = static_cast<uint64_t>(output.offset);
  holes.input_size = static_cast<uint64_t>(bytes_ahead(input));
  holes.holes_from = static_cast<uint64_t>(std::max<int64_t>(bytes_ahead(output), 0));
  return holes;
}

copy_step skip_hole(input_holes& holes, int input_fd, int output_fd, uint64_t& bytes_done, uint64_t block_size,
                    uint64_t& data) {
  data = block_size;
  if (holes.kept && bytes_done >= holes.region_end) find_region(holes, input_fd, bytes_done);
  if (const uint64_t hole = holes.kept ? skippable(holes, bytes_done, block_size) : 0; hole > 0) {
    skip(holes, bytes_done, hole);
    return copy_step::skipped;
  }
  // A block that starts in a hole past the output's end: the hole's part is skipped, the rest moved.
  if (holes.kept && holes.in_hole && bytes_done >= holes.holes_from) {
    const uint64_t head = holes.region_end - bytes_done;
    skip(holes, bytes_done, head);
    data -= head;
    find_region(holes, input_fd, bytes_done);
  }
  // What lies before the output's end gets the input's zeros; a hole that reaches past it is
  // skipped from there, within the block.
  if (holes.kept && holes.in_hole && bytes_done < holes.holes_from && holes.holes_from < holes.region_end &&
      holes.holes_from - bytes_done < data) {
    data = holes.holes_from - bytes_done;
    holes.piece_end = holes.holes_from;
    holes.tail_hole_end = holes.region_end;
  }
  // Its data ends before it does, and a hole follows that reaches past the output's end: the piece
  // moved ends where that hole is to be skipped from, and next_piece goes on from there.
  if (holes.kept && !holes.in_hole && holes.region_end < holes.input_size && holes.region_end - bytes_done < data) {
    const off_t more = lseek(input_fd, static_cast<off_t>(holes.input_start + holes.region_end), SEEK_DATA);
    holes.input_behind = true;
    const uint64_t hole_end = more < 0 ? holes.input_size : static_cast<uint64_t>(more) - holes.input_start;
    const uint64_t piece_end = std::max(holes.region_end, holes.holes_from);
    if ((more >= 0 || errno == ENXIO) && piece_end < hole_end && piece_end - bytes_done < data) {
      data = piece_end - bytes_done;
      holes.piece_end = piece_end;
      holes.tail_hole_end = hole_end;
    }
  }
  if (holes.input_behind && !seek_to(input_fd, holes.input_start, bytes_done)) return copy_step::read_failed;
  if (holes.output_behind && !seek_to(output_fd, holes.output_start, bytes_done)) return copy_step::write_failed;
  holes.input_behind = holes.output_behind = false;
  return copy_step::on;
}

copy_step next_piece(input_holes& holes, int input_fd, int output_fd, uint64_t& bytes_done, uint64_t block_end,
                     uint64_t& data) {
  const uint64_t hole_end = holes.tail_hole_end;
  holes.tail_hole_end = 0;
  data = 0;
  // A piece cut short (the input shrank) ends the block as the read left it.
  if (hole_end == 0 || bytes_done != holes.piece_end || bytes_done >= block_end) return copy_step::on;
  holes.in_hole = true;
  holes.region_end = hole_end;
  const copy_step step = skip_hole(holes, input_fd, output_fd, bytes_done, block_end - bytes_done, data);
  if (step != copy_step::skipped) return step;
  data = 0;
  return copy_step::on;
}

uint64_t data_end(const input_holes& holes, uint64_t position) {
  if (!holes.kept) return no_end;
  return holes.in_hole ? position : holes.region_end;
}

copy_step finish_holes(input_holes& holes, int input_fd, int output_fd, uint64_t bytes_done) {
  if (holes.output_behind && !seek_to(output_fd, holes.output_start, bytes_done)) return copy_step::write_failed;
  // Ended in a hole: the output ends where the copy did, the hole at its end included.
  struct stat out {};
  const uint64_t end = holes.output_start + bytes_done;
  if (holes.skipped && (fstat(output_fd, &out) != 0 || (static_cast<uint64_t>(out.st_size) < end &&
                                                        ftruncate(output_fd, static_cast<off_t>(end)) != 0)))
    return copy_step::write_failed;
  if (holes.kept && holes.punched) {
    punch_holes(holes, input_fd, output_fd, bytes_done);
    holes.input_behind = true;
  }
  if (holes.input_behind && !seek_to(input_fd, holes.input_start, bytes_done)) return copy_step::read_failed;
  return copy_step::on;
}
