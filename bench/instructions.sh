#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Counts the instructions one block costs at bs=1 (copy and screen together) with callgrind:
# 20,000 bytes from a file to /dev/null, standard error to /dev/null. Deterministic, unlike time.
# Usage: bench/instructions.sh [BINARY]   (default: build/blockmeter). Not part of CI.
set -euo pipefail
bin=$(realpath "${1:-build/blockmeter}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 20000 /dev/urandom > "$work/in"
valgrind --tool=callgrind --callgrind-out-file="$work/out" "$bin" if="$work/in" of=/dev/null bs=1 fs=20000 \
  2>/dev/null >/dev/null || true
total=$(callgrind_annotate "$work/out" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
echo "instructions in all: $total; per block: $((total / 20000)) (target: <= 3000)"
