#!/bin/sh
# The release of the product, and its check by anyone who holds one.
#
#   release.sh dist DIR         make release: DIR/ with the product built from clean, signed
#                               when SIGN_CERT and SIGN_KEY are set, the unattended runner
#                               and the sums
#   release.sh verify DIR [CA]  make verify-release: rebuilds the product from these sources
#                               and checks DIR against it; with CA, the signature's chain too
#
# Signing material comes from the environment (make passes its variables on):
#   SIGN_CERT           PEM file: the code-signing certificate first, then its chain
#   SIGN_KEY            PEM key file, or a pkcs11: URI of the key on a token
#   SIGN_PKCS11_MODULE  the token's PKCS#11 module, with a pkcs11: SIGN_KEY
#   SIGN_PIN            the token's PIN (or the key file's pass phrase); without it, and
#                       without a pin-value in the URI, the token asks at the terminal
#   SIGN_TSA            an RFC 3161 time-stamp URL
#   SIGN_TSA_CERTS, SIGN_TSA_KEY
#                       a time-stamping authority of one's own, as files, in place of
#                       SIGN_TSA (the tests use a throwaway one)
# Secrets never reach a command line, the output or DIR: the PIN goes to osslsigncode
# through a pipe.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
me=release
work=""
staging=""

fail() {
    echo "$me: $*" >&2
    exit 1
}

cleanup() {
    [ -z "$work" ] || rm -rf "$work"
    [ -z "$staging" ] || rm -rf "$staging"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# The description Windows shows for the signature is the version resource's product name.
product_name() {
    sed -n 's/^[[:space:]]*VALUE "ProductName", "\(.*\)"[[:space:]]*$/\1/p' \
        "$src/resources/resources.rc"
}

# The shipped 32-bit program, configured and built from clean in folder $1 (the build is
# reproducible, so any folder gives the same bytes).
build_product() {
    if ! { cmake -S "$src" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
               -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
           cmake --build "$1" --target ScarvelRepair -j "${JOBS:-2}"; } >"$1.log" 2>&1; then
        tail -n 20 "$1.log" >&2
        fail "the product did not build from $src (its last lines are above)"
    fi
}

sha256() {
    sha256sum "$1" | cut -d' ' -f1
}

# Fails unless $1 names a readable file; $2 names the variable.
readable() {
    [ -f "$1" ] && [ -r "$1" ] || fail "cannot read $2: $1"
}

check_signing_material() {
    if [ -z "${SIGN_CERT:-}" ] || [ -z "${SIGN_KEY:-}" ]; then
        fail "SIGN_CERT and SIGN_KEY go together: set both to sign, neither for an unsigned release"
    fi
    readable "$SIGN_CERT" SIGN_CERT
    openssl x509 -in "$SIGN_CERT" -noout 2>/dev/null ||
        fail "SIGN_CERT holds no PEM certificate: $SIGN_CERT"
    subject=$(openssl x509 -in "$SIGN_CERT" -noout -subject -nameopt oneline 2>/dev/null |
              sed 's/^subject= *//')
    case $(openssl x509 -in "$SIGN_CERT" -noout -ext extendedKeyUsage 2>/dev/null) in
        *"Code Signing"*) ;;
        *) fail "the certificate in SIGN_CERT is not for code signing (no codeSigning in its extendedKeyUsage): $subject" ;;
    esac
    openssl x509 -in "$SIGN_CERT" -noout -checkend 0 >/dev/null 2>&1 ||
        fail "the certificate in SIGN_CERT has expired: $subject"
    case $SIGN_KEY in
        pkcs11:*)
            [ -n "${SIGN_PKCS11_MODULE:-}" ] ||
                fail "SIGN_KEY is a pkcs11: URI: SIGN_PKCS11_MODULE must name the token's PKCS#11 module"
            readable "$SIGN_PKCS11_MODULE" SIGN_PKCS11_MODULE ;;
        *)
            readable "$SIGN_KEY" SIGN_KEY ;;
    esac
    if [ -n "${SIGN_TSA_CERTS:-}${SIGN_TSA_KEY:-}" ]; then
        readable "${SIGN_TSA_CERTS:-}" SIGN_TSA_CERTS
        readable "${SIGN_TSA_KEY:-}" SIGN_TSA_KEY
    fi
}

# A pkcs11: URI without its pin-value attribute (RFC 7512 puts it in the query; some put it
# among the path's), and the PIN alone, percent-decoded. The URI is read through a pipe,
# never as an argument.
uri_part() {
    printf '%s\n' "$SIGN_KEY" | awk -v want="$1" '
        function keep(list, sep,    n, i, a, out) {
            n = split(list, a, sep)
            out = ""
            for (i = 1; i <= n; i++) {
                if (a[i] ~ /^pin-value=/) pin = substr(a[i], 11)
                else if (a[i] != "") out = out (out == "" ? "" : sep) a[i]
            }
            return out
        }
        function decoded(text,    out, i, c) {
            out = ""
            for (i = 1; i <= length(text); i++) {
                c = substr(text, i, 1)
                if (c == "%" && i + 2 <= length(text)) {
                    c = sprintf("%c", hex(substr(text, i + 1, 2)))
                    i += 2
                }
                out = out c
            }
            return out
        }
        function hex(two,    i, v) {
            v = 0
            for (i = 1; i <= 2; i++) v = v * 16 + index("0123456789abcdef", tolower(substr(two, i, 1))) - 1
            return v
        }
        {
            rest = substr($0, 8)
            q = index(rest, "?")
            path = keep(q ? substr(rest, 1, q - 1) : rest, ";")
            query = q ? keep(substr(rest, q + 1), "&") : ""
            if (want == "pin") printf "%s", decoded(pin)
            else printf "pkcs11:%s%s", path, (query == "" ? "" : "?" query)
        }'
}

# Signs $1 into $2 with SHA-256, the product's name as the description; osslsigncode's
# own messages go to $3.
sign() {
    in=$1 out=$2 log=$3
    pin=""
    set -- -h sha256 -n "$(product_name)" -certs "$SIGN_CERT"
    case $SIGN_KEY in
        pkcs11:*)
            pin=$(uri_part pin)
            engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
            if [ -f "$engine" ]; then
                set -- "$@" -pkcs11engine "$engine"
            fi
            set -- "$@" -pkcs11module "$SIGN_PKCS11_MODULE" -key "$(uri_part uri)" ;;
        *)
            set -- "$@" -key "$SIGN_KEY" ;;
    esac
    if [ -n "${SIGN_TSA_CERTS:-}" ]; then
        set -- "$@" -TSA-certs "$SIGN_TSA_CERTS" -TSA-key "$SIGN_TSA_KEY" -TSA-time "$(date +%s)"
    elif [ -n "${SIGN_TSA:-}" ]; then
        set -- "$@" -ts "$SIGN_TSA"
    fi
    [ -n "$pin" ] || pin=${SIGN_PIN:-}
    if [ -n "$pin" ]; then
        printf '%s' "$pin" | osslsigncode sign "$@" -readpass - -in "$in" -out "$out" >"$log" 2>&1 ||
            signing_failed "$log"
    else
        osslsigncode sign "$@" -in "$in" -out "$out" >"$log" 2>&1 || signing_failed "$log"
    fi
}

# One line on why osslsigncode did not sign.
signing_failed() {
    if grep -q "PIN incorrect" "$1"; then
        fail "the token refused the PIN (SIGN_PIN, or the pin-value of SIGN_KEY)"
    elif grep -q -i "PIN locked" "$1"; then
        fail "the token's PIN is locked"
    elif grep -q "No PIN code was entered" "$1"; then
        fail "the token needs its PIN: set SIGN_PIN, or run make release at a terminal"
    elif grep -q "key values mismatch" "$1"; then
        fail "SIGN_KEY is not the key of the certificate in SIGN_CERT"
    elif grep -q "private key was not found" "$1"; then
        fail "no such key on the token: $(uri_part uri)"
    elif grep -q -i "timestamp" "$1"; then
        fail "time-stamping failed: $(grep -i -m1 timestamp "$1")"
    fi
    fail "osslsigncode did not sign: $(grep -v -e '^Engine ' -e '^Failed$' "$1" | head -n 1)"
}

make_dist() {
    dist=$1
    signed=""
    if [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
        check_signing_material
        signed=yes
    fi
    parent=$(dirname "$dist")
    [ -d "$parent" ] || fail "no folder $parent to hold $dist"
    [ ! -e "$dist" ] || [ -d "$dist" ] || fail "$dist is there and is not a folder"
    work=$(mktemp -d "${TMPDIR:-/tmp}/scarvel-release.XXXXXX")
    # Written beside its final place and renamed there when complete.
    staging=$(mktemp -d "$parent/.$(basename "$dist").new.XXXXXX")
    build_product "$work/build"
    mkdir "$work/unsigned"
    cp "$work/build/ScarvelRepair.exe" "$work/unsigned/ScarvelRepair.exe"
    (cd "$work/unsigned" && sha256sum ScarvelRepair.exe) >"$staging/SHA256SUMS-unsigned"
    if [ -n "$signed" ]; then
        sign "$work/unsigned/ScarvelRepair.exe" "$staging/ScarvelRepair.exe" "$work/sign.log"
        osslsigncode extract-signature -pem -in "$staging/ScarvelRepair.exe" \
            -out "$staging/ScarvelRepair.exe.sig" >"$work/extract.log" 2>&1 ||
            fail "osslsigncode could not extract the signature it made"
        # What verify-release will do: the detached signature on the unsigned build must
        # give the signed file back.
        osslsigncode attach-signature -sigin "$staging/ScarvelRepair.exe.sig" \
            -in "$work/unsigned/ScarvelRepair.exe" -out "$work/attached.exe" >"$work/attach.log" 2>&1 || :
        cmp -s "$work/attached.exe" "$staging/ScarvelRepair.exe" ||
            fail "the detached signature does not give the signed file back"
    else
        cp "$work/unsigned/ScarvelRepair.exe" "$staging/ScarvelRepair.exe"
    fi
    cp "$src/resources/ScarvelRepair-unattended.cmd" "$staging/"
    files="ScarvelRepair-unattended.cmd ScarvelRepair.exe"
    [ -z "$signed" ] || files="$files ScarvelRepair.exe.sig"
    (cd "$staging" && sha256sum $files SHA256SUMS-unsigned >SHA256SUMS)
    chmod 755 "$staging"
    if [ -d "$dist" ]; then
        old=$(mktemp -d "$parent/.$(basename "$dist").old.XXXXXX")
        mv "$dist" "$old/"
        mv "$staging" "$dist"
        staging=""
        rm -rf "$old"
    else
        mv "$staging" "$dist"
        staging=""
    fi
    echo "$me: $dist, $( [ -n "$signed" ] && echo "signed: $subject" || echo "unsigned")"
    (cd "$dist" && cat SHA256SUMS)
    echo "unsigned build: $(cut -d' ' -f1 "$dist/SHA256SUMS-unsigned")"
}

# One verdict line per check; the exit status counts the failures.
verdict() {
    if [ "$1" = ok ]; then
        echo "ok    $2"
    else
        echo "FAIL  $2"
        failures=$((failures + 1))
    fi
}

verify_dist() {
    me=verify-release
    dist=$1
    ca=${2:-}
    [ -n "$dist" ] || fail "name the release's folder: make verify-release DIST=folder [CA=file]"
    [ -d "$dist" ] || fail "no folder $dist"
    for f in ScarvelRepair.exe SHA256SUMS-unsigned; do
        readable "$dist/$f" "the release's $f"
    done
    [ -z "$ca" ] || readable "$ca" CA
    failures=0
    work=$(mktemp -d "${TMPDIR:-/tmp}/scarvel-verify.XXXXXX")

    if [ -f "$dist/SHA256SUMS" ]; then
        if bad=$(cd "$dist" && sha256sum -c --quiet SHA256SUMS 2>/dev/null); then
            verdict ok "every file matches SHA256SUMS"
        else
            verdict fail "not as SHA256SUMS says: $(echo "$bad" | sed -n 's/: FAILED.*$//p' | tr '\n' ' ')"
        fi
    fi

    build_product "$work/build"
    fresh="$work/build/ScarvelRepair.exe"
    built=$(sha256 "$fresh")
    published=$(sed -n 's/^\([0-9a-f]\{64\}\) [ *]ScarvelRepair\.exe$/\1/p' "$dist/SHA256SUMS-unsigned")
    if [ "$built" = "$published" ]; then
        verdict ok "these sources build the unsigned program of SHA256SUMS-unsigned: $built"
    else
        verdict fail "these sources build $built, SHA256SUMS-unsigned says ${published:-nothing}"
    fi

    if [ -f "$dist/ScarvelRepair.exe.sig" ]; then
        osslsigncode attach-signature -sigin "$dist/ScarvelRepair.exe.sig" -in "$fresh" \
            -out "$work/attached.exe" >"$work/attach.log" 2>&1 || :
        if [ -f "$work/attached.exe" ] && cmp -s "$work/attached.exe" "$dist/ScarvelRepair.exe"; then
            verdict ok "that build with ScarvelRepair.exe.sig attached is the shipped ScarvelRepair.exe, byte for byte"
        else
            verdict fail "that build with ScarvelRepair.exe.sig attached is not the shipped ScarvelRepair.exe"
        fi
    elif cmp -s "$fresh" "$dist/ScarvelRepair.exe"; then
        verdict ok "the shipped ScarvelRepair.exe is that build, unsigned, byte for byte"
    else
        verdict fail "the shipped ScarvelRepair.exe is not that build (and there is no ScarvelRepair.exe.sig)"
    fi

    if [ -n "$ca" ] && [ ! -f "$dist/ScarvelRepair.exe.sig" ]; then
        verdict fail "the release is unsigned: there is no signature to verify up to $ca"
    elif [ -n "$ca" ]; then
        if osslsigncode verify -CAfile "$ca" -TSA-CAfile "$ca" -in "$dist/ScarvelRepair.exe" \
               >"$work/verify.log" 2>&1; then
            verdict ok "the signature of the shipped ScarvelRepair.exe verifies up to $ca"
        else
            verdict fail "the signature of the shipped ScarvelRepair.exe does not verify up to $ca"
        fi
    fi
    [ "$failures" -eq 0 ] || exit 1
}

case ${1:-} in
    dist) make_dist "${2:-dist}" ;;
    verify) verify_dist "${2:-}" "${3:-}" ;;
    *) echo "usage: $0 dist DIR | verify DIR [CA]" >&2; exit 2 ;;
esac
