#!/bin/sh
# Provisions the default card: a SoftHSM2 token in DIR with a demo CA, an
# RSA-1024 signing key and certificate and an RSA-1024 encryption key and
# certificate, the signing objects listed first.
#
# usage: provision-card.sh DIR PROBE [MODULE]
#   DIR    receives softhsm2.conf, tokens/, module/aetpkss1.dll (a link to
#          MODULE, by default SoftHSM2's module) and the PEM/DER keys and
#          certificates.
#   PROBE  the card_order_probe program.
#   MODULE the module the card is reached through (the listing-order module
#          of the tests, which forwards to SoftHSM2).
#
# A card that DIR already holds is kept: data wrapped for its keys stays
# openable. Only its module link is set again. A DIR that holds no working
# card (an interrupted run) is moved aside to DIR.broken-TIME, never removed.
set -eu
dir=$1
probe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
pin=123456
so_pin=12345678
here=$(cd "$(dirname "$0")" && pwd)

softhsm=""
for m in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
  [ -f "$m" ] && softhsm=$m && break
done
[ -n "$softhsm" ] || { echo "provision-card: SoftHSM2 module not found" >&2; exit 1; }
module=${3:-$softhsm}
module=$(cd "$(dirname "$module")" && pwd)/$(basename "$module")

# listed DIR: the objects come in the order the card library needs, in three
# fresh processes.
listed() {
  for round in 1 2 3; do
    out=$(SOFTHSM2_CONF="$1/softhsm2.conf" LD_LIBRARY_PATH="$1/module" "$probe" $pin 2>/dev/null) ||
      return 1
    [ "$out" = "$(printf 'cert 01 02\nkey 01 02')" ] || return 1
  done
}

if [ -e "$dir" ]; then
  dir=$(cd "$dir" && pwd)
  whole=1
  for f in softhsm2.conf ca.crt.pem sign.crt.pem enc.crt.pem revoked.txt expired.crt.pem; do
    [ -f "$dir/$f" ] || whole=0
  done
  if [ $whole = 1 ] && [ -d "$dir/module" ]; then
    ln -sfn "$module" "$dir/module/aetpkss1.dll"
    if listed "$dir"; then
      [ -f "$dir/provisioned" ] || date -u +%Y-%m-%dT%H:%M:%SZ > "$dir/provisioned"
      echo "keeping the card in $dir"
      exit 0
    fi
  fi
  aside=$dir.broken-$(date +%Y%m%d-%H%M%S)
  mv "$dir" "$aside"
  echo "provision-card: $dir held no working card; moved it to $aside" >&2
fi
mkdir -p "$dir/tokens" "$dir/module"
dir=$(cd "$dir" && pwd)
ln -s "$module" "$dir/module/aetpkss1.dll"

cat > "$dir/softhsm2.conf" <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF="$dir/softhsm2.conf"
cd "$dir"

# The demo CA and the two holder certificates with their extension profile.
"$here/make-demo-certs.sh" "$dir" > "$dir/openssl.log" 2>&1 ||
  { cat "$dir/openssl.log" >&2; exit 1; }

# SoftHSM2 lists objects in the order of their object files' random names:
# make the token again until the signing certificate and key come first,
# and check that the order holds in fresh processes.
try=0
while :; do
  try=$((try + 1))
  rm -rf "$dir/tokens" && mkdir "$dir/tokens"
  softhsm2-util --init-token --free --label "Demo Card" --so-pin $so_pin --pin $pin >/dev/null
  softhsm2-util --import sign.key.p8.pem --token "Demo Card" --label sign --id 01 --pin $pin >/dev/null
  softhsm2-util --import enc.key.p8.pem --token "Demo Card" --label enc --id 02 --pin $pin >/dev/null
  for who in sign:01 enc:02; do
    pkcs11-tool --module "$softhsm" --token-label "Demo Card" --login --pin $pin \
      --write-object "${who%%:*}.crt.der" --type cert --id "${who##*:}" --label "${who%%:*}" >/dev/null
  done
  listed "$dir" && break
  if [ $try -ge 40 ]; then
    echo "provision-card: SoftHSM2 keeps listing the objects out of order" >&2
    exit 1
  fi
done
date -u +%Y-%m-%dT%H:%M:%SZ > "$dir/provisioned"
echo "provisioned the card in $dir (attempt $try)"
