#!/bin/sh
# Wraps and unwraps MIB MiB (256 by default) on the default card, in-process
# (Doclock's entry points) and as whole processes (the doclock tool against
# the stock openssl command with the card's soft keys: encrypt then sign;
# verify then decrypt), in one run on a warm page cache. Whole processes are
# timed best of three with /usr/bin/time, which also gives the peak memory.
# Prints the times, the ratios and each tool's peak memory against the
# input's size. Not part of the test suite.
# usage: bench/doclock-bench.sh [BUILD_DIR] [MIB]   (the card provisioned, e.g. by make test)
set -eu
build=$(cd "${1:-build}" && pwd)
mib=${2:-256}
top=$(cd "$(dirname "$0")/.." && pwd)
card=$build/card
[ -f "$card/softhsm2.conf" ] || { echo "no provisioned card in $card" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOFTHSM2_CONF="$card/softhsm2.conf" LD_LIBRARY_PATH="$card/module"

cc -O2 -I"$top/Doclock/include" "$top/bench/doclock_bench.c" -o "$work/doclock_bench" \
  -L"$build/Doclock" -lDoclock -Wl,-rpath,"$build/Doclock"
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/data"
echo 123456 > "$work/pin"
cat "$work/data" > /dev/null # warm the page cache

# best COMMAND...: runs it three times; prints "seconds peak_kib" of the
# fastest run (the peak is the largest of the three).
best() {
  t=999999; m=0
  for _ in 1 2 3; do
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" > /dev/null 2>"$work/err" ||
      { echo "failed: $*" >&2; cat "$work/err" >&2; exit 1; }
    read -r s k < "$work/time"
    t=$(awk "BEGIN { print ($s < $t) ? $s : $t }")
    m=$(awk "BEGIN { print ($k > $m) ? $k : $m }")
  done
  echo "$t $m"
}

out=$("$work/doclock_bench" 123456 "$card/enc.crt.der" "$work/data" "$work/inproc.p12")
echo "in-process: $(echo "$out" | tr '\n' ' ')"

tool=$build/tools/doclock
set -- $(best "$tool" encrypt --cert "$card/enc.crt.der" --pin-file "$work/pin" \
  --output "$work/doclock.p12" "$work/data")
ours_wrap=$1 ours_wrap_kib=$2
set -- $(best "$tool" decrypt --pin-file "$work/pin" --output "$work/doclock.out" "$work/doclock.p12")
ours_unwrap=$1 ours_unwrap_kib=$2
cmp -s "$work/data" "$work/doclock.out" || { echo "doclock round trip differs" >&2; exit 1; }

set -- $(best openssl cms -encrypt -aes256 -binary -outform DER -in "$work/data" \
  -out "$work/env" "$card/enc.crt.pem")
ossl_encrypt=$1
set -- $(best openssl cms -sign -nodetach -binary -outform DER -in "$work/env" \
  -signer "$card/sign.crt.pem" -inkey "$card/sign.key.pem" -out "$work/openssl.p12")
ossl_sign=$1
set -- $(best openssl cms -verify -inform DER -binary -noverify -in "$work/openssl.p12" \
  -out "$work/env2")
ossl_verify=$1
set -- $(best openssl cms -decrypt -inform DER -binary -in "$work/env2" \
  -recip "$card/enc.crt.pem" -inkey "$card/enc.key.pem" -out "$work/plain")
ossl_decrypt=$1
cmp -s "$work/data" "$work/plain" || { echo "openssl round trip differs" >&2; exit 1; }

ossl_wrap=$(awk "BEGIN { print $ossl_encrypt + $ossl_sign }")
ossl_unwrap=$(awk "BEGIN { print $ossl_verify + $ossl_decrypt }")
input_kib=$((mib * 1024))
printf '%s MiB, whole processes   doclock    openssl    ratio   doclock peak\n' "$mib"
printf 'wrap (encrypt+sign)   %8.3f s %8.3f s %8.2f %8.2fx input\n' "$ours_wrap" "$ossl_wrap" \
  "$(awk "BEGIN { print $ours_wrap / $ossl_wrap }")" \
  "$(awk "BEGIN { print $ours_wrap_kib / $input_kib }")"
printf 'unwrap (verify+decr.) %8.3f s %8.3f s %8.2f %8.2fx input\n' "$ours_unwrap" "$ossl_unwrap" \
  "$(awk "BEGIN { print $ours_unwrap / $ossl_unwrap }")" \
  "$(awk "BEGIN { print $ours_unwrap_kib / $input_kib }")"
