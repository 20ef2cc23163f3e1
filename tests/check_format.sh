#!/bin/sh
# Fails when a tracked C or C++ file differs from what clang-format makes of it.
set -eu
cd "$1"
command -v git >/dev/null && [ -d .git ] || { echo "not a git checkout: format not checked"; exit 0; }
bad=$(git ls-files '*.c' '*.cpp' '*.h' | while read -r f; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || echo "$f"
done)
if [ -n "$bad" ]; then
  echo "not clang-format clean (run make format):"
  echo "$bad"
  exit 1
fi
echo "all C and C++ files are clang-format clean"
