#!/bin/sh
# Installs the build into a temporary prefix and builds the host program
# against it twice, with pkg-config and with CMake's find_package, then runs
# both builds.
# usage: install_test.sh BUILD HOST_SOURCE LIBRARY...
#   HOST_CFLAGS: extra compiler flags for the host (the sanitizers of a
#   sanitized build)
set -eu
build=$1
src=$2
shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" > "$prefix/install.log"

# The host uses the three libraries of the product; the two stand-ins come
# along as their dependencies.
top="" defs=""
for lib in "$@"; do
  [ -f "$prefix/usr/lib/pkgconfig/$lib.pc" ] || { echo "missing $lib.pc"; exit 1; }
  case $lib in
    vorpin_dll | Docseal | Doclock)
      [ -f "$prefix/usr/include/$lib.h" ] || { echo "missing header $lib.h"; exit 1; }
      top="$top $lib" defs="$defs -DHOST_USES_$lib" ;;
  esac
done

echo "== pkg-config:$top"
export PKG_CONFIG_PATH="$prefix/usr/lib/pkgconfig"
# shellcheck disable=SC2086
cc ${HOST_CFLAGS:-} -o "$prefix/host-pc" "$src/host.c" $defs $(pkg-config --cflags --libs $top) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vorpin_dll)"
"$prefix/host-pc"

echo "== CMake find_package:$top"
libs=$(echo $top | tr ' ' ';')
cmake -S "$src" -B "$prefix/host-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix/usr" \
  "-DHOST_LIBRARIES=$libs" "-DCMAKE_C_FLAGS=${HOST_CFLAGS:-}" > "$prefix/cmake.log" || { cat "$prefix/cmake.log"; exit 1; }
cmake --build "$prefix/host-build" > "$prefix/build.log" || { cat "$prefix/build.log"; exit 1; }
"$prefix/host-build/host"

echo "== the installed tools run from the tree"
for tool in "$prefix"/usr/bin/*; do
  "$tool" --version
done

echo "== manual pages and bash completion of the installed tools"
for tool in "$prefix"/usr/bin/*; do
  name=$(basename "$tool")
  page=$prefix/usr/share/man/man1/$name.1
  completion=$prefix/usr/share/bash-completion/completions/$name
  [ -f "$page" ] || { echo "missing manual page $name.1"; exit 1; }
  [ -f "$completion" ] || { echo "missing bash completion for $name"; exit 1; }
  warnings=$(groff -ww -z -man "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$name.1: $warnings"; exit 1; }
  MANWIDTH=80 man -l "$page" > /dev/null 2>&1 || { echo "man cannot show $name.1"; exit 1; }
  # The completion offers the commands the tool's help lists.
  commands=$("$tool" --help | sed -n 's/^  \([a-z][a-z-]*\)  .*/\1/p' | sort | tr '\n' ' ')
  if [ -n "$commands" ]; then
    offered=$(bash -c '. /usr/share/bash-completion/bash_completion; . "$1"
      COMP_WORDS=("$2" ""); COMP_CWORD=1; COMP_LINE="$2 "; COMP_POINT=${#COMP_LINE}
      $(complete -p "$2" | sed "s/.*-F \([^ ]*\) .*/\1/")
      printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$name" | grep -v '^-' | sort | tr '\n' ' ')
    [ "$offered" = "$commands" ] ||
      { echo "$name: completion offers '$offered', --help lists '$commands'"; exit 1; }
  fi
  echo "$name: manual page and completion"
done
for doc in LICENSE CHANGELOG.md; do
  [ -f "$prefix/usr/share/doc/vorpin/$doc" ] || { echo "missing $doc"; exit 1; }
done

