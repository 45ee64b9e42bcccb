#!/bin/bash
# Signing with the external command and the throw-away key inside a SoftHSM2 token, as a studio
# signs with a hardware token; a PKCS#12 file with a password and a time stamp from a loopback
# RFC 3161 server; a failed signing that leaves no exe behind; and secrets of the settings that
# never reach the output.
# usage: check_signing.sh BUILD
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
cert=$build/codesign/throwaway-cert.pem
[ -f "$cert" ] || { echo "check_signing: the build signs with its own certificate; skipped"; exit 0; }
scratch=$(mktemp -d /tmp/quillor-signing.XXXXXX)
tsa_pid=""
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() { echo "check_signing: $*" >&2; exit 1; }

export SOFTHSM2_CONF=$scratch/softhsm2.conf
mkdir "$scratch/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$scratch/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label quillor --pin 1234 --so-pin 5678 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$build/codesign/throwaway-key.pem" -out "$scratch/key.p8"
softhsm2-util --import "$scratch/key.p8" --token quillor --label codesign --id 01 --pin 1234 >/dev/null
rm "$scratch/key.p8"
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so

exe="$scratch/Quillor - Updater.exe"
cp "$build/Quillor - Updater.unsigned.exe" "$exe"
cat >"$scratch/token.settings" <<SETTINGS
command=osslsigncode sign -pkcs11engine $engine -pkcs11module /usr/lib/softhsm/libsofthsm2.so -certs $cert -key 'pkcs11:token=quillor;object=codesign;type=private;pin-value=1234' -h sha256 -in {in} -out {out}
SETTINGS
bash "$source/cmake/sign.sh" "$scratch/token.settings" "$exe" || fail "token signing failed"
osslsigncode verify -CAfile "$cert" -in "$exe" >"$scratch/verify.txt" 2>&1 || { cat "$scratch/verify.txt"; fail "token signature refused"; }
cmp -s "$build/Quillor - Updater.unsigned.exe" "$scratch/Quillor - Updater.unsigned.exe" || fail "unsigned image not kept"
echo "check_signing: signed with the key in the token: $(grep -m1 '^Signature verification' "$scratch/verify.txt")"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/tsa-key.pem" -out "$scratch/tsa-cert.pem" \
    -days 30 -subj "/CN=Quillor test TSA" -addext "extendedKeyUsage=critical,timeStamping" \
    -addext "keyUsage=critical,digitalSignature" -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null
echo 01 >"$scratch/tsa-serial"
cat >"$scratch/tsa.cnf" <<CONFIG
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $scratch/tsa-serial
signer_cert = $scratch/tsa-cert.pem
signer_key = $scratch/tsa-key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
CONFIG
python3 "$(dirname "$0")/tsa_server.py" "$scratch/tsa.cnf" "$scratch/tsa-port" &
tsa_pid=$!
for _ in $(seq 100); do [ -s "$scratch/tsa-port" ] && break; sleep 0.1; done
[ -s "$scratch/tsa-port" ] || fail "the time-stamp server did not start"
# The same key as a password-protected PKCS#12 file, as certificate vendors hand it out.
echo "throw-away password" >"$scratch/p12.pass"
openssl pkcs12 -export -in "$cert" -inkey "$build/codesign/throwaway-key.pem" -out "$scratch/codesign.p12" \
    -passout "file:$scratch/p12.pass"
printf 'pkcs12=%s\npassword_file=%s\ntimestamp_url=http://127.0.0.1:%s\n' "$scratch/codesign.p12" \
    "$scratch/p12.pass" "$(cat "$scratch/tsa-port")" >"$scratch/stamped.settings"
cp "$build/Quillor - Updater.unsigned.exe" "$exe"
bash "$source/cmake/sign.sh" "$scratch/stamped.settings" "$exe" || fail "signing with a time stamp failed"
osslsigncode verify -CAfile "$cert" -TSA-CAfile "$scratch/tsa-cert.pem" -in "$exe" >"$scratch/verify.txt" 2>&1 &&
    grep -q "^Timestamp Server Signature verification: ok" "$scratch/verify.txt" ||
    { cat "$scratch/verify.txt"; fail "time-stamped signature refused"; }
echo "check_signing: PKCS#12 with a password, time-stamped: $(grep -m1 'Timestamp time' "$scratch/verify.txt" | tr -d '\t')"

printf 'cert=%s\nkey=%s\n' "$cert" "$scratch/no-such-key.pem" >"$scratch/bad.settings"
if bash "$source/cmake/sign.sh" "$scratch/bad.settings" "$exe" 2>"$scratch/error.txt"; then fail "signing without a key succeeded"; fi
[ ! -e "$exe" ] && [ ! -e "$exe.signing" ] || fail "a failed signing left an exe behind"
echo "check_signing: a failed signing leaves no exe: $(cat "$scratch/error.txt")"

# A token command whose URI and options carry a PIN and a password, failing with a message that
# repeats them: the failure names the command, but no secret reaches the output (a build log).
cat >"$scratch/secret.settings" <<'SETTINGS'
command=sh -c 'echo "no key at pkcs11:token=quillor;object=codesign;pin-value=9731 (-pass Kennwort8)" >&2; exit 1' -- -key 'pkcs11:token=quillor;object=codesign;pin-value=9731' -pass Kennwort8 --pin=9731 -passin pass:Kennwort8 pin-source=file:/keys/pin-2468 -in {in} -out {out}
SETTINGS
cp "$build/Quillor - Updater.unsigned.exe" "$exe"
if bash "$source/cmake/sign.sh" "$scratch/secret.settings" "$exe" >"$scratch/out.txt" 2>"$scratch/error.txt"; then
    fail "a failing signing command succeeded"
fi
! grep -E '9731|Kennwort8|2468' "$scratch/out.txt" "$scratch/error.txt" || fail "a secret of the signing settings was printed"
grep -q "the signing command failed: sh -c .*pin-value=\*\*\*" "$scratch/error.txt" || fail "the failure does not name the command"
settings_mode=$(stat -c %a "$build/codesign/settings")
[ "$settings_mode" = 600 ] || fail "$build/codesign/settings is readable by others (mode $settings_mode)"
echo "check_signing: secrets redacted: $(cat "$scratch/error.txt")"
