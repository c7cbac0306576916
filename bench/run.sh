#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times blockmeter against dd and against the peer that does each case best, on the same data, runs
# interleaved, and prints median times and the median ratio of runs made back to back (blockmeter's
# time over the other's: below 1, blockmeter is faster).
# Usage: bench/run.sh [BINARY] [RUNS] [CASES]   (defaults: build/blockmeter, 7, every case); CASES
# is a pattern that the names of the cases to run contain (bench/run.sh build/blockmeter 9 XFS). Not
# part of CI.
# The XFS case needs root and mkfs.xfs (Debian: xfsprogs), the pipe cases pv (Debian: pv); each
# missing one is said and skipped.
set -euo pipefail
bin=$(realpath "${1:-build/blockmeter}")
runs=${2:-7}
cases=${3:-}
work=$(mktemp -d)
xfs=
cleanup() {
  if [ -n "$xfs" ]; then umount "$xfs" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c 1000000 /dev/urandom > "$work/1mb"
head -c 512M /dev/urandom > "$work/512mb"
head -c 1G /dev/urandom > "$work/1gb"

# seconds that a command line takes, standard error to /dev/null. Untimed before it: the copy an
# earlier run made is removed (truncating it would be timed with this one), and what that run left
# to write back goes to disk.
seconds() {
  rm -f "$work/copy" "${xfs:-$work}/copy"
  sync
  local start=$EPOCHREALTIME
  bash -c "$1" 2>/dev/null
  local end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The median of the ratios of runs made back to back: the machine's speed drifts less within a pair
# than across the whole series.
pair_ratio() { paste -d/ <(printf '%s\n' "${@:2:$1}") <(printf '%s\n' "${@:$(($1 + 2))}") | bc -l | median; }

# compare NAME TARGET OURS DD PEER-NAME PEER: the three in turn, RUNS times.
compare() {
  local name=$1 target=$2 ours=$3 dd=$4 peer_name=$5 peer=$6
  [[ $name == *"$cases"* ]] || return 0
  local -a t_ours=() t_dd=() t_peer=()
  for ((i = 0; i < runs; i++)); do
    t_ours+=("$(seconds "$ours")")
    t_dd+=("$(seconds "$dd")")
    [ -z "$peer" ] || t_peer+=("$(seconds "$peer")")
  done
  local m_ours m_dd m_peer='' peer_ratio='-'
  m_ours=$(printf '%s\n' "${t_ours[@]}" | median)
  m_dd=$(printf '%s\n' "${t_dd[@]}" | median)
  if [ -n "$peer" ]; then
    m_peer=$(printf '%s\n' "${t_peer[@]}" | median)
    peer_ratio=$(printf '%.3f s, %.2fx' "$m_peer" "$(pair_ratio "$runs" "${t_ours[@]}" "${t_peer[@]}")")
  fi
  printf '| %-44s | %8.3f s | %8.3f s | %5.3fx | %-6s %-17s | %s |\n' "$name" "$m_ours" "$m_dd" \
    "$(pair_ratio "$runs" "${t_ours[@]}" "${t_dd[@]}")" "$peer_name" "$peer_ratio" "$target"
}

echo "$(date -u +%F), $(nproc) cores, $(uname -r), ${runs} interleaved runs each, medians"
echo "| case | blockmeter | dd | vs dd | best peer: time, blockmeter vs it | target |"
echo "|---|---|---|---|---|---|"
compare "bs=1, 1 MB file to /dev/null" "<= 1.6x dd" \
  "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000" \
  "dd if='$work/1mb' of=/dev/null bs=1" "" ""
compare "bs=1M, 2 GiB /dev/zero to /dev/null" "<= 1.08x dd" \
  "'$bin' if=/dev/zero of=/dev/null bs=1M count=2048" \
  "dd if=/dev/zero of=/dev/null bs=1M count=2048" "" ""
compare "bs=1M, 1 GiB cached file to /dev/null" "<= 1.05x dd" \
  "'$bin' if='$work/1gb' of=/dev/null bs=1M fs=1G" \
  "dd if='$work/1gb' of=/dev/null bs=1M" "" ""
compare "bs=1M, 512 MiB file to file, $(stat -f -c %T "$work")" "<= 0.90x dd" \
  "'$bin' if='$work/512mb' of='$work/copy' bs=1M fs=512M" \
  "dd if='$work/512mb' of='$work/copy' bs=1M" \
  cp "cp '$work/512mb' '$work/copy'"
compare "bs=64K, 512 MiB file to file, $(stat -f -c %T "$work")" "<= 0.90x dd" \
  "'$bin' if='$work/512mb' of='$work/copy' bs=64K fs=512M" \
  "dd if='$work/512mb' of='$work/copy' bs=64K" \
  cp "cp '$work/512mb' '$work/copy'"
rm -f "$work/copy"

if [ "$(id -u)" -eq 0 ] && command -v mkfs.xfs >/dev/null; then
  truncate -s 2G "$work/xfs.img"
  mkfs.xfs -q "$work/xfs.img"
  mkdir "$work/xfs"
  mount -o loop "$work/xfs.img" "$work/xfs"
  xfs=$work/xfs
  cp "$work/512mb" "$xfs/512mb"
  compare "bs=1M, 512 MiB file to file, XFS (reflink)" "<= 0.10x dd" \
    "'$bin' if='$xfs/512mb' of='$xfs/copy' bs=1M fs=512M" \
    "dd if='$xfs/512mb' of='$xfs/copy' bs=1M" \
    cp "cp '$xfs/512mb' '$xfs/copy'"
  umount "$xfs"
  xfs=
else
  echo "| bs=1M, 512 MiB file to file, XFS | skipped: needs root and mkfs.xfs (xfsprogs) | | | | |"
fi

if command -v pv >/dev/null; then
  compare "bs=64K, 1 GiB through a pipe to /dev/null" "<= 1.00x pv" \
    "cat '$work/1gb' | '$bin' bs=64K fs=1G > /dev/null" \
    "cat '$work/1gb' | dd bs=64K > /dev/null" \
    "pv -q" "cat '$work/1gb' | pv -q > /dev/null"
  compare "bs=64K, 1 GiB through a pipe to a file" "<= 1.00x pv" \
    "cat '$work/1gb' | '$bin' bs=64K fs=1G > '$work/copy'" \
    "cat '$work/1gb' | dd bs=64K > '$work/copy'" \
    "pv -q" "cat '$work/1gb' | pv -q > '$work/copy'"
else
  echo "| bs=64K, 1 GiB through a pipe | skipped: needs pv | | | | |"
fi
