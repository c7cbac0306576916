#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# completion_test.sh: completes blockmeter's command line through bash-completion, with the words
# split as an interactive bash splits them ("=" breaks a word). Usage: completion_test.sh FILE
set -u
bash_completion=/usr/share/bash-completion/bash_completion
if [ ! -r "$bash_completion" ]; then
  echo "missing tool: bash-completion"
  exit 77
fi
source "$bash_completion"
source "$1"
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
touch disk.img dump.bin notes.txt
mkdir docs
compopt() { nospace=yes; }  # outside a real completion the builtin refuses; record the request

failed=0
# expect LINE OFFERED...: completing at the end of the typed LINE offers OFFERED. Bash splits the
# line at blanks, and makes each "=" a word of its own.
expect() {
  local line=$1 token rest
  shift
  local -a words=()
  for token in $line; do
    rest=$token
    while [[ $rest == *=* ]]; do
      [ -n "${rest%%=*}" ] && words+=("${rest%%=*}")
      words+=("=")
      rest=${rest#*=}
    done
    [ -n "$rest" ] && words+=("$rest")
  done
  [[ $line == *" " ]] && words+=("")
  nospace=no
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _blockmeter blockmeter "${words[-1]}" "${words[-2]}"
  local offered
  offered=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ')
  if [ "$offered" != "$* " ] && [ "$offered$*" != "" ]; then
    echo "completing '$line': offered '$offered', expected '$* '"
    failed=1
  fi
}

expect "blockmeter " bs= count= fs= if= of=
[ "$nospace" = yes ] || { echo "no space must follow an operand"; failed=1; }
expect "blockmeter c" count=
expect "blockmeter if=" disk.img docs dump.bin notes.txt
expect "blockmeter if=d" disk.img docs dump.bin
expect "blockmeter bs=1K of=n" notes.txt
expect "blockmeter bs="
exit $failed
