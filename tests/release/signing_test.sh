#!/bin/sh
# Signs a release with a throwaway self-signed code-signing certificate made
# here, and checks: the files in dist/ and their checksum files, the signature
# verified by osslsigncode against that certificate (and not against another
# one), the signed executable without its signature byte for byte the
# unsigned build beside it (and the build's own, when that is a Release one),
# the zip and the Velociraptor artifact holding the signed executable, and its
# help screen under Wine the unsigned one's. Then runs that fail with dist/
# holding that release: a wrong password, a certificate for web servers only,
# a missing certificate file, a time-stamp server that cannot be reached, an
# unknown option; each has to say why and leave dist/ as it was. Last, a
# release without --sign takes the unsigned build's files away again.
# Usage: signing_test.sh SOURCE_DIR WORK_DIR REFERENCE_EXE VERSION BUILD_TYPE
set -eu
. "$(dirname "$0")/lib.sh"

release="$source_dir/scripts/release"
package="Murkscope64-$version-win64.zip"
artifact="Murkscope64-$version.velociraptor.yaml"
dist="$work_dir/dist"
prefix="$work_dir/wineprefix"
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT
export MURKSCOPE_RELEASE_BUILD_DIR="$work_dir/build"
export MURKSCOPE_DIST_DIR="$dist"
export MURKSCOPE_SIGN_PASSWORD="throwaway pass"

# make_pfx NAME EXTENDED_KEY_USAGE: NAME.pem (the certificate) and NAME.pfx
# (certificate and key, under MURKSCOPE_SIGN_PASSWORD).
make_pfx() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Murkscope test $1" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=$2" \
        -keyout "$work_dir/$1.key" -out "$work_dir/$1.pem" 2>/dev/null
    openssl pkcs12 -export -inkey "$work_dir/$1.key" -in "$work_dir/$1.pem" -out "$work_dir/$1.pfx" \
        -passout env:MURKSCOPE_SIGN_PASSWORD
}
make_pfx signer codeSigning
make_pfx web serverAuth

"$release" --sign "$work_dir/signer.pfx" >"$work_dir/signed.log" 2>&1 ||
    { cat "$work_dir/signed.log" >&2; echo "FAIL: scripts/release --sign failed" >&2; exit 1; }
signed_hash=$(sha256sum <"$dist/Murkscope64.exe" | cut -d' ' -f1)

names=$(cd "$dist" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')
expected="./$package ./$package.sha256 ./$artifact ./Murkscope64.exe ./Murkscope64.exe.sha256 ./unsigned"
expected="$expected ./unsigned/Murkscope64.exe ./unsigned/Murkscope64.exe.sha256 "
[ "$names" = "$expected" ] || fail "dist holds '$names', not '$expected'"
(cd "$dist" && sha256sum -c --quiet "$package.sha256" Murkscope64.exe.sha256) ||
    fail "checksum files do not match"
(cd "$dist/unsigned" && sha256sum -c --quiet Murkscope64.exe.sha256) ||
    fail "unsigned/Murkscope64.exe.sha256 does not match"

osslsigncode verify -CAfile "$work_dir/signer.pem" -in "$dist/Murkscope64.exe" >"$work_dir/verify.log" 2>&1 ||
    { cat "$work_dir/verify.log" >&2; fail "the signature does not verify"; }
for line in "Signature verification: ok" "Subject: /CN=Murkscope test signer" \
    "Message digest algorithm  : SHA256" "Number of verified signatures: 1"; do
    grep -qF "$line" "$work_dir/verify.log" || fail "osslsigncode verify did not print '$line'"
done
osslsigncode verify -CAfile "$work_dir/web.pem" -in "$dist/Murkscope64.exe" >"$work_dir/verify-web.log" 2>&1 &&
    fail "the signature verifies against a certificate that did not make it"

osslsigncode remove-signature -in "$dist/Murkscope64.exe" -out "$work_dir/removed.exe" >/dev/null ||
    fail "osslsigncode remove-signature failed"
cmp "$work_dir/removed.exe" "$dist/unsigned/Murkscope64.exe" ||
    fail "the signed executable without its signature differs from unsigned/Murkscope64.exe"
same_as_reference "$dist/unsigned/Murkscope64.exe"

mkdir -p "$work_dir/unpacked"
(cd "$work_dir/unpacked" && unzip -q "$dist/$package")
cmp "$work_dir/unpacked/Murkscope64.exe" "$dist/Murkscope64.exe" ||
    fail "packaged Murkscope64.exe is not the signed one"

grep -qx "    expected_hash: \"$signed_hash\"" "$dist/$artifact" ||
    fail "$artifact is not pinned to the signed executable ($signed_hash)"

# The help screen, whose text the output tests hold byte for byte: the signed
# executable prints under Wine what the unsigned build prints.
for exe in unsigned/Murkscope64.exe Murkscope64.exe; do
    "$source_dir/cmake/wine-run" "$prefix" "$dist/$exe" -h >"$work_dir/help.${exe%%/*}" 2>"$work_dir/wine.log" ||
        fail "$exe -h failed under Wine"
done
grep -q "^	 Murkscope64 \[-h | -l | -x" "$work_dir/help.unsigned" || fail "unsigned/Murkscope64.exe -h printed no help screen"
cmp "$work_dir/help.Murkscope64.exe" "$work_dir/help.unsigned" || fail "the signed executable prints another help screen"

# A listing of dist/ (types, modes, modification times) with every file's hash.
snapshot() {
    (cd "$dist" && find . -printf '%y %m %T@ %p\n' | LC_ALL=C sort -k4 &&
        find . -type f -exec sha256sum {} + | LC_ALL=C sort -k2)
}
snapshot >"$work_dir/before"
# must_fail NAME MESSAGE [release arguments...]: the run fails, says MESSAGE
# and leaves dist/ alone.
must_fail() {
    name=$1
    message=$2
    shift 2
    if "$release" "$@" >"$work_dir/$name.log" 2>&1; then
        fail "$name: scripts/release $* succeeded"
    fi
    grep -qF -- "$message" "$work_dir/$name.log" ||
        { cat "$work_dir/$name.log" >&2; fail "$name: no '$message'"; }
    snapshot >"$work_dir/after"
    cmp -s "$work_dir/before" "$work_dir/after" ||
        { diff "$work_dir/before" "$work_dir/after" >&2 || true; fail "$name: dist changed"; }
}
MURKSCOPE_SIGN_PASSWORD="not the password"
must_fail wrong-password "release: wrong password for $work_dir/signer.pfx (MURKSCOPE_SIGN_PASSWORD)" \
    --sign "$work_dir/signer.pfx"
MURKSCOPE_SIGN_PASSWORD="throwaway pass"
must_fail web-certificate \
    "release: the certificate in $work_dir/web.pfx is not for code signing (extended key usage: TLS Web Server Authentication)" \
    --sign "$work_dir/web.pfx"
must_fail missing-certificate "release: no certificate file $work_dir/none.pfx" --sign "$work_dir/none.pfx"
# Fails after the build, when signing: nothing listens on the discard port.
must_fail timestamp "release: osslsigncode could not sign" \
    --sign "$work_dir/signer.pfx" --timestamp http://127.0.0.1:9/
must_fail unknown-option "Usage: scripts/release [--sign CERT.pfx [--timestamp URL]]" --sing "$work_dir/signer.pfx"

"$release" >"$work_dir/unsigned.log" 2>&1 ||
    { cat "$work_dir/unsigned.log" >&2; fail "scripts/release without --sign failed"; }
names=$(cd "$dist" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')
expected="./$package ./$package.sha256 ./$artifact ./Murkscope64.exe ./Murkscope64.exe.sha256 "
[ "$names" = "$expected" ] || fail "after a release without --sign dist holds '$names'"
cmp "$dist/Murkscope64.exe" "$work_dir/removed.exe" ||
    fail "a release without --sign holds another executable than the signed one without its signature"

finish signing
echo "signed Murkscope64.exe: $signed_hash"
echo "unsigned Murkscope64.exe: $(cut -d' ' -f1 "$dist/Murkscope64.exe.sha256")"
