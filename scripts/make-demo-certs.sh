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

# Two more holder certificates of the demo CA, for the validation service:
# revoked.crt (its serial is on the list revoked.txt) and expired.crt (valid
# during 2020 only, signed through `openssl ca`, the one command that takes
# dates in the past). Both RSA-1024 with the signing profile.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out other.key.pem
for who in revoked:"Bob Revoked" expired:"Carol Expired"; do
  openssl req -new -key other.key.pem -out "${who%%:*}.csr.pem" \
    -subj "/C=XX/O=Example Org/OU=Demo/CN=${who#*:}"
done
openssl x509 -req -in revoked.csr.pem -CA ca.crt.pem -CAkey ca.key.pem -set_serial "$(serial)" \
  -days 1825 -sha256 -extfile holder.cnf -extensions sign_ext -out revoked.crt.pem
{
  echo "# Serial numbers (hex) the demo CA has revoked, one a line."
  openssl x509 -in revoked.crt.pem -noout -serial | sed 's/^serial=//'
} > revoked.txt

rm -rf ca-db && mkdir ca-db && : > ca-db/index.txt
serial | sed 's/^0x//' > ca-db/serial
cat > expired.cnf <<'CNF'
[ca]
default_ca = demo
[demo]
database = ca-db/index.txt
new_certs_dir = ca-db
serial = ca-db/serial
certificate = ca.crt.pem
private_key = ca.key.pem
default_md = sha256
policy = any
preserve = yes
unique_subject = no
email_in_dn = no
[any]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = supplied
CNF
openssl ca -batch -config expired.cnf -notext -startdate 20200101000000Z \
  -enddate 20201231235959Z -in expired.csr.pem -out expired.crt.pem \
  -extfile holder.cnf -extensions sign_ext
for c in revoked expired; do openssl x509 -in $c.crt.pem -outform DER -out $c.crt.der; done
rm -rf ca-db expired.cnf revoked.csr.pem expired.csr.pem
