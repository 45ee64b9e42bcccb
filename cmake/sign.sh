#!/bin/bash
# Signs the linked "Quillor - Updater.exe" with Authenticode; keeps the unsigned image beside it.
# usage: sign.sh SETTINGS EXE
# SETTINGS is written by cmake/win-release.cmake, one "name=value" per line, value to the line end:
#   pkcs12=/keys/studio.p12
#   password_file=/keys/studio.pass
#   cert=
#   key=
#   timestamp_url=http://timestamp.example.com
#   command=osslsigncode sign -pkcs11module /usr/lib/softhsm/libsofthsm2.so ... -in {in} -out {out}
set -euo pipefail
settings=$1
exe=$2
unsigned="${exe%.exe}.unsigned.exe"
signing="$exe.signing"
# Settings may hold secrets (a PKCS#11 URI with a PIN, a password option) and so may what a
# signing tool says about them; everything printed goes through this, so none reaches a build log.
redact() {
    sed -E -e "s/(pin-(value|source)=)[^;&?'\" ]*/\1***/g" \
        -e "s/(^|[^A-Za-z0-9_-])(--?(pass|passin|passout|password|pin|so-pin))([ =]+)('[^']*'|\"[^\"]*\"|[^ '\"]+)/\1\2\4***/g" \
        -e "s/(pass:)[^ '\"]*/\1***/g"
}
fail() {
    echo "sign.sh: $*" | redact >&2
    # NB: an exe left unsigned under its real name would be shipped as if signed.
    rm -f "$exe" "$signing"
    exit 1
}

pkcs12="" password_file="" cert="" key="" timestamp_url="" command=""
while IFS= read -r line || [ -n "$line" ]; do
    name=${line%%=*}
    value=${line#*=}
    case $name in
        pkcs12|password_file|cert|key|timestamp_url|command) printf -v "$name" '%s' "$value" ;;
        "") ;;
        *) fail "unknown setting '$name' in $settings" ;;
    esac
done < "$settings"

# The link output as it is: what a rebuild from the same source must reproduce bit for bit.
cp -f "$exe" "$unsigned"
rm -f "$signing"

if [ -n "$command" ]; then
    # The external command (for a key in a token) reads {in} and writes {out}.
    cmd=${command//\{in\}/$(printf '%q' "$unsigned")}
    cmd=${cmd//\{out\}/$(printf '%q' "$signing")}
    output=$(bash -c "$cmd" 2>&1) || fail "the signing command failed: $command: $output"
    [ -z "$output" ] || printf '%s\n' "$output" | redact
else
    args=(sign -h sha256 -n "Quillor - Updater")
    if [ -n "$pkcs12" ]; then
        args+=(-pkcs12 "$pkcs12")
    elif [ -n "$cert" ] && [ -n "$key" ]; then
        args+=(-certs "$cert" -key "$key")
    else
        fail "no signing key: give QUILLOR_SIGN_PKCS12, QUILLOR_SIGN_CERT with QUILLOR_SIGN_KEY, or QUILLOR_SIGN_COMMAND"
    fi
    [ -n "$password_file" ] && args+=(-readpass "$password_file")
    [ -n "$timestamp_url" ] && args+=(-ts "$timestamp_url")
    # A fixed signing time makes the signed file repeatable too (same key, same certificate).
    [ -n "${SOURCE_DATE_EPOCH:-}" ] && args+=(-time "$SOURCE_DATE_EPOCH")
    # Older osslsigncode versions report errors on stdout: keep both for the message.
    output=$(osslsigncode "${args[@]}" -in "$unsigned" -out "$signing" 2>&1) ||
        fail "osslsigncode could not sign $exe: $output"
fi
[ -s "$signing" ] || fail "signing wrote no file"
chmod --reference="$unsigned" "$signing"
mv -f "$signing" "$exe"
