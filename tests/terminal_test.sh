#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# terminal_test.sh: what a user sees of blockmeter in a real terminal (tmux, through doc/capture.sh):
# the last screen and "OK" alone on it, at 210 columns and wrapped at 80, at bs=64K and at bs=1 (where
# most screens are left out), and a whole table while the copy runs; a copy in the background that
# leaves what the user types in view; and that the README's capture is still what the script prints.
# Usage: terminal_test.sh BLOCKMETER. Exit status 77: tmux is missing.
set -u
capture=$(dirname "$0")/../doc/capture.sh
readme=$(dirname "$0")/../README.md
bin=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}

header=$(printf '     | %62s | %62s | %62s' Done Left Total)
cells='   0 Gib    0 Mib  390 Kib  640 bytes (          400000 bytes)'
data="Data | $cells |    0 Gib    0 Mib    0 Kib    0 bytes (               0 bytes) | $cells"
time_cell=' {39}0 h  0 m  [0-9] s \(     [0-9] s\)'
time_row="^Time \|$time_cell \|$time_cell \|$time_cell\$"

# The whole pane is the last screen's three lines and OK: the earlier screens, the earlier output
# and the command line are gone.
expect_last_screen() {
  local where=$1 screen=$2
  local -a lines
  mapfile -t lines <<< "$screen"
  [ "${#lines[@]}" -eq 4 ] || fail "$where: ${#lines[@]} lines on the screen, not 4:"$'\n'"$screen"
  [ "${lines[0]-}" = "$header" ] || fail "$where: header is '${lines[0]-}'"
  [ "${lines[1]-}" = "$data" ] || fail "$where: data row is '${lines[1]-}'"
  [[ ${lines[2]-} =~ $time_row ]] || fail "$where: time row is '${lines[2]-}'"
  [ "${lines[3]-}" = OK ] || fail "$where: '${lines[3]-}' below the table, not OK"
}

screen=$("$capture" -d "$dir" "$bin")
status=$?
[ "$status" -ne 77 ] || exit 77
[ "$status" -eq 0 ] || fail "capture.sh failed with status $status"
expect_last_screen "210 columns" "$screen"
cmp -s "$dir/in" "$dir/out" || fail "the copy differs from the input"

# The README's capture: the indented lines after its marker, the time cells masked.
mask_times() { sed '/^Time |/s/[0-9]/#/g'; }
in_readme=$(sed -n '/^<!-- doc\/capture.sh prints the lines below -->$/,/^$/{/^    /s/^    //p}' "$readme")
[ "$(mask_times <<< "$in_readme")" = "$(mask_times <<< "$screen")" ] ||
  fail "README.md's capture differs from what doc/capture.sh prints now:"$'\n'"$screen"

seen_mid_run=no
for during in "$dir"/during.*; do
  mapfile -t lines < "$during"
  if [ "${#lines[@]}" -eq 3 ] && [ "${lines[0]}" = "$header" ] && [[ ${lines[1]} == "Data | "* ]] &&
    [[ ${lines[1]} != "Data |    0 Gib    0 Mib    0 Kib    0 bytes"* ]] && [ "${lines[1]}" != "$data" ] &&
    [[ ${lines[2]} =~ ^Time\ \| ]]; then
    seen_mid_run=yes
  fi
done
[ "$seen_mid_run" = yes ] || fail "no capture during the copy showed a whole table with part of the bytes done"

# At 80 columns each row of 199 characters wraps into three lines; joined again, they are the same.
wrapped=$("$capture" -w 80 "$bin")
[ "$(wc -l <<< "$wrapped")" -eq 10 ] || fail "80 columns: not 3 lines for each of 3 rows and OK:"$'\n'"$wrapped"
expect_last_screen "80 columns, joined" "$("$capture" -w 80 -j "$bin")"
# At bs=1 a terminal is redrawn at a person's pace, and still ends on the last screen.
expect_last_screen "bs=1" "$("$capture" -b 1 "$bin")"

# A copy in the background draws nothing: what is typed meanwhile, and its output, stay in view,
# and the result comes as any job's does.
socket=$dir/tmux.socket
in_tmux() { tmux -S "$socket" -f /dev/null "$@"; }
in_tmux new-session -d -x 200 -y 50 -c "$dir" "env PS1='$ ' bash --norc --noprofile -i"
in_tmux send-keys "'$bin' if=/dev/zero of=/dev/null bs=1 count=1000000 &" Enter
sleep 0.5
in_tmux send-keys 'echo typed-$((6 * 7))' Enter
for ((n = 0; n < 200; n++)); do
  pane=$(in_tmux capture-pane -p)
  grep -q 'OK$' <<< "$pane" && break
  sleep 0.05
done
in_tmux kill-server 2> /dev/null
[[ $pane == *'echo typed-$((6 * 7))'$'\n''typed-42'$'\n'* ]] || fail "background: the command typed is gone:"$'\n'"$pane"
grep -q 'OK$' <<< "$pane" || fail "background: no OK in view:"$'\n'"$pane"
[[ $pane != *"Data |"* ]] || fail "background: a screen was drawn:"$'\n'"$pane"

# A copy whose input stalls shows, while it waits, every byte it has copied; and its screens replace
# each other in place: the scrollback grows by the one pane its first screen clears, no more.
# A server of its own: the one before may still be going away.
in_stall_tmux() { tmux -S "$dir/stall.socket" -f /dev/null "$@"; }
feed='for i in 0 1 2 3 4 5 6 7 8 9; do head -c 300000 /dev/zero; sleep 0.05; done; sleep 1.5'
in_stall_tmux new-session -d -x 200 -y 50 -c "$dir" \
  "seq -f 'marker %g' 300; sleep 0.5; ($feed) | '$bin' bs=64K fs=4000000 > /dev/null; touch stalled.done; exec sleep 60"
sleep 0.3
history_before=$(in_stall_tmux display -p '#{history_size}')
sleep 1.5
pane=$(in_stall_tmux capture-pane -p)
for ((n = 0; n < 100; n++)); do
  [ ! -e "$dir/stalled.done" ] || break
  sleep 0.05
done
history_after=$(in_stall_tmux display -p '#{history_size}')
history=$(in_stall_tmux capture-pane -p -S -)
in_stall_tmux kill-server 2> /dev/null
[[ $pane == *'Data |    0 Gib    2 Mib  881 Kib  704 bytes (         3000000 bytes) |'* ]] ||
  fail "stalled: the screen does not show the 3,000,000 bytes copied:"$'\n'"$pane"
[ "$history_after" -le $((history_before + 50)) ] ||
  fail "stalled: the scrollback grew from $history_before to $history_after lines"
[[ $history == *$'marker 1\n'* ]] || fail "stalled: the lines printed before the copy are gone from the scrollback"
exit $failed
