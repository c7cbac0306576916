// SPDX-License-Identifier: MIT
// copy_ends.cpp: each end described with one fstat (and the output's file system with one
// fstatfs), and the rule for every pair of kinds in plan_copy.
#include "copy_ends.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

file_kind kind_of(const struct stat& file, int fd) {
  if (S_ISREG(file.st_mode)) return file_kind::regular;
  if (S_ISFIFO(file.st_mode)) return file_kind::pipe;
  if (S_ISBLK(file.st_mode)) return file_kind::block_device;
  if (S_ISCHR(file.st_mode)) return isatty(fd) == 1 ? file_kind::terminal : file_kind::character_device;
  if (S_ISDIR(file.st_mode)) return file_kind::directory;
  return file_kind::other;
}

// A disk that can be pulled out: sysfs says so of the whole disk (a partition's parent), or it
// hangs off USB or an SD card reader, as hot-plugged disks that claim to be fixed do.
bool on_removable_disk(dev_t device) {
  char link[64];
  snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
  char path[PATH_MAX];
  if (realpath(link, path) == nullptr) return false;
  const std::string_view where = path;
  if (where.find("/usb") != std::string_view::npos || where.find("/mmc") != std::string_view::npos) return true;
  for (const char* file : {"/removable", "/../removable"}) {
    char flag = '0';
    const int fd = open((std::string(path) + file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const bool read_flag = read(fd, &flag, 1) == 1;
    close(fd);
    if (read_flag) return flag == '1';
  }
  return false;
}

// A file on a stick is written like the stick: its file system is one made for such media (FAT,
// exFAT), or lives on a disk that can be pulled out.
bool on_removable_media(const file_end& output) {
  constexpr int64_t exfat_magic = 0x2011BAB0;
  return output.kind == file_kind::regular && (output.file_system == MSDOS_SUPER_MAGIC ||
                                               output.file_system == exfat_magic || on_removable_disk(output.device));
}

}  // namespace

file_end describe_end(int fd, const char* name, bool with_file_system) {
  file_end end;
  end.fd = fd;
  end.name = name;
  struct stat file {};
  if (fstat(fd, &file) != 0) return end;
  end.known = true;
  end.kind = kind_of(file, fd);
  end.device = file.st_dev;
  end.inode = file.st_ino;
  end.blocks_held = static_cast<uint64_t>(file.st_blocks) * 512;
  uint64_t device_size = 0;
  if (end.kind == file_kind::regular) end.size = file.st_size;
  if (end.kind == file_kind::block_device && ioctl(fd, BLKGETSIZE64, &device_size) == 0)
    end.size = static_cast<int64_t>(device_size);
  if (const int flags = fcntl(fd, F_GETFL); flags != -1) {
    end.access = flags & O_ACCMODE;
    end.append = (flags & O_APPEND) != 0;
  }
  end.offset = lseek(fd, 0, SEEK_CUR);
  struct statfs where {};
  if (with_file_system && fstatfs(fd, &where) == 0) end.file_system = where.f_type;
  return end;
}

int64_t bytes_ahead(const file_end& end) {
  if (end.size < 0 || end.offset < 0) return -1;
  return end.offset < end.size ? end.size - end.offset : 0;
}

int64_t bytes_to_copy(const file_end& input, int64_t block_size, int64_t block_limit) {
  const int64_t ahead = bytes_ahead(input);
  int64_t limit = 0;
  if (ahead < 0 || block_limit < 0 || __builtin_mul_overflow(block_size, block_limit, &limit)) return ahead;
  return std::min(ahead, limit);
}

copy_plan plan_copy(const file_end& input, const file_end& output) {
  copy_plan plan;
  // The larger a pipe, the less often the program at its other end waits for this one.
  plan.grow_input_pipe = input.kind == file_kind::pipe;
  plan.grow_output_pipe = output.kind == file_kind::pipe;
  plan.device_output = output.kind == file_kind::block_device || on_removable_media(output);
  if (input.kind == file_kind::regular && output.kind == file_kind::regular) {
    plan.route = block_route::copy_range;
    // Appended to, the output's offset says nothing of where the data will go; an input at its
    // end has no holes left to keep.
    plan.keep_holes = !output.append && output.offset >= 0 && bytes_ahead(input) > 0;
    // XFS allocates ahead of a file that grows, over the holes skipped; other file systems leave
    // them be, and are spared the calls.
    plan.punch_holes = plan.keep_holes && output.file_system == XFS_SUPER_MAGIC;
    // ext4 books a new file's space a block at a time as the data comes, unless handed it ahead.
    // Where blocks are shared rather than copied (XFS, Btrfs) reserving would allocate them twice;
    // a file that holds no blocks has a size that is not its content (sysfs), or only holes.
    plan.reserve_space = plan.keep_holes && output.file_system == EXT4_SUPER_MAGIC && input.blocks_held > 0;
    return plan;
  }
  // From a file into a pipe, splice would hand the reader the file's own pages: what the file holds
  // when it reads, not what it held when it was copied. From a pipe into a regular file, write
  // copies faster than splice does; a terminal takes what it is written as it is.
  const bool spliceable = output.kind == file_kind::pipe || output.kind == file_kind::block_device ||
                          output.kind == file_kind::character_device;
  if (input.kind == file_kind::pipe && spliceable) plan.route = block_route::splice_from_pipe;
  return plan;
}
