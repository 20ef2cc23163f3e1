#!/bin/sh
# Makes the certificate corpus of the fuzz targets in DIR: the demo card's
# certificates (scripts/make-demo-certs.sh) and a few of other shapes: an
# EC and a DSA key, names in BMPString and UTF8String with a multi-valued
# RDN, no extensions at all, and an extension 6 without an e-mail address.
# All DER. Run it again only to renew the checked-in corpus.
# usage: make-cert-corpus.sh DIR
set -eu
out=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
sh "$top/scripts/make-demo-certs.sh" "$work" >/dev/null 2>&1
cp sign.crt.der "$out/demo-sign.der"
cp enc.crt.der "$out/demo-enc.der"
cp ca.crt.der "$out/demo-ca-rsa2048.der"

self_signed() { # name key-options subject extension-section
  name=$1 keyopts=$2 subj=$3 section=$4
  # shellcheck disable=SC2086
  openssl genpkey $keyopts -out "$name.key" 2>/dev/null
  openssl req -x509 -new -key "$name.key" -out "$name.pem" -days 30 -subj "$subj" -utf8 \
    -multivalue-rdn -set_serial 0x0102030405060708090A0B0C0D0E0F10 -config ext.cnf \
    -extensions "$section"
  openssl x509 -in "$name.pem" -outform DER -out "$out/$name.der"
}

cat > ext.cnf <<'CNF'
[req]
distinguished_name = dn
string_mask = MASK:0x800
[dn]
[no_ext]
[six_no_mail]
basicConstraints = CA:FALSE
keyUsage = digitalSignature
subjectKeyIdentifier = hash
certificatePolicies = 1.3.6.1.4.1.55555.1.1
extendedKeyUsage = clientAuth
crlDistributionPoints = URI:http://127.0.0.1/a.crl
subjectAltName = DNS:card.example.org
CNF

openssl dsaparam -out dsa.param 1024 2>/dev/null
self_signed ec-p256 "-algorithm EC -pkeyopt ec_paramgen_curve:P-256" "/C=XX/CN=EC Holder" no_ext
self_signed dsa-1024 "-paramfile dsa.param" "/C=XX/CN=DSA Holder" no_ext
self_signed rsa-no-extensions "-algorithm RSA -pkeyopt rsa_keygen_bits:1024" \
  "/C=XX/O=Example/CN=No Extensions" no_ext
self_signed rsa-bmp-names "-algorithm RSA -pkeyopt rsa_keygen_bits:1024" \
  "/C=XX/O= Lead Space+OU=Multi/CN=#Hash $(printf '\344\270\255\346\226\207') " six_no_mail
