#!/bin/sh
# Makes the signature test vectors of the operating-system layer with the openssl command, into
# the directory given as the only argument. The same files serve the Linux and the Windows build.
set -eu
out=$1
mkdir -p "$out"
cd "$out"
[ -f done ] && exit 0

openssl genrsa -out key.pem 3072 2>/dev/null
openssl genrsa -out other.pem 3072 2>/dev/null
openssl rsa -in key.pem -noout -modulus | sed 's/^Modulus=//' | tr 'A-F' 'a-f' > modulus.hex

printf '{"schema":1,"platform":"windows-x64","note":"signed bytes"}' > payload.bin
openssl dgst -sha256 -binary payload.bin > digest.bin

sign() { openssl dgst "$@" -out "$sig" payload.bin; }
sig=valid.sig;    sign -sha256 -sign key.pem
sig=pss.sig;      sign -sha256 -sign key.pem -sigopt rsa_padding_mode:pss
sig=sha1.sig;     sign -sha1 -sign key.pem
sig=sha384.sig;   sign -sha384 -sign key.pem
sig=otherkey.sig; sign -sha256 -sign other.pem

# One byte short and one byte long.
head -c 383 valid.sig > short.sig
{ cat valid.sig; printf 'x'; } > long.sig
touch done
