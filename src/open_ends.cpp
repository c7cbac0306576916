// SPDX-License-Identifier: MIT
// open_ends.cpp: the input opened, the output created, and the refusals that come first: each of
// them looks at the descriptions of the ends, and the output's path is looked at once.
#include "open_ends.h"

#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "failure.h"

namespace {

// A file opened while a standard stream is closed would take that stream's descriptor, and the
// screens or the data would go where they do not belong: it is moved above them, and the
// standard stream stays closed.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

// The directory creat would make path's file in, the symbolic links that path names followed, so
// that a link into /dev leads there; empty when it cannot be resolved.
std::string directory_created_in(const char* path) {
  std::string target = path;
  char link[PATH_MAX];
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit on links followed
    const ssize_t size = readlink(target.c_str(), link, sizeof link);
    if (size < 0) break;
    const std::string to(link, static_cast<size_t>(size));
    const size_t slash = target.rfind('/');
    if (to.starts_with('/') || slash == std::string::npos) {
      target = to;
    } else {
      target.resize(slash + 1);  // relative to the link's own directory
      target += to;
    }
  }
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  char resolved[PATH_MAX];
  return realpath(directory.c_str(), resolved) != nullptr ? resolved : "";
}

bool on_dev_file_system(dev_t device) {
  struct stat devices {};
  return stat("/dev", &devices) == 0 && devices.st_dev == device;
}

// A name in /dev that does not exist is a mistyped device: created, it would be a file in memory
// that takes the whole image and says "OK", while the device the user meant holds nothing. File
// systems mounted below /dev (/dev/shm) are made to hold files, and keep them.
bool mistyped_device(const char* path) {
  const std::string directory = directory_created_in(path);
  if (directory != "/dev" && !directory.starts_with("/dev/")) return false;
  struct stat there {};
  return stat(directory.c_str(), &there) == 0 && on_dev_file_system(there.st_dev);
}

// A regular file on /dev's own file system was made by a mistyped device name (the shell's `>`
// makes it, or an earlier copy did): it lives in memory, and the device meant gets nothing.
bool file_in_dev(dev_t device) {
  struct stat root {};
  // /dev is a devtmpfs, whose device number is anonymous (major 0): a file on a disk is not looked
  // at; nor where /dev is a plain directory of the root file system.
  return major(device) == 0 && on_dev_file_system(device) && stat("/", &root) == 0 && root.st_dev != device;
}

[[noreturn]] void no_such_device(const char* name) {
  errno = ENODEV;
  err(exit_refused, "%s", name);
}

bool same_file(const file_end& input, dev_t device, ino_t inode) {
  return input.known && input.device == device && input.inode == inode;
}

// Standard output is not truncated, but appended to the input it reads back what it has just
// written, until the disk is full; an input at its end reads nothing back, so only that one may pass.
// A block device that the kernel holds in use refuses an exclusive open (O_EXCL without O_CREAT)
// with EBUSY.
file_end standard_output(const file_end& input) {
  const file_end output = describe_end(STDOUT_FILENO, "standard output", true);
  if (output.kind == file_kind::regular && same_file(input, output.device, output.inode) && bytes_ahead(input) != 0)
    errx(exit_refused, "%s: input file is output file", output.name);
  if (output.kind == file_kind::regular && file_in_dev(output.device)) no_such_device(output.name);
  if (output.kind == file_kind::block_device) {
    const int probe = open("/proc/self/fd/1", O_WRONLY | O_EXCL);
    if (probe < 0 && errno == EBUSY) err(exit_refused, "%s", output.name);
    if (probe >= 0) close(probe);
  }
  return output;
}

}  // namespace

file_end open_input(const char* path) {
  if (path == nullptr) return describe_end(STDIN_FILENO, "standard input", false);
  const int fd = above_standard_streams(open(path, O_RDONLY));
  if (fd < 0) err(exit_refused, "%s", path);
  return describe_end(fd, path, false);
}

void refuse_unreadable_input(const file_end& input) {
  if (input.access == -1 || input.access == O_WRONLY) {
    errno = EBADF;
  } else if (input.kind == file_kind::directory) {
    errno = EISDIR;
  } else {
    return;
  }
  read_failed();
}

// A block device that the kernel holds in use (a mounted file system, swap, a RAID or LVM member)
// is refused before a byte is written: a wrong device name must not destroy a running system.
// Creating the file the input is read from would truncate it before a byte is read.
file_end create_output(const char* path, const file_end& input) {
  if (path == nullptr) return standard_output(input);
  struct stat there {};
  const bool exists = stat(path, &there) == 0;
  if (!exists && errno == ENOENT && mistyped_device(path)) {
    errno = ENOENT;
    err(exit_refused, "%s", path);
  }
  if (exists && S_ISREG(there.st_mode) && same_file(input, there.st_dev, there.st_ino))
    errx(exit_refused, "%s: input file is output file", path);
  if (exists && S_ISREG(there.st_mode) && file_in_dev(there.st_dev)) no_such_device(path);
  const bool device = exists && S_ISBLK(there.st_mode);
  const int fd = above_standard_streams(device ? open(path, O_WRONLY | O_EXCL) : creat(path, 0666));
  if (fd < 0) err(exit_refused, "%s", path);
  return describe_end(fd, path, true);
}

// An image larger than the device it goes to would overwrite all that the device holds and then
// fail. fs= is only an estimate; from a pipe the size is not known.
void refuse_what_cannot_fit(const file_end& output, int64_t bytes_needed) {
  const int64_t room = bytes_ahead(output);
  if (output.kind == file_kind::block_device && room >= 0 && bytes_needed > room)
    errx(exit_refused, "%s: %lld bytes do not fit in %lld", output.name, static_cast<long long>(bytes_needed),
         static_cast<long long>(room));
}
