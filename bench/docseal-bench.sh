#!/bin/sh
# Signs and verifies a big file and a tree of small files on the build's
# SoftHSM2 card, and compares the times with the stock tools over the same
# bytes: `openssl dgst -sha1` and `sha1sum` for the file, `find | sort |
# xargs cat | sha1sum` for the tree. Reports the ratios and the peak
# resident memory. Needs a build whose card is provisioned (ctest -R
# card.provision).
# usage: docseal-bench.sh BUILD_DIR [FILE_MIB (1024)] [TREE_FILES (20000)]
set -eu
build=$(cd "$1" && pwd)
mib=${2:-1024}
files=${3:-20000}
bench=$build/bench/docseal_bench
card=$build/card
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }
[ -f "$card/softhsm2.conf" ] || { echo "provision the card first (ctest -R card.provision)" >&2; exit 1; }
export SOFTHSM2_CONF=$card/softhsm2.conf
export LD_LIBRARY_PATH=$card/module
pin=123456
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { awk "BEGIN { printf \"%.3f\", $2 - $1 }"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

echo "making a file of $mib MiB and a tree of $files files of 4 KiB in $work"
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/big.bin"
mkdir "$work/tree"
# 500 files to a directory, each 4 KiB of random bytes split out of one stream.
left=$files
d=0
while [ "$left" -gt 0 ]; do
  n=$((left < 500 ? left : 500))
  mkdir "$work/tree/d$d"
  head -c $((n * 4096)) /dev/urandom | split -a 3 -b 4096 - "$work/tree/d$d/f"
  left=$((left - n))
  d=$((d + 1))
done

# Everything once through the page cache, so that each measurement reads
# from memory.
cat "$work/big.bin" > /dev/null
find "$work/tree" -type f | sort | xargs cat > /dev/null

t0=$(now); openssl dgst -sha1 "$work/big.bin" > /dev/null; t1=$(now)
openssl_file=$(elapsed "$t0" "$t1")
t0=$(now); sha1sum "$work/big.bin" > /dev/null; t1=$(now)
sha1sum_file=$(elapsed "$t0" "$t1")
t0=$(now); (cd "$work" && find tree -type f | sort | xargs cat | sha1sum > /dev/null); t1=$(now)
sha1sum_tree=$(elapsed "$t0" "$t1")

sign_file=$("$bench" sign "$work/big.bin" $pin)
verify_file=$("$bench" verify "$work/big.bin")
sign_tree=$("$bench" sign "$work/tree" $pin)
verify_tree=$("$bench" verify "$work/tree")

for line in "$sign_file" "$verify_file" "$sign_tree" "$verify_tree"; do echo "  $line"; done
echo "file $mib MiB: openssl dgst -sha1 ${openssl_file}s, sha1sum ${sha1sum_file}s"
for pair in "sign:$sign_file" "verify:$verify_file"; do
  s=$(echo "${pair#*:}" | field seconds)
  echo "  ${pair%%:*} ${s}s = $(ratio "$s" "$openssl_file") x openssl dgst, $(ratio "$s" "$sha1sum_file") x sha1sum (target 1.15 x openssl)"
done
echo "tree $files x 4 KiB: find | sort | xargs cat | sha1sum ${sha1sum_tree}s"
for pair in "sign:$sign_tree" "verify:$verify_tree"; do
  s=$(echo "${pair#*:}" | field seconds)
  echo "  ${pair%%:*} ${s}s = $(ratio "$s" "$sha1sum_tree") x the pipeline (target 1.5)"
done
for pair in "sign file:$sign_file" "verify file:$verify_file" "sign tree:$sign_tree" "verify tree:$verify_tree"; do
  echo "  peak resident memory, ${pair%%:*}: $(echo "${pair#*:}" | field peak_rss_kib) KiB (target below 65536)"
done
