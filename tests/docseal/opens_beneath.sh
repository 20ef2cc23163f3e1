#!/bin/sh
# Runs the hostile signed lists under strace: the library may open no file
# outside the signed directory. The canary beside the directory is only ever
# written (by the test itself), never opened for reading.
set -eu
test_binary=$1
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# LeakSanitizer cannot run under ptrace; leaks are the plain run's concern.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  strace -f -qq -e trace=open,openat,openat2 -o "$log" \
  "$test_binary" --gtest_filter='Verify/HostileListTest.*' >/dev/null
if ! grep -q 'canary\.txt.*O_WRONLY' "$log"; then
  echo "the trace did not see the canary being made" >&2
  exit 1
fi
if grep 'canary\.txt' "$log" | grep -v 'O_WRONLY'; then
  echo "a file outside the signed directory was opened" >&2
  exit 1
fi
