#!/bin/sh
# Makes the demo CA and the card holder's signing and encryption keys and
# certificates in DIR (PEM and DER). Holder certificates: RSA-1024,
# 16-byte serials, nine extensions in a fixed order: index 6 is a
# subjectAltName with one e-mail address, index 7 a card-profile extension
# whose printed value ends in the four-character code "HC01".
set -eu
dir=$1
cd "$dir"

serial() { printf '0x%s%s' "$(od -An -N1 -tu1 /dev/urandom | awk '{printf "%02x", $1 % 112 + 16}')" \
  "$(openssl rand -hex 15)"; }

cat > ca.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
C = XX
O = Example CA
CN = Example Demo CA
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF

cat > holder.cnf <<'CNF'
[sign_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
certificatePolicies = 1.3.6.1.4.1.55555.1.1
extendedKeyUsage = emailProtection, clientAuth
subjectAltName = email:alice.demo@example.org
1.3.6.1.4.1.55555.2.1 = ASN1:PRINTABLESTRING:HC01
crlDistributionPoints = URI:http://127.0.0.1/demo-ca.crl
[enc_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, keyEncipherment, dataEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
certificatePolicies = 1.3.6.1.4.1.55555.1.1
extendedKeyUsage = emailProtection
subjectAltName = email:alice.demo@example.org
1.3.6.1.4.1.55555.2.1 = ASN1:PRINTABLESTRING:HC01
crlDistributionPoints = URI:http://127.0.0.1/demo-ca.crl
CNF

openssl req -x509 -new -newkey rsa:2048 -nodes -keyout ca.key.pem -out ca.crt.pem \
  -days 3650 -config ca.cnf -extensions ca_ext -set_serial "$(serial)" -sha256
openssl x509 -in ca.crt.pem -outform DER -out ca.crt.der

for role in sign enc; do
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out $role.key.p8.pem
  openssl pkey -in $role.key.p8.pem -traditional -out $role.key.pem
  openssl req -new -key $role.key.p8.pem -out $role.csr.pem \
    -subj "/C=XX/O=Example Org/OU=Demo/CN=Alice Demo"
  openssl x509 -req -in $role.csr.pem -CA ca.crt.pem -CAkey ca.key.pem -set_serial "$(serial)" \
    -days 1825 -sha256 -extfile holder.cnf -extensions ${role}_ext -out $role.crt.pem
  openssl x509 -in $role.crt.pem -outform DER -out $role.crt.der
done
rm -f sign.csr.pem enc.csr.pem
