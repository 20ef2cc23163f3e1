#!/bin/sh
# Wraps and unwraps 100 MiB with Doclock on the default card, and the same
# data with the stock openssl command and the card's soft keys (encrypt then
# sign; verify then decrypt), and prints both with their ratio. Not part of
# the test suite.
# usage: bench/doclock-bench.sh [BUILD_DIR] [MIB]   (the card provisioned, e.g. by make test)
set -eu
build=$(cd "${1:-build}" && pwd)
mib=${2:-100}
top=$(cd "$(dirname "$0")/.." && pwd)
card=$build/card
[ -f "$card/softhsm2.conf" ] || { echo "no provisioned card in $card" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cc -O2 -I"$top/Doclock/include" "$top/bench/doclock_bench.c" -o "$work/doclock_bench" \
  -L"$build/Doclock" -lDoclock -Wl,-rpath,"$build/Doclock"
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/data"

seconds() { # runs a command, prints its wall time in seconds
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk "BEGIN { print $end - $start }"
}

out=$(SOFTHSM2_CONF="$card/softhsm2.conf" LD_LIBRARY_PATH="$card/module" \
  "$work/doclock_bench" 123456 "$card/enc.crt.der" "$work/data" "$work/doclock.p12")
ours_wrap=$(echo "$out" | awk '/^encrypt/ {print $2}')
ours_unwrap=$(echo "$out" | awk '/^decrypt/ {print $2}')

ossl_encrypt=$(seconds openssl cms -encrypt -aes256 -binary -outform DER -in "$work/data" \
  -out "$work/env" "$card/enc.crt.pem")
ossl_sign=$(seconds openssl cms -sign -nodetach -binary -outform DER -in "$work/env" \
  -signer "$card/sign.crt.pem" -inkey "$card/sign.key.pem" -out "$work/openssl.p12")
ossl_verify=$(seconds openssl cms -verify -inform DER -binary -noverify -in "$work/openssl.p12" \
  -out "$work/env2" 2>/dev/null)
ossl_decrypt=$(seconds openssl cms -decrypt -inform DER -binary -in "$work/env2" \
  -recip "$card/enc.crt.pem" -inkey "$card/enc.key.pem" -out "$work/plain")
cmp -s "$work/data" "$work/plain" || { echo "openssl round trip differs" >&2; exit 1; }

ossl_wrap=$(awk "BEGIN { print $ossl_encrypt + $ossl_sign }")
ossl_unwrap=$(awk "BEGIN { print $ossl_verify + $ossl_decrypt }")
printf '%s MiB          Doclock    openssl    ratio\n' "$mib"
printf 'wrap       %10.3f s %8.3f s %8.2f\n' "$ours_wrap" "$ossl_wrap" "$(awk "BEGIN { print $ours_wrap / $ossl_wrap }")"
printf 'unwrap     %10.3f s %8.3f s %8.2f\n' "$ours_unwrap" "$ossl_unwrap" "$(awk "BEGIN { print $ours_unwrap / $ossl_unwrap }")"
