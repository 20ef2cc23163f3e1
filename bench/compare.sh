#!/bin/sh
# Whole-process speed and memory of the tools against the stock commands over
# the same bytes, all in one run so that every figure meets the same load:
#   docseal sign / verify of a big file     vs  openssl dgst -sha1
#   docseal sign / verify of a tree         vs  find | sort | xargs cat | sha1sum
#   doclock encrypt                         vs  openssl cms -encrypt | openssl cms -sign
#   doclock decrypt                         vs  openssl cms -verify | openssl cms -decrypt
# and the same work through the entry points inside one process. Each command
# runs three times on a warm page cache; the best wall time counts, beside the
# CPU time (user + system) of that run and the peak resident memory of the
# largest process (/usr/bin/time %M). The hardware limit is what `openssl
# speed` gives at its largest block for the digest (and cipher) that the work
# needs. Not run by the tests: `make bench` or
#   bench/compare.sh [BUILD_DIR (build)] [FILE_MIB (512)] [TREE_FILES (200000)] [WRAP_MIB (256)]
# The build's card must be provisioned (ctest -R card.provision).
set -eu
build=$(cd "${1:-build}" && pwd)
file_mib=${2:-512}
tree_files=${3:-200000}
wrap_mib=${4:-256}
runs=3
docseal=$build/tools/docseal
doclock=$build/tools/doclock
card=$build/card
for tool in "$docseal" "$doclock" "$build/bench/docseal_bench" "$build/bench/doclock_bench"; do
  [ -x "$tool" ] || { echo "build $tool first" >&2; exit 1; }
done
[ -f "$card/softhsm2.conf" ] || { echo "provision the card first (ctest -R card.provision)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
export SOFTHSM2_CONF="$card/softhsm2.conf"
export LD_LIBRARY_PATH="$card/module"
# On the build's disk, not a memory file system, like the files a user signs.
work=$(mktemp -d "$build/bench-work.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
echo 123456 > "$work/pin"

# measure NAME COMMAND...: runs the command $runs times (its output thrown
# away) and records the best wall time, the CPU time of that run and the
# largest peak resident memory under NAME.
measure() {
  name=$1
  shift
  best=
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" > /dev/null 2> "$work/err" || {
      echo "failed: $*" >&2
      cat "$work/err" >&2
      exit 1
    }
    end=$(date +%s.%N)
    line=$(tail -n 1 "$work/time")
    best=$(echo "$best" | awk -v s="$start" -v e="$end" -v t="$line" '
      { split($0, b, " ") }
      END {
        split(t, m, " "); w = e - s; c = m[2] + m[3]; r = m[1]
        if (b[1] == "" || w < b[1]) { b[1] = w; b[2] = c }
        if (b[3] == "" || r > b[3]) b[3] = r
        printf "%.3f %.2f %d", b[1], b[2], b[3]
      }')
  done
  echo "$best" > "$work/result.$name"
}
wall() { cut -d' ' -f1 "$work/result.$1"; }
cpu() { cut -d' ' -f2 "$work/result.$1"; }
rss() { cut -d' ' -f3 "$work/result.$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# row LABEL OURS STOCK INPUT_MIB: one line of the table.
row() {
  printf '%-24s %7.3f s %6.2f s cpu %8d KiB | %7.3f s %6.2f s cpu %8d KiB | %5s x  %4s x input\n' \
    "$1" "$(wall "$2")" "$(cpu "$2")" "$(rss "$2")" "$(wall "$3")" "$(cpu "$3")" "$(rss "$3")" \
    "$(ratio "$(wall "$2")" "$(wall "$3")")" "$(ratio "$(rss "$2")" "$(($4 * 1024))")"
}

# speed ALGORITHM [-decrypt]: bytes per second at the largest block size.
speed() {
  openssl speed -seconds 2 -bytes 16384 ${2:+"$2"} -evp "$1" 2> /dev/null |
    awk -v a="$1" '$1 == a || $1 == toupper(a) || $1 ~ /^aes-256/ { v = $NF } END { sub(/k$/, "", v); print v * 1000 }'
}
limit() { awk -v mib="$1" -v bps="$2" 'BEGIN { printf "%.3f", mib * 1048576 / bps }'; }

echo "making $file_mib MiB, a tree of $tree_files files of 4 KiB and $wrap_mib MiB in $work"
head -c $((file_mib * 1048576)) /dev/urandom > "$work/big.bin"
head -c $((wrap_mib * 1048576)) /dev/urandom > "$work/wrap.bin"
mkdir "$work/tree"
left=$tree_files
d=0
while [ "$left" -gt 0 ]; do
  n=$((left < 500 ? left : 500))
  mkdir "$work/tree/d$d"
  head -c $((n * 4096)) /dev/urandom | split -a 3 -b 4096 - "$work/tree/d$d/f"
  left=$((left - n))
  d=$((d + 1))
done
tree_mib=$((tree_files * 4 / 1024))
# Everything once through the page cache, so that each measurement reads
# from memory.
cat "$work/big.bin" "$work/wrap.bin" > /dev/null
find "$work/tree" -type f | sort | xargs cat > /dev/null

echo "hardware limits (openssl speed, largest block)"
sha1=$(speed sha1)
sha256=$(speed sha256)
aes_enc=$(speed aes-256-cbc)
aes_dec=$(speed aes-256-cbc -decrypt)

measure dgst openssl dgst -sha1 "$work/big.bin"
measure sign "$docseal" sign --pin-file "$work/pin" "$work/big.bin"
measure verify "$docseal" verify --ca "$card/ca.crt.pem" "$work/big.bin"
measure pipeline sh -c "cd '$work' && find tree -type f | sort | xargs cat | sha1sum"
measure tree_sign "$docseal" sign --pin-file "$work/pin" --output "$work/tree.sig" "$work/tree"
measure tree_verify "$docseal" verify --ca "$card/ca.crt.pem" --signature "$work/tree.sig" "$work/tree"

enc="openssl cms -encrypt -aes256 -binary -outform DER -in '$work/wrap.bin' '$card/enc.crt.pem'"
sig="openssl cms -sign -nodetach -binary -outform DER -signer '$card/sign.crt.pem' -inkey '$card/sign.key.pem'"
measure cms_wrap sh -c "$enc | $sig -out '$work/wrap.openssl'"
ver="openssl cms -verify -inform DER -binary -noverify -in '$work/wrap.openssl'"
dec="openssl cms -decrypt -inform DER -binary -recip '$card/enc.crt.pem' -inkey '$card/enc.key.pem'"
measure cms_unwrap sh -c "$ver | $dec -out '$work/plain.openssl'"
cmp -s "$work/wrap.bin" "$work/plain.openssl" || { echo "the openssl round trip differs" >&2; exit 1; }
measure wrap "$doclock" encrypt --pin-file "$work/pin" --cert "$card/enc.crt.pem" --output "$work/wrap.ours" "$work/wrap.bin"
measure unwrap "$doclock" decrypt --pin-file "$work/pin" --output "$work/plain.ours" "$work/wrap.ours"
cmp -s "$work/wrap.bin" "$work/plain.ours" || { echo "the doclock round trip differs" >&2; exit 1; }

# The same work through the entry points, inside one process each.
inproc() { "$@" 2> /dev/null | sed -n 's/.*seconds=\([0-9.]*\).*peak_rss_kib=\([0-9]*\).*/\1 \2/p'; }
in_sign=$(inproc "$build/bench/docseal_bench" sign "$work/big.bin" 123456)
in_verify=$(inproc "$build/bench/docseal_bench" verify "$work/big.bin")
in_wrap=$("$build/bench/doclock_bench" 123456 "$card/enc.crt.der" "$work/wrap.bin" "$work/wrap.inproc")

echo
printf '%-24s %-36s | %-36s | ratio  peak\n' "" "ours: best wall, cpu, peak" "stock: best wall, cpu, peak"
row "sign $file_mib MiB" sign dgst "$file_mib"
row "verify $file_mib MiB" verify dgst "$file_mib"
row "sign tree $tree_files" tree_sign pipeline "$tree_mib"
row "verify tree $tree_files" tree_verify pipeline "$tree_mib"
row "encrypt $wrap_mib MiB" wrap cms_wrap "$wrap_mib"
row "decrypt $wrap_mib MiB" unwrap cms_unwrap "$wrap_mib"
echo "  (stock: openssl dgst -sha1; find | sort | xargs cat | sha1sum;"
echo "   openssl cms -encrypt | openssl cms -sign; openssl cms -verify | openssl cms -decrypt)"
echo
sha1_limit=$(limit "$file_mib" "$sha1")
echo "hardware limit, sha1 $(awk -v b="$sha1" 'BEGIN { printf "%.0f", b / 1e6 }') MB/s: $file_mib MiB in ${sha1_limit} s;" \
  "sign $(ratio "$(wall sign)" "$sha1_limit") x, verify $(ratio "$(wall verify)" "$sha1_limit") x the limit" \
  "(CPU time $(ratio "$(cpu sign)" "$sha1_limit") x and $(ratio "$(cpu verify)" "$sha1_limit") x)"
wrap_limit=$(awk -v m="$wrap_mib" -v a="$aes_enc" -v s="$sha256" 'BEGIN { printf "%.3f", m * 1048576 * (1 / a + 1 / s) }')
unwrap_limit=$(awk -v m="$wrap_mib" -v a="$aes_dec" -v s="$sha256" 'BEGIN { printf "%.3f", m * 1048576 * (1 / a + 1 / s) }')
echo "hardware limit, aes-256-cbc $(awk -v b="$aes_enc" 'BEGIN { printf "%.0f", b / 1e6 }') MB/s" \
  "(decrypt $(awk -v b="$aes_dec" 'BEGIN { printf "%.0f", b / 1e6 }') MB/s) + sha256 $(awk -v b="$sha256" 'BEGIN { printf "%.0f", b / 1e6 }') MB/s:" \
  "encrypt ${wrap_limit} s, decrypt ${unwrap_limit} s;" \
  "ours $(ratio "$(wall wrap)" "$wrap_limit") x and $(ratio "$(wall unwrap)" "$unwrap_limit") x the limit"
echo
echo "in one process (entry points, one run each):"
echo "  Signature $file_mib MiB ${in_sign% *} s, peak ${in_sign#* } KiB; Verify ${in_verify% *} s, peak ${in_verify#* } KiB"
echo "  $(echo "$in_wrap" | tr '\n' ' ')(seconds for $wrap_mib MiB)"
