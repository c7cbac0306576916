// SPDX-License-Identifier: MIT
// run_tool.cpp: process and file helpers for the black-box tests.
#include "run_tool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "progress.h"

namespace fs = std::filesystem;

namespace {

// Under AddressSanitizer a refused allocation is also announced on standard error; that line is the
// sanitizer's, not the program's. Any other sanitizer report stays and fails the test.
std::string without_sanitizer_allocation_warnings(const std::string& errors) {
  static const std::regex warning("==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n");
  return std::regex_replace(errors, warning, "");
}

// A pseudo-terminal's two ends; raw, so that it passes bytes as they are written.
std::pair<int, int> open_terminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal");
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  termios mode{};
  if (slave < 0 || tcgetattr(slave, &mode) != 0) throw std::runtime_error("no pseudo-terminal");
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  return {master, slave};
}

}  // namespace

run_result run_shell(const std::string& line, const fs::path& dir, bool errors_on_terminal) {
  const fs::path out = dir / ".stdout";
  const fs::path errs = dir / ".stderr";
  const auto [master, slave] = errors_on_terminal ? open_terminal() : std::pair{-1, -1};
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in_fd = open("/dev/null", O_RDONLY);
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = errors_on_terminal ? slave : open(errs.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    closefrom(3);  // the binary sees only the three standard streams, whatever the runner left open
    // A copy caught in a loop fills no disk: its screens and files stop at 512 MiB (SIGXFSZ).
    rlimit file_size{};
    getrlimit(RLIMIT_FSIZE, &file_size);
    file_size.rlim_cur = std::min<rlim_t>(file_size.rlim_cur, 512 << 20);
    setrlimit(RLIMIT_FSIZE, &file_size);
    setenv("BM", BLOCKMETER_PATH, 1);
    setenv("SHIMS", SHIMS_PATH, 1);
    setenv("SLOW_TERMINAL", SLOW_TERMINAL_PATH, 1);
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string errors;
  if (errors_on_terminal) {
    // Read as it comes, until the last holder of the terminal's other end is gone (EIO).
    close(slave);
    char chunk[4096];
    for (ssize_t got = 0; (got = read(master, chunk, sizeof chunk)) > 0;)
      errors.append(chunk, static_cast<size_t>(got));
    close(master);
  }
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  run_result result;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  result.output = read_file(out);
  result.errors = without_sanitizer_allocation_warnings(errors_on_terminal ? errors : read_file(errs));
  fs::remove(out);
  fs::remove(errs);
  return result;
}

bool missing_tool(const std::string& name) {
  return std::system(("command -v " + name + " > /dev/null 2>&1").c_str()) != 0;
}

scratch_dir::scratch_dir() {
  std::string pattern = (fs::temp_directory_path() / "blockmeter-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string pseudo_random_bytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

std::string after_screens(const std::string& errors) {
  const size_t last = errors.rfind(clear_sequence);
  if (last == std::string::npos) return errors;
  // A screen is the control sequence and three lines.
  size_t end = last;
  for (int line = 0; line < 3 && end != std::string::npos; ++line) end = errors.find('\n', end + 1);
  return end == std::string::npos ? std::string() : errors.substr(end + 1);
}

size_t count_screens(const std::string& errors) {
  const size_t end = errors.size() - after_screens(errors).size();
  size_t screens = 0;
  for (size_t at = errors.find(clear_sequence); at < end; at = errors.find(clear_sequence, at + 1)) ++screens;
  return screens;
}

std::string screen_for(uint64_t bytes_done, uint64_t full_size, int64_t elapsed_us, screen_start start) {
  char screen[screen_capacity];
  return std::string(screen, compose_progress(screen, bytes_done, full_size, elapsed_us, start));
}
