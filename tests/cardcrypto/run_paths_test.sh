#!/bin/sh
# No built or installed library or tool may carry an empty run path entry:
# the loader reads one as the current directory, from which the card library
# would then load a planted module.
# usage: run_paths_test.sh BUILD_DIR INIT_PROBE MODULE_FILE BUILT_FILE...
# (the built files: every library and tool that is installed)
set -eu
build=$1
probe=$2
module=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints every ELF file of those given, and below the folders given, whose
# run path holds an empty entry, with that run path.
empty_entries() {
  find "$@" -type f | while read -r file; do
    path=$(readelf -d "$file" 2>/dev/null | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
    [ -n "$path" ] || continue
    case ":$path:" in
      *::*) echo "$file: [$path]" ;;
    esac
  done
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
bad=$(empty_entries "$@" "$work/prefix")
if [ -n "$bad" ]; then
  echo "run paths with an empty entry:" >&2
  echo "$bad" >&2
  exit 1
fi

# A module planted in the directory the host runs in is not loaded.
mkdir "$work/planted"
cp "$module" "$work/planted/aetpkss1.dll"
answer=$(cd "$work/planted" && env -u LD_LIBRARY_PATH "$probe")
if [ "$answer" != 256 ]; then
  echo "vorpin_init from a directory holding a module answered $answer, not 256" >&2
  exit 1
fi
