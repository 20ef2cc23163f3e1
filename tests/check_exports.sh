#!/bin/sh
# Compares the defined dynamic symbols of a shared library with a list.
# usage: check_exports.sh LIBRARY LIST [--demangle]
set -eu
lib=$1
list=$2
flags="--dynamic --defined-only --format=posix"
[ "${3:-}" = "--demangle" ] && flags="$flags --demangle"
actual=$(nm $flags "$lib" | sed -e 's/ [A-Za-z] [0-9a-f]*\( [0-9a-f]*\)\{0,1\}$//' | sort -u)
expected=$(grep -v '^#' "$list" | sed '/^$/d' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "export table of $lib differs from $list:"
  printf '%s\n' "$expected" > /tmp/exports.expected.$$
  printf '%s\n' "$actual" > /tmp/exports.actual.$$
  diff /tmp/exports.expected.$$ /tmp/exports.actual.$$ || true
  rm -f /tmp/exports.expected.$$ /tmp/exports.actual.$$
  exit 1
fi
echo "exports of $(basename "$lib") match ($(printf '%s\n' "$expected" | wc -l) names)"
