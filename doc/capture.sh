#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# capture.sh: runs blockmeter in a real terminal, a detached tmux pane, on a slow pipe (four blocks of
# 100,000 bytes, 0.3 s apart, written to a file), and prints what the pane shows once the copy is done.
# The README's capture is made with it; the terminal test uses it too.
# Usage: doc/capture.sh [-w COLUMNS] [-j] [-b BLOCK-SIZE] [-d DIR] [BLOCKMETER]
#   -w  the pane's width (default 210)   -j  join the lines the terminal wrapped   -b  bs= (default 64K)
#   -d  keep in DIR the input, the copy (out) and the captures taken while the copy ran (during.N)
#   BLOCKMETER defaults to build/blockmeter. Exit status 77: tmux is missing.
set -euo pipefail
width=210 join= keep= block_size=64K
while getopts w:jb:d: option; do
  case $option in
    w) width=$OPTARG ;;
    j) join=-J ;;
    b) block_size=$OPTARG ;;
    d) keep=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
bin=$(realpath "${1:-build/blockmeter}")
if ! command -v tmux > /dev/null; then
  echo "missing tool: tmux" >&2
  exit 77
fi
dir=${keep:-$(mktemp -d)}
mkdir -p "$dir"
socket=$dir/tmux.socket
in_tmux() { tmux -S "$socket" -f /dev/null "$@"; }
cleanup() {
  in_tmux kill-server 2> /dev/null || true
  [ -n "$keep" ] || rm -rf "$dir"
}
trap cleanup EXIT

head -c 400000 /dev/urandom > "$dir/in"
rm -f "$dir/finished" "$dir"/during.*
# What was on the terminal (earlier output, the command line) stays until the program clears it.
feed='for i in 0 1 2 3; do tail -c +$((i * 100000 + 1)) in | head -c 100000; sleep 0.3; done'
in_tmux new-session -d -x "$width" -y 24 -c "$dir" \
  "seq -f 'earlier output %g' 6; printf '%s\n' '\$ blockmeter bs=$block_size fs=400000 > out'; ($feed) | '$bin' bs=$block_size fs=400000 > out; touch finished; exec sleep 60"

capture() { in_tmux capture-pane -p $join | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }
for ((n = 0; n < 200; n++)); do
  [ ! -e "$dir/finished" ] || break
  capture > "$dir/during.$n"
  sleep 0.05
done
# The terminal may still be drawing what the program wrote just before it ended.
for ((n = 0; n < 100; n++)); do
  screen=$(capture)
  [[ $screen == *$'\nOK' ]] && break
  sleep 0.05
done
printf '%s\n' "$screen"
