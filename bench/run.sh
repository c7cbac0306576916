#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times blockmeter against dd and against the peer that does each case best, on the same data, runs
# interleaved, and prints median times and the median ratio of runs made back to back (blockmeter's
# time over the other's: below 1, blockmeter is faster). A screen is received three ways: standard
# error on /dev/null (every case, "silent": no screen is made), into a file ("logged": every screen
# is written, so its cost stays in view) and on a terminal ("watched", a tmux pane). A device is
# compared with dd conv=fsync: both end with the data on the device.
# Usage: bench/run.sh [BINARY] [RUNS] [CASES]   (defaults: build/blockmeter, 7, every case); CASES
# is a pattern that the names of the cases to run contain (bench/run.sh build/blockmeter 9 XFS). Not
# part of CI.
# It needs bc and perl; the watched and terminal cases tmux (and the terminal cases the tests' build), the XFS
# case root and mkfs.xfs (Debian: xfsprogs), the pipe cases pv (Debian: pv), the device case root, losetup and
# the cgroup v1 blkio throttle; each missing one is said and skipped.
set -euo pipefail
bin=$(realpath "${1:-build/blockmeter}")
runs=${2:-7}
cases=${3:-}
work=$(mktemp -d)
xfs=
dev=
throttle=/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device
# Sets the device's write limit in bytes a second; 0 lifts it.
throttle_device() { echo "$(lsblk -dno MAJ:MIN "$dev" | tr -d ' ') $1" > "$throttle"; }
cleanup() {
  if [ -n "$xfs" ]; then umount "$xfs" || true; fi
  if [ -n "$dev" ]; then
    throttle_device 0 2>/dev/null || true
    losetup -d "$dev" || true
  fi
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
compare "bs=1, 1 MB file to /dev/null" "<= 1.10x dd" \
  "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000" \
  "dd if='$work/1mb' of=/dev/null bs=1" "" ""
compare "logged: bs=1, 1 MB file to /dev/null" "no slower than before" \
  "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000 2> '$work/log'" \
  "dd if='$work/1mb' of=/dev/null bs=1 2> '$work/log'" "" ""
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
  rm -f "$xfs/512mb"
  # A sparse image copied onto XFS from another file system: 1 GiB holding 12 MiB in four extents.
  truncate -s 1G "$work/image"
  for i in 0 1 2 3; do
    dd if=/dev/urandom of="$work/image" bs=1M count=3 seek=$((i * 250 + 10)) conv=notrunc status=none
  done
  for bs in 64K 1048577 4M; do
    compare "bs=$bs, 1 GiB sparse image onto XFS" "<= 1.2x cp" \
      "'$bin' if='$work/image' of='$xfs/copy' bs=$bs fs=1G" "dd if='$work/image' of='$xfs/copy' bs=$bs" \
      cp "cp '$work/image' '$xfs/copy'"
    [ "$bs" != 64K ] || compare "logged: bs=$bs, 1 GiB sparse image onto XFS" "no slower than before" \
      "'$bin' if='$work/image' of='$xfs/copy' bs=$bs fs=1G 2> '$work/log'" \
      "dd if='$work/image' of='$xfs/copy' bs=$bs 2> '$work/log'" cp "cp '$work/image' '$xfs/copy'"
    [[ "bs=$bs, 1 GiB sparse image onto XFS" == *"$cases"* ]] || continue
    for c in "'$bin' if='$work/image' of='$xfs/copy' bs=$bs fs=1G" "cp '$work/image' '$xfs/copy'"; do
      rm -f "$xfs/copy"
      bash -c "$c" 2>/dev/null
      sync
      echo "space on XFS: $(($(stat -c %b "$xfs/copy") / 2)) KiB after ${c%% *} (bs=$bs), target <= 1.1x cp's"
    done
  done
  rm -f "$work/image" "$xfs/copy"
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
  compare "logged: bs=64K, 1 GiB through a pipe to /dev/null" "no slower than before" \
    "cat '$work/1gb' | '$bin' bs=64K fs=1G > /dev/null 2> '$work/log'" \
    "cat '$work/1gb' | dd bs=64K > /dev/null 2> '$work/log'" \
    "pv" "cat '$work/1gb' | pv -f > /dev/null 2> '$work/log'"
  compare "bs=64K, 1 GiB through a pipe to a file" "<= 1.00x pv" \
    "cat '$work/1gb' | '$bin' bs=64K fs=1G > '$work/copy'" \
    "cat '$work/1gb' | dd bs=64K > '$work/copy'" \
    "pv -q" "cat '$work/1gb' | pv -q > '$work/copy'"
  compare "bs=64K, 1 GiB file through a pipe to /dev/null" "<= 1.00x pv" \
    "'$bin' if='$work/1gb' bs=64K fs=1G | cat > /dev/null" \
    "dd if='$work/1gb' bs=64K | cat > /dev/null" \
    "pv -q" "pv -q '$work/1gb' | cat > /dev/null"
else
  echo "| bs=64K, 1 GiB through a pipe | skipped: needs pv | | | | |"
fi

# The same copy watched in a terminal (a detached tmux pane of 200x50, standard error on it) and
# unwatched (standard error to /dev/null), in turn: what watching costs.
in_pane() {
  local socket=$work/tmux.socket
  rm -f "$work/copy" "${xfs:-$work}/copy" "$work/pane.done"
  sync
  tmux -S "$socket" -f /dev/null new-session -d -x 200 -y 50 \
    "s=\$EPOCHREALTIME; $1; e=\$EPOCHREALTIME; echo \"\$e - \$s\" | bc -l > '$work/pane.time'; touch '$work/pane.done'"
  while [ ! -e "$work/pane.done" ]; do sleep 0.02; done
  tmux -S "$socket" kill-server 2>/dev/null || true
  cat "$work/pane.time"
}
watched() {
  local name=$1 target=$2 ours=$3
  [[ $name == *"$cases"* ]] || return 0
  local -a t_watched=() t_unwatched=()
  for ((i = 0; i < runs; i++)); do
    t_watched+=("$(in_pane "$ours")")
    t_unwatched+=("$(seconds "$ours")")
  done
  printf '| %-44s | %8.3f s | %8.3f s | %5.2fx | %s |\n' "$name" "$(printf '%s\n' "${t_watched[@]}" | median)" \
    "$(printf '%s\n' "${t_unwatched[@]}" | median)" "$(pair_ratio "$runs" "${t_watched[@]}" "${t_unwatched[@]}")" "$target"
}
if [[ "watched" != *"$cases"* ]]; then
  :
elif command -v tmux >/dev/null; then
  echo
  echo "| watched in a terminal | watched | unwatched | watched vs unwatched | target |"
  echo "|---|---|---|---|---|"
  head -c 256M "$work/512mb" > "$work/256mb"
  watched "watched, bs=64K, 256 MiB cached file to /dev/null" "<= 1.05x" \
    "'$bin' if='$work/256mb' of=/dev/null bs=64K fs=256M"
  watched "watched, bs=64K, 256 MiB file to file" "<= 1.05x" "'$bin' if='$work/256mb' of='$work/copy' bs=64K fs=256M"
  watched "watched, bs=1, 1 MB file to /dev/null" "<= 1.2x" "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000"
  rm -f "$work/256mb" "$work/copy"
  echo
else
  echo "| watched in a terminal | skipped: needs tmux | | | |"
fi

# The terminal's truth. A slow terminal (a pseudo-terminal read at a fixed rate, as a serial console
# or a slow link takes it): the copy's own time against a fast reader's. A stall (a burst, then a
# pause) and Ctrl-C at a random moment, in a tmux pane: what the screen shows against what was copied.
slow_terminal=$(dirname "$bin")/tests/slow_terminal
terminal_seconds() {
  "$slow_terminal" "$1" 0 bash -c "s=\$EPOCHREALTIME; $2; e=\$EPOCHREALTIME; echo \"\$e - \$s\" | bc -l > '$work/t'"
  cat "$work/t"
}
# The bytes done on the screen of the pane on socket $1.
pane_done() { tmux -S "$1" capture-pane -p | sed -n 's/^Data | [^(]*( *\([0-9]*\) bytes).*/\1/p'; }
if [[ "terminal" != *"$cases"* ]]; then
  :
elif [ -x "$slow_terminal" ] && command -v tmux >/dev/null; then
  echo
  for rate in 960 11520; do
    t_slow=() t_fast=()
    for ((i = 0; i < runs; i++)); do
      t_slow+=("$(terminal_seconds $rate "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000" 2>/dev/null)")
      t_fast+=("$(terminal_seconds 0 "'$bin' if='$work/1mb' of=/dev/null bs=1 fs=1000000" 2>/dev/null)")
    done
    echo "bs=1, 1 MB, terminal read at $rate B/s: $(printf '%s\n' "${t_slow[@]}" | median) s against" \
      "$(printf '%s\n' "${t_fast[@]}" | median) s read at once, $(pair_ratio "$runs" "${t_slow[@]}" "${t_fast[@]}")x" \
      "(target <= $([ $rate = 960 ] && echo 1.25 || echo 1.05)x)"
  done
  seen=()
  for ((i = 0; i < 5; i++)); do
    tmux -S "$work/stall.$i" -f /dev/null new-session -d -x 200 -y 50 \
      "(head -c 30M /dev/zero; sleep 3) | '$bin' bs=64K fs=31M > /dev/null"
    sleep 1.5
    seen+=("$(pane_done "$work/stall.$i")")
    tmux -S "$work/stall.$i" kill-server
  done
  echo "a 30 MiB burst, then a 3 s pause: Done 1 s into the pause: ${seen[*]} (target: 31457280 each time)"
  seen=()
  for ((i = 0; i < 5; i++)); do
    rm -f "$work/copy"
    tmux -S "$work/interrupted.$i" -f /dev/null new-session -d -x 200 -y 50 \
      "'$bin' if='$work/1gb' of='$work/copy' bs=4K fs=1G; sleep 60"
    sleep "0.$((RANDOM % 5 + 1))"
    pkill -INT -x "$(basename "$bin")" || true
    sleep 0.3
    seen+=("$(($(stat -c %s "$work/copy") - $(pane_done "$work/interrupted.$i")))")
    tmux -S "$work/interrupted.$i" kill-server
  done
  echo "Ctrl-C at a random moment, 1 GiB at bs=4K: bytes in the output past the screen's Done: ${seen[*]}" \
    "(target <= 4096)"
  rm -f "$work/copy"
else
  echo "the terminal cases: skipped: need tmux and $slow_terminal (built with the tests)"
fi

# A sparse disk image: 4 GiB holding 250 MiB of data in five extents. Space is what the copy holds.
if [[ "sparse" == *"$cases"* ]]; then
  truncate -s 4G "$work/sparse"
  for i in 0 1 2 3 4; do
    dd if=/dev/urandom of="$work/sparse" bs=1M count=50 seek=$((i * 800 + 100)) conv=notrunc status=none
  done
  compare "bs=1M, 4 GiB sparse image, 250 MiB of data, file to file" "<= 1.00x cp" \
    "'$bin' if='$work/sparse' of='$work/copy' bs=1M fs=4G" \
    "dd if='$work/sparse' of='$work/copy' bs=1M" \
    cp "cp '$work/sparse' '$work/copy'"
  for c in "'$bin' if='$work/sparse' of='$work/copy' bs=1M fs=4G" "dd if='$work/sparse' of='$work/copy' bs=1M" \
    "cp '$work/sparse' '$work/copy'"; do
    rm -f "$work/copy"
    bash -c "$c" 2>/dev/null
    echo "space on disk: $(($(stat -c %b "$work/copy") / 2048)) MiB after ${c%% *}"
  done
  rm -f "$work/copy" "$work/sparse"
fi

# The screens of a copy as they come: reads standard error, prints the seconds from the last screen
# to the end ("OK" or a message), and the time left shown on the first screen at half-way or past
# it against the time that really remained.
screen_times() {
  perl -MTime::HiRes=time -e '
    my ($start, $half) = @ARGV; my ($buffer, $last, $half_at, $half_left, $end) = ("");
    while (sysread(STDIN, my $chunk, 65536)) {
      my $now = time - $start;
      $buffer .= $chunk;
      while ($buffer =~ s/^.*?\e\[H\e\[2J([^\e]*?\n[^\e]*?\n[^\e]*?\n)//s) {
        my $screen = $1; $last = $now;
        my ($done) = $screen =~ /Data \|[^(]*\(\s*(\d+) bytes\)/;
        my @times = $screen =~ /\(\s*(-?\d+|Negative) s\)/g;
        ($half_at, $half_left) = ($now, $times[1]) if !defined $half_at && $done >= $half;
      }
      $end = $now if $buffer =~ /OK\n|failed/;
    }
    printf "%.2f %.2f %s %.2f\n", $end, $end - $last, $half_left, $end - $half_at;' "$@"
}

# Writing an image to a slow device: a loop device with direct I/O to its file (a flush costs what
# a stick's does), throttled to 32 MB/s.
if [[ "device" == *"$cases"* ]]; then
  if [ "$(id -u)" -eq 0 ] && [ -w "$throttle" ] && command -v losetup >/dev/null; then
    truncate -s 160M "$work/device.img"
    dev=$(losetup --direct-io=on -f --show "$work/device.img")
    head -c 128M /dev/urandom > "$work/128mb"
    for bs in 1M 4M; do
      throttle_device 33554432
      compare "bs=$bs, 128 MiB to a device at 32 MB/s" "<= 1.05x dd" \
        "'$bin' if='$work/128mb' of=$dev bs=$bs fs=128M" "dd if='$work/128mb' of=$dev bs=$bs conv=fsync" "" ""
      for ((i = 0; i < 3; i++)); do
        start=$(perl -MTime::HiRes=time -e 'printf "%.6f", time')
        "$bin" if="$work/128mb" of="$dev" bs=$bs fs=128M 2>&1 >/dev/null | screen_times "$start" 67108864
      done | sort -n | sed -n 2p | {
        read -r whole tail left remained
        echo "bs=$bs at 32 MB/s, median of 3: run ${whole} s; from the last screen to OK ${tail} s (<= 1.0 s);" \
          "half-way screen shows ${left} s left, ${remained} s remained (within 1 s + 25%)"
      }
      throttle_device 0
      compare "bs=$bs, 128 MiB to a device, unthrottled" "<= 1.10x dd" \
        "'$bin' if='$work/128mb' of=$dev bs=$bs fs=128M" "dd if='$work/128mb' of=$dev bs=$bs conv=fsync" "" ""
    done
    cmp -n 134217728 "$work/128mb" "$dev" || echo "the device does not hold the image"
    losetup -d "$dev"
    dev=
  else
    echo "| 128 MiB to a device | skipped: needs root, losetup and $throttle | | | | |"
  fi
fi
