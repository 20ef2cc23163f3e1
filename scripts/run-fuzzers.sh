#!/bin/sh
# Runs every fuzz target of a fuzz build for a bounded time each, starting
# from its corpus in fuzz/corpus/<name>/ (copied, so the tree is not
# changed). Fails on the first finding.
# usage: run-fuzzers.sh BUILD_DIR [SECONDS]
set -eu
build=$(cd "$1" && pwd)
seconds=${2:-30}
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A Big5 locale for the targets that judge texts under a double-byte code
# page; they fall back to plain bytes when it cannot be made.
if localedef -i zh_TW -f BIG5 "$work/locale/zh_TW.BIG5" >/dev/null 2>&1; then
  export LOCPATH="$work/locale"
fi
status=0
for name in $(cat "$build/fuzzers.txt"); do
  mkdir -p "$work/$name"
  [ -d "$top/fuzz/corpus/$name" ] && cp -r "$top/fuzz/corpus/$name/." "$work/$name/"
  echo "fuzzing $name for ${seconds}s"
  if ! (cd "$work" && "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=0 "$work/$name" >"$work/$name.log" 2>&1); then
    echo "fuzz target $name found a fault:"
    tail -50 "$work/$name.log"
    mkdir -p "$top/fuzz/findings"
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$top/fuzz/findings/" 2>/dev/null || true
    status=1
  else
    grep -E '^(#[0-9]+|Done)' "$work/$name.log" | tail -1 || true
  fi
done
exit $status
