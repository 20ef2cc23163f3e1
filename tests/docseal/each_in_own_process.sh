#!/bin/sh
# Runs every test of a gtest program in a process of its own; fails when
# one of them fails.
# usage: each_in_own_process.sh PROGRAM
set -u
program=$1
status=0
for test in $("$program" --gtest_list_tests | awk '
    /^[^ ]/ { suite = $1; next }
    { print suite $1 }'); do
  if ! out=$("$program" --gtest_filter="$test" 2>&1); then
    printf '%s\n' "$out"
    status=1
  else
    echo "passed $test"
  fi
done
exit $status
