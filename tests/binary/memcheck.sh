#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: memcheck.sh STATUS INPUT BLOCKMETER OPERAND...
# Runs blockmeter under valgrind memcheck with INPUT on standard input and both outputs discarded.
# Passes when the program ends with STATUS and memcheck saw no invalid access and no leak.
expected=$1 input=$2
shift 2
log=$(mktemp)
valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  --log-file="$log" "$@" < "$input" > /dev/null 2>&1
status=$?
cat "$log"
if [ -s "$log" ] || [ "$status" -ne "$expected" ]; then
  echo "memcheck: status $status (expected $expected)"
  rm -f "$log"
  exit 1
fi
rm -f "$log"
