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
