#!/bin/sh
# Installs the Debian packages of deps/debian-packages.txt that are not installed yet.
set -eu
list="$(dirname "$0")/../deps/debian-packages.txt"
missing=""
for p in $(grep -v '^#' "$list"); do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
