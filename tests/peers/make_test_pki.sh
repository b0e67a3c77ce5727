#!/bin/bash
# Makes the test PKI in the folder given as $1 with the openssl CLI:
#   root         RSA root CA ("Test Root CA")
#   inter        RSA intermediate CA, signed by root (pathlen 0)
#   rsa          leaf "localhost" (SAN localhost, 127.0.0.1), RSA 2048, signed by inter
#   ecdsa        leaf "localhost", P-256, signed by inter
#   ecdsa384     leaf "localhost", P-384, signed by inter
#   ed25519      leaf "localhost", Ed25519, signed by inter
#   expired      leaf "localhost", RSA, signed by inter, valid 2020-01-01 to 2021-01-01
#   wronghost    leaf "wrong.example" (SAN wrong.example), RSA, signed by inter
#   storage      leaf "localhost" (SAN localhost, *.blob.localhost, 127.0.0.1), RSA, signed by
#                inter: the storage emulator reached by account host names
#   selfsigned   self-signed leaf "localhost", RSA
#   forged       leaf "localhost" whose issuer names inter but signed by another key
#   noca         leaf "localhost" signed by the leaf rsa (which is no CA)
#   client       client certificate "Test Client", RSA, signed by root
#   clientec     client certificate "Test Client EC", P-256, signed by root
#   clientdsa    client certificate "Test Client DSA", DSA 2048, signed by root
# Each <name>.pem is the certificate, <name>.key its unencrypted PKCS #8 key, and
# <name>-chain.pem the certificate followed by the intermediate (for servers).
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

leaf_ext() {  # $1 = host
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment,keyAgreement\nextendedKeyUsage=serverAuth,clientAuth\nsubjectAltName=DNS:%s,IP:127.0.0.1\n' "$1"
}

key() {  # $1 = name, $2 = kind
  case $2 in
    rsa) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null ;;
    p256) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" ;;
    p384) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out "$1.key" ;;
    ed25519) openssl genpkey -algorithm ED25519 -out "$1.key" ;;
    dsa)
      openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -out "$1.param" 2>/dev/null
      openssl genpkey -paramfile "$1.param" -out "$1.key"
      rm -f "$1.param" ;;
  esac
}

sign() {  # $1 = name, $2 = subject, $3 = issuer name, $4 = extension text
  local md=()
  [ "$(openssl pkey -in "$3.key" -noout -text 2>/dev/null | head -1 | grep -c ED25519)" = 1 ] || md=(-sha256)
  openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  printf '%s\n' "$4" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 3650 "${md[@]}" -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}

key root rsa
openssl req -x509 -new -key root.key -subj "/C=US/O=Tarnwick Tests/CN=Test Root CA" -days 3650 -sha256 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out root.pem

key inter rsa
sign inter "/C=US/O=Tarnwick Tests/CN=Test Intermediate CA" root \
  "$(printf 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign')"

for spec in rsa:rsa ecdsa:p256 ecdsa384:p384 ed25519:ed25519; do
  name=${spec%%:*}
  key "$name" "${spec##*:}"
  sign "$name" "/C=US/O=Tarnwick Tests/CN=localhost" inter "$(leaf_ext localhost)"
done

key storage rsa
sign storage "/C=US/O=Tarnwick Tests/CN=localhost" inter \
  "$(leaf_ext localhost | sed 's/^subjectAltName=DNS:localhost,/subjectAltName=DNS:localhost,DNS:*.blob.localhost,/')"

key wronghost rsa
sign wronghost "/C=US/O=Tarnwick Tests/CN=wrong.example" inter "$(leaf_ext wrong.example)"

key selfsigned rsa
openssl req -x509 -new -key selfsigned.key -subj "/CN=localhost" -days 3650 -sha256 \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -out selfsigned.pem

# Expired: openssl ca takes explicit dates.
key expired rsa
openssl req -new -key expired.key -subj "/C=US/O=Tarnwick Tests/CN=localhost" -out expired.csr
mkdir -p ca-db && : > ca-db/index.txt && echo 1000 > ca-db/serial
cat > ca.cnf <<CNF
[ca]
default_ca = d
[d]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = p
copy_extensions = none
unique_subject = no
[p]
commonName = supplied
[x]
$(leaf_ext localhost)
CNF
openssl ca -batch -config ca.cnf -cert inter.pem -keyfile inter.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20210101000000Z -extensions x -notext 2>/dev/null

# Forged: names the intermediate as issuer, signed by a key of its own.
key forger rsa
openssl req -x509 -new -key forger.key -subj "/C=US/O=Tarnwick Tests/CN=Test Intermediate CA" -days 3650 \
  -sha256 -out forger.pem
key forged rsa
sign forged "/C=US/O=Tarnwick Tests/CN=localhost" forger "$(leaf_ext localhost)"

# Signed by a leaf that is no CA.
key noca rsa
sign noca "/C=US/O=Tarnwick Tests/CN=localhost" rsa "$(leaf_ext localhost)"

key client rsa
sign client "/C=US/O=Tarnwick Tests/CN=Test Client" root \
  "$(printf 'basicConstraints=critical,CA:FALSE\nextendedKeyUsage=clientAuth')"
key clientec p256
sign clientec "/C=US/O=Tarnwick Tests/CN=Test Client EC" root \
  "$(printf 'basicConstraints=critical,CA:FALSE\nextendedKeyUsage=clientAuth')"
key clientdsa dsa
sign clientdsa "/C=US/O=Tarnwick Tests/CN=Test Client DSA" root \
  "$(printf 'basicConstraints=critical,CA:FALSE\nextendedKeyUsage=clientAuth')"

for name in rsa ecdsa ecdsa384 ed25519 expired wronghost forged storage; do
  cat "$name.pem" inter.pem > "$name-chain.pem"
done
cat forged.pem inter.pem > forged-chain.pem
cat noca.pem rsa.pem inter.pem > noca-chain.pem
cp selfsigned.pem selfsigned-chain.pem
rm -f ./*.csr ./*.ext
