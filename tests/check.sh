#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the checks lack (Debian, as root), then builds and runs every check: the test suite (with the
# memcheck runs and the completion), the same suite under AddressSanitizer and UndefinedBehaviorSanitizer and
# built with clang, clang-tidy, cppcheck, clang-format and the man page. A suite that skips for a missing tool fails.
# Ends with one line "checks: N passed, N failed"; the status is 1 when any check failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# What the checks need, installed where a Debian machine lacks it (as root), or named.
missing=()
need() { command -v "$1" >/dev/null || missing+=("$2"); }
need cmake cmake
need make make
need g++ g++
need clang clang
need clang-tidy clang-tidy
need clang-format clang-format
need cppcheck cppcheck
need strace strace
need valgrind valgrind
need tmux tmux
need perl perl-base
need groff groff-base
need gzip gzip
need losetup mount
need mkfs.ext4 e2fsprogs
need mkfs.xfs xfsprogs
need mkfs.vfat dosfstools
[ -r /usr/share/bash-completion/bash_completion ] || missing+=(bash-completion)
[ -f /usr/include/gtest/gtest.h ] || missing+=(googletest libgtest-dev libgmock-dev)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
      { echo "could not install: ${missing[*]}"; exit 1; }
  else
    echo "the checks need these Debian packages (install them as root): ${missing[*]}"
  fi
fi

passed=0
failed=0
failures=()
step() {
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
}

suite() {
  local dir
  dir=$(cmake --preset "$1" | sed -n 's/^-- Build files have been written to: //p')
  [ -n "$dir" ] && cmake --build --preset "$1" && ctest --preset "$1" || return 1
  if grep -h "missing tool:" "$dir/Testing/Temporary/LastTest.log" | sort -u | grep .; then
    echo "tests were skipped for a missing tool"
    return 1
  fi
}
tidy() { clang-tidy -p build --quiet src/*.cpp; }
static_analysis() {
  cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --std=c++20 --inline-suppr \
    --quiet -I src src/
}
formatted() { clang-format --dry-run --Werror src/*.cpp src/*.h tests/*/*.cpp tests/*/*.h tests/*/*.c; }
man_page() {
  local warnings
  warnings=$(groff -ww -z -man build/doc/blockmeter.1 2>&1) && [ -z "$warnings" ] || { echo "$warnings"; return 1; }
}

step "test suite" suite default
step "test suite under ASan and UBSan" suite sanitize
step "test suite built with clang" suite clang
step "clang-tidy" tidy
step "cppcheck" static_analysis
step "clang-format" formatted
step "man page" man_page

[ "$failed" -eq 0 ] || echo "failed: ${failures[*]}"
echo "checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
