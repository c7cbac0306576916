#!/usr/bin/env bash
# Times blockmeter against dd on the same data, runs interleaved, and prints medians and ratios.
# Usage: bench/run.sh [BINARY] [RUNS]   (defaults: build/blockmeter, 7). Not part of CI.
set -euo pipefail
bin=$(realpath "${1:-build/blockmeter}")
runs=${2:-7}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 1000000 /dev/urandom > "$work/1mb"
head -c 512M /dev/urandom > "$work/512mb"

# seconds that a command line takes, standard error to /dev/null
seconds() {
  local start=$EPOCHREALTIME
  bash -c "$1" 2>/dev/null
  local end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

compare() {
  local name=$1 ours=$2 theirs=$3 target=$4
  local -a t_ours=() t_theirs=()
  for ((i = 0; i < runs; i++)); do
    t_ours+=("$(seconds "$ours")")
    t_theirs+=("$(seconds "$theirs")")
  done
  local m_ours m_theirs
  m_ours=$(printf '%s\n' "${t_ours[@]}" | median)
  m_theirs=$(printf '%s\n' "${t_theirs[@]}" | median)
  printf '| %-40s | %9.3f s | %9.3f s | %5.2f | %s |\n' "$name" "$m_ours" "$m_theirs" \
    "$(echo "$m_ours / $m_theirs" | bc -l)" "$target"
}

echo "$(date -u +%F), $(nproc) cores, $(uname -r), ${runs} interleaved runs each, medians"
echo "| case | blockmeter | dd | ratio | target |"
echo "|---|---|---|---|---|"
compare "bs=1, 1 MB file to /dev/null" \
  "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000" \
  "dd if='$work/1mb' of=/dev/null bs=1" "<= 1.6"
compare "bs=1M, 2 GiB /dev/zero to /dev/null" \
  "'$bin' if=/dev/zero of=/dev/null bs=1M count=2048" \
  "dd if=/dev/zero of=/dev/null bs=1M count=2048" "<= 1.08"
compare "bs=64K, 512 MiB file to file" \
  "'$bin' if='$work/512mb' of='$work/copy' bs=64K fs=512M" \
  "dd if='$work/512mb' of='$work/copy' bs=64K" "<= 1.08"
