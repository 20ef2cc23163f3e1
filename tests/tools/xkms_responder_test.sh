#!/bin/sh
# The demo validation service over HTTP with curl: each certificate of the
# table is posted in a "Validate" request and the answer must hold the
# status and reason the client searches for.
# usage: xkms_responder_test.sh RESPONDER   (VORPIN_CARD_DIR: the demo certificates)
set -eu
responder=$1
card=${VORPIN_CARD_DIR:?}
work=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill $pid 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
fail=0

# Certificates the demo does not make: from another CA of the same name
# (with an authority key identifier that tells them apart, and without one,
# where only the signature does), from a CA of another name, and the
# signing certificate with one byte of its signature changed.
openssl req -x509 -new -newkey rsa:2048 -nodes -keyout other-ca.key -out other-ca.pem \
  -days 30 -subj "/C=XX/O=Example CA/CN=Example Demo CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
printf 'authorityKeyIdentifier = keyid\n' > aki.cnf
openssl req -new -newkey rsa:1024 -nodes -keyout stranger.key -out stranger.csr \
  -subj "/C=XX/O=Example Org/CN=Stranger" 2>/dev/null
openssl x509 -req -in stranger.csr -CA other-ca.pem -CAkey other-ca.key -set_serial 7 -days 30 \
  -extfile aki.cnf -out stranger-aki.pem 2>/dev/null
openssl x509 -req -in stranger.csr -CA other-ca.pem -CAkey other-ca.key -set_serial 8 -days 30 \
  -out stranger-no-aki.pem 2>/dev/null
openssl x509 -req -in stranger.csr -CA stranger-no-aki.pem -CAkey stranger.key -set_serial 9 \
  -days 30 -out self-chain.pem 2>/dev/null
cp "$card/sign.crt.der" tampered.der
size=$(wc -c < tampered.der)
last=$(od -An -tu1 -j $((size - 1)) tampered.der | tr -d ' ')
printf "$(printf '\\%03o' $(((last + 1) % 256)))" |
  dd of=tampered.der bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
cp "$card/revoked.txt" revoked.txt

"$responder" --ca "$card/ca.crt.pem" --revoked revoked.txt --port-file port --quiet &
pid=$!
i=0
while [ ! -s port ]; do
  i=$((i + 1))
  [ $i -gt 100 ] && { echo "responder did not start" >&2; exit 1; }
  sleep 0.05
done
url=http://127.0.0.1:$(cat port)/xkms

b64() { case $1 in *.der) base64 -w0 < "$1" ;; *) openssl x509 -in "$1" -outform DER | base64 -w0 ;; esac; }
post() {
  printf '%s' '<?xml version="1.0" encoding="BIG5"?><Validate xmlns="http://www.xkms.org/schema/xkms-2001-01-20"  xmlns:ds="http://www.w3.org/2000/09/xmldsig#"><Query><Status>Valid</Status><ds:KeyInfo><ds:X509Data><ds:X509Certificate>'"$1"'</ds:X509Certificate></ds:X509Data></ds:KeyInfo></Query><Respond><string>KeyName</string></Respond></Validate>' |
    curl -s -0 -A ICCertificate --data-binary @- "$url"
}
# expect NAME CERT-BASE64 TEXT-THAT-MUST-APPEAR [TEXT-THAT-MUST-NOT]
expect() {
  answer=$(post "$2")
  case $answer in *"$3"*) ;; *) echo "FAIL $1: no '$3' in: $answer"; fail=1; return ;; esac
  if [ $# -ge 4 ]; then
    case $answer in *"$4"*) echo "FAIL $1: '$4' in: $answer"; fail=1; return ;; esac
  fi
  echo "ok   $1"
}

expect card_signing_cert "$(b64 "$card/sign.crt.der")" \
  "<Result>Success</Result><Answer><KeyBinding><Status>Valid</Status>" "</Reason>"
expect card_encryption_cert "$(b64 "$card/enc.crt.pem")" "<Status>Valid</Status>"
expect revoked "$(b64 "$card/revoked.crt.der")" \
  "<Status>Invalid</Status><Reason>Status</Reason><KeyName>" "Valid</Status>"
expect expired "$(b64 "$card/expired.crt.der")" \
  "<Status>Invalid</Status><Reason>ValidateInterval</Reason><KeyName>" "Valid</Status>"
expect other_ca_same_name "$(b64 stranger-aki.pem)" \
  "<Status>Invalid</Status><Reason>IssureTrust</Reason><KeyName>" "Valid</Status>"
expect other_ca_same_name_no_key_id "$(b64 stranger-no-aki.pem)" \
  "<Status>Invalid</Status><Reason>IssureTrust</Reason><KeyName>" "Signature</Reason>"
expect other_ca_other_name "$(b64 self-chain.pem)" \
  "<Status>Invalid</Status><Reason>IssureTrust</Reason><KeyName>" "Valid</Status>"
expect tampered_signature "$(b64 tampered.der)" \
  "<Status>Invalid</Status><Reason>Signature</Reason><KeyName>" "Valid</Status>"
expect not_base64 'not*base64' "<Result>Failure</Result>" "Success</Result>"
expect not_a_certificate "$(printf 'hello, world' | base64 -w0)" "<Result>Failure</Result>"
expect empty_certificate "" "<Result>Failure</Result>"
# The revoked list is read for every request: revoking the card's
# certificate shows at once, in openssl's "serial=" form.
openssl x509 -in "$card/sign.crt.pem" -noout -serial >> revoked.txt
expect newly_revoked "$(b64 "$card/sign.crt.der")" "<Reason>Status</Reason>" "Valid</Status>"
# The request is read as XML: the certificate element is found by its
# namespace, whatever the prefix, and only inside a Validate document.
cert=$(b64 "$card/sign.crt.der")
post_raw() { printf '%s' "$1" | curl -s -0 -A ICCertificate --data-binary @- "$url"; }
answer=$(post_raw '<Validate xmlns="http://www.xkms.org/schema/xkms-2001-01-20"><Query><s:KeyInfo xmlns:s="http://www.w3.org/2000/09/xmldsig#"><s:X509Data><s:X509Certificate>'"$cert"'</s:X509Certificate></s:X509Data></s:KeyInfo></Query></Validate>')
case $answer in *"<Result>Success</Result>"*) echo "ok   other_prefix" ;; *) echo "FAIL other_prefix: $answer"; fail=1 ;; esac
for row in \
  "validate_in_comment|<Other><!-- <Validate --><ds:X509Certificate xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">$cert</ds:X509Certificate></Other>" \
  "other_namespace|<Validate xmlns:ds=\"urn:other\"><ds:X509Certificate>$cert</ds:X509Certificate></Validate>" \
  "not_well_formed|<Validate xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:X509Certificate>$cert</ds:X509Certificate>" \
  "with_dtd|<!DOCTYPE Validate [<!ENTITY c \"$cert\">]><Validate xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:X509Certificate>&c;</ds:X509Certificate></Validate>"; do
  answer=$(post_raw "${row#*|}")
  case $answer in
    *"<Result>Failure</Result>"*) echo "ok   ${row%%|*}" ;;
    *) echo "FAIL ${row%%|*}: $answer"; fail=1 ;;
  esac
done
# The list breaking while the service runs: every answer is a failure,
# never "Valid", until the list can be read again.
cp revoked.txt revoked.good
for row in "malformed|printf 'not a serial\\n' >> revoked.txt" "missing|rm revoked.txt" \
  "unreadable|rm revoked.txt; mkdir revoked.txt"; do
  cp revoked.good revoked.txt 2>/dev/null || { rm -rf revoked.txt; cp revoked.good revoked.txt; }
  sed -i '$d' revoked.txt  # the card's certificate is no longer revoked
  sh -c "${row#*|}"
  expect "list_${row%%|*}_while_running" "$cert" "<Result>Failure</Result>" "Valid</Status>"
done
rm -rf revoked.txt && cp revoked.good revoked.txt && sed -i '$d' revoked.txt
expect list_readable_again "$cert" "<Status>Valid</Status>"
# Not a Validate request, and not a POST.
answer=$(printf 'hello' | curl -s -0 --data-binary @- "$url")
case $answer in *"<Result>Failure</Result>"*) echo "ok   not_validate" ;; *) echo "FAIL not_validate: $answer"; fail=1 ;; esac
code=$(curl -s -o /dev/null -w '%{http_code}' "$url")
[ "$code" = 405 ] && echo "ok   get_refused" || { echo "FAIL get_refused: $code"; fail=1; }

kill $pid && wait $pid 2>/dev/null || true
pid=""

# A revoked list that is missing, unreadable or malformed, or a CA that
# cannot be read: the service refuses to start (2) and listens nowhere.
printf '0A\nnot-a-serial\n' > malformed.txt
mkdir -p a-directory
for row in "missing_list|--revoked absent.txt|does not exist" \
  "unreadable_list|--revoked a-directory|cannot be read" \
  "malformed_list|--revoked malformed.txt|line 2" \
  "unreadable_ca|--revoked revoked.txt --ca absent.pem|CA certificate"; do
  rm -f port
  # shellcheck disable=SC2046
  status=0
  timeout 10 "$responder" --ca "$card/ca.crt.pem" $(echo "${row#*|}" | cut -d'|' -f1) \
    --port-file port > out 2> err || status=$?
  want=${row##*|}
  if [ $status = 2 ] && [ ! -e port ] && grep -q "$want" err; then
    echo "ok   refuses_${row%%|*}"
  else
    echo "FAIL refuses_${row%%|*}: exit $status, $(cat err)"
    fail=1
  fi
done
exit $fail
