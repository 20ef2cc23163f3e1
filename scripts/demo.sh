#!/bin/sh
# The demo: provisions the default card (once: a card already there is kept),
# starts the demo validation service on 127.0.0.1 and runs the main jobs with
# the command-line tools, saying what each step did.
# usage: demo.sh [BUILD]   (the build folder, default build)
set -eu
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
card=$build/card
work=$build/demo
docseal=$build/tools/docseal
doclock=$build/tools/doclock
responder=$build/tools/xkms-responder
pin=123456
responder_pid=""

say() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$*"; }
# have TOOL COMMAND: the tool is built and offers the command.
have() { [ -x "$1" ] && "$1" --help 2>/dev/null | grep -q "^  $2 "; }
skip() { note "(skipped: '$*' is not in this build yet)"; }
# expect STATUS COMMAND...: runs the command, which must end with STATUS.
expect() {
  want=$1
  shift
  set +e
  "$@"
  got=$?
  set -e
  if [ "$got" != "$want" ]; then
    echo "demo: expected exit status $want, got $got from: $*" >&2
    exit 1
  fi
  note "exit status $got, as expected"
}
stop_responder() {
  if [ -n "$responder_pid" ]; then
    kill "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
    responder_pid=""
  fi
}
trap stop_responder EXIT INT TERM

say "The default card: a SoftHSM2 token in $card (made on the first run, then kept)"
# The card's module keeps one listing order from one card start to the next.
module=$build/libcard_listing_order.so
[ -f "$module" ] || module=""
"$here/provision-card.sh" "$card" "$build/card_order_probe" $module
export SOFTHSM2_CONF="$card/softhsm2.conf"
export LD_LIBRARY_PATH="$card/module"
note "the card library reaches it through the link $card/module/aetpkss1.dll"

say "Starting the demo validation service on 127.0.0.1"
rm -rf "$work" && mkdir -p "$work"
"$responder" --ca "$card/ca.crt.pem" --revoked "$card/revoked.txt" \
  --port-file "$work/port" 2> "$work/responder.log" &
responder_pid=$!
i=0
while [ ! -s "$work/port" ]; do
  i=$((i + 1))
  [ $i -le 100 ] || { cat "$work/responder.log" >&2; exit 1; }
  sleep 0.05
done
url=http://127.0.0.1:$(cat "$work/port")/xkms
note "it judges certificates against the demo CA at $url"

say "A sample directory and a file to sign"
mkdir -p "$work/contract/annex" "$work/contract/photos"
echo "The parties agree to the terms below." > "$work/contract/terms.txt"
echo "Payment within 30 days." > "$work/contract/annex/payment schedule.txt"
printf 'caf\303\251 receipt\n' > "$work/contract/annex/$(printf 're\303\247u.txt')"
head -c 200000 /dev/urandom > "$work/contract/photos/site.jpg"
echo "Quarterly report: all figures final." > "$work/report.txt"
(cd "$work" && find contract report.txt -type f | sort | sed 's/^/   /')

say "Signing the directory and the file with the card (PIN given on standard input)"
if have "$docseal" sign; then
  echo $pin | "$docseal" sign --pin-stdin --signer "Alice Demo" "$work/contract"
  echo $pin | "$docseal" sign --pin-stdin --signer "Alice Demo" "$work/report.txt"
  note "a directory's signature is contract/dir.sig inside it, a file's report.txt.sig"
else
  skip "docseal sign"
fi

say "Verifying both: valid (intact, and the signer's certificate leads to the demo CA)"
if have "$docseal" verify && [ -f "$work/contract/dir.sig" ]; then
  "$docseal" verify --ca "$card/ca.crt.pem" "$work/contract"
  "$docseal" verify --ca "$card/ca.crt.pem" "$work/report.txt"
  note "without --ca the demo CA is not trusted: intact, but not valid (exit 50)"
  expect 50 "$docseal" verify "$work/report.txt"
  note "the signer's text, read from the signature:"
  "$docseal" info "$work/report.txt.sig" | sed 's/^/   /'
else
  skip "docseal verify"
fi

say "Changing a file and adding one, then verifying again: not valid, with the names"
if have "$docseal" verify && [ -f "$work/contract/dir.sig" ]; then
  echo "Payment within 90 days." > "$work/contract/annex/payment schedule.txt"
  echo "a note slipped in later" > "$work/contract/extra.txt"
  expect 8 "$docseal" verify --ca "$card/ca.crt.pem" "$work/contract"
  echo "Quarterly report: figures revised." > "$work/report.txt"
  expect 7 "$docseal" verify --ca "$card/ca.crt.pem" "$work/report.txt"
  note "the same answer as JSON:"
  set +e
  "$docseal" verify --ca "$card/ca.crt.pem" --json "$work/contract" | sed 's/^/   /'
  set -e
else
  skip "docseal verify"
fi

say "The signer's certificate, taken from the directory's signature"
if have "$docseal" cert && [ -f "$work/contract/dir.sig" ]; then
  "$docseal" cert --pem --output "$work/signer.pem" "$work/contract/dir.sig"
  openssl x509 -in "$work/signer.pem" -noout -subject -serial | sed 's/^/   /'
else
  skip "docseal cert"
fi

say "The card's signing certificate and its fields"
if have "$docseal" card; then
  "$docseal" card | grep -v '^certificate:' | sed 's/^/   /'
else
  "$build/tests/cardcrypto/card_demo" | sed 's/^/   /'
fi

say "Validating certificates with the service"
if have "$docseal" validate; then
  note "the card's own certificate:"
  "$docseal" validate --url "$url" --card
  note "a revoked one (its serial is in revoked.txt):"
  expect 24 "$docseal" validate --url "$url" "$card/revoked.crt.pem"
  note "an expired one (valid during 2020 only):"
  expect 25 "$docseal" validate --url "$url" "$card/expired.crt.pem"
else
  skip "docseal validate"
fi

say "Wrapping data for the encryption certificate and unwrapping it with the card"
if have "$doclock" encrypt && have "$doclock" decrypt; then
  echo $pin | "$doclock" encrypt --pin-stdin --cert "$card/enc.crt.pem" \
    --output "$work/report.p7" "$work/report.txt"
  echo $pin | "$doclock" decrypt --pin-stdin --output "$work/report.out" "$work/report.p7"
  cmp "$work/report.txt" "$work/report.out"
  note "the unwrapped bytes equal the original ($(wc -c < "$work/report.txt") bytes)"
  if have "$doclock" cert; then
    note "the signer's certificate inside the structure:"
    "$doclock" cert --pem "$work/report.p7" | openssl x509 -noout -subject | sed 's/^/   /'
  fi
else
  skip "doclock encrypt/decrypt"
fi

say "Stopping the validation service"
stop_responder
note "what it judged:"
sed 's/^xkms-responder: /   /' "$work/responder.log"
say "Done. The files of the demo are in $work"
