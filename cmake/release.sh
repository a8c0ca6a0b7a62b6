#!/bin/sh
# The release of the product, and its check by anyone who holds one.
#
#   release.sh dist DIR                 make release: DIR/ with the product built from clean,
#                                       signed when SIGN_CERT and SIGN_KEY are set, the
#                                       unattended runner, BUILDINFO and the sums
#   release.sh verify DIR [CA [SIGNER [CRL]]]
#                                       make verify-release: rebuilds the commit that DIR's
#                                       BUILDINFO names, which must be in this checkout's
#                                       history, and checks DIR against it and against the
#                                       signers of HEAD's resources/signers.txt; with CA, the
#                                       chains too, revocation against the CRL files (PEM or
#                                       DER, space-separated) and nothing fetched; SIGNER, one
#                                       more trusted signer's SHA-256 fingerprint
#
# Signing material comes from the environment (make passes its variables on):
#   SIGN_CERT           PEM file: the code-signing certificate first, then its chain
#   SIGN_KEY            PEM key file, or a pkcs11: URI of the key on a token
#   SIGN_PKCS11_MODULE  the token's PKCS#11 module, with a pkcs11: SIGN_KEY
#   SIGN_PIN            the token's PIN (or the key file's pass phrase); without it, and
#                       without a pin-value in the URI, the token asks at the terminal
#   SIGN_DIGESTS        "sha1 sha256" (a SHA-1 primary signature and a nested SHA-256 one,
#                       the default) or "sha256"
#   SIGN_TSA            an RFC 3161 time-stamp URL
#   SIGN_TSA_LEGACY     optional: an Authenticode (legacy) time-stamp URL for the SHA-1 primary
#   SIGN_TSA_CERTS, SIGN_TSA_KEY
#                       a time-stamping authority of one's own, as files, in place of
#                       SIGN_TSA (osslsigncode 2.6 and later; the tests use a throwaway one)
#   ALLOW_DIRTY=1       release a tree with uncommitted changes (BUILDINFO says so, and
#                       verify-release fails it)
# Secrets never reach a command line, the environment of another program, the output or
# DIR: the PIN goes to osslsigncode and openssl through a pipe on descriptor 3.
# No globbing: file names from a release are words, never patterns.
set -euf

# Taken into unexported variables before anything runs: make also puts its command line's
# variables into MAKEFLAGS, which every make below would pass on.
pin=${SIGN_PIN:-}
key=${SIGN_KEY:-}
unset SIGN_PIN SIGN_KEY MAKEFLAGS MFLAGS

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
me=release
work=""
staging=""
RELEASE_FILES="BUILDINFO SHA256SUMS SHA256SUMS-unsigned ScarvelRepair-unattended.cmd ScarvelRepair.exe"
SIGNED_FILES="$RELEASE_FILES SHA256SUMS.p7s SHA256SUMS.p7s.tsr ScarvelRepair.exe.sig"

fail() {
    echo "$me: $*" >&2
    exit 1
}

cleanup() {
    [ -z "$work" ] || rm -rf "$work"
    [ -z "$staging" ] || rm -rf "$staging"
}
trap cleanup EXIT
trap 'exit 1' HUP INT PIPE TERM

# The description Windows shows for the signature is the version resource's product name;
# the release's version, its file version. $1: resources.rc's text on standard input.
rc_value() {
    sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"[[:space:]]*\$/\\1/p"
}

product_name() {
    rc_value ProductName <"$src/resources/resources.rc"
}

# The shipped 32-bit program, configured and built from clean in folder $1 from the sources
# in $2 (the build is reproducible, so any folder gives the same bytes).
CMAKE_OPTIONS="-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF"
build_product() {
    if ! { cmake -S "$2" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$2/cmake/mingw-i686.cmake" \
               -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
           cmake --build "$1" --target ScarvelRepair -j "${JOBS:-2}"; } >"$1.log" 2>&1; then
        tail -n 20 "$1.log" >&2
        fail "the product did not build from $2 (its last lines are above)"
    fi
}

# "name version" of each Debian package that holds a file the build of $1 used: the
# compiler and its C++ library, the mingw-w64 runtime and headers, binutils, CMake.
toolchain_packages() {
    cxx=$(tail -n 1 "$1/CMakeFiles/ScarvelRepair.dir/link.txt" | cut -d' ' -f1)
    for file in "$cxx" "$("$cxx" -print-prog-name=cc1plus)" "$("$cxx" -print-file-name=libstdc++.a)" \
                "$("$cxx" -print-file-name=libgcc.a)" "$("$cxx" -print-file-name=libkernel32.a)" \
                "$("$cxx" -print-prog-name=ld)" "$(command -v i686-w64-mingw32-windres)" \
                "$(echo '#include <windows.h>' | "$cxx" -x c++ -M - | tr ' ' '\n' | grep -m 1 '/windows\.h$')" \
                "$(command -v cmake)"; do
        dpkg -S "$(readlink -f "$file")" 2>/dev/null | sed -n 's/^\([^:,]*\).*: .*$/\1/p'
    done | sort -u | while read -r package; do
        dpkg-query -W -f '${Package} ${Version}\n' "$package"
    done
}

# The compiler's and the linker's flags as the build of $1 used them.
build_flags() {
    sed -n 's/^\(CXX_DEFINES\|CXX_FLAGS\|RC_FLAGS\) = */\1: /p' "$1/CMakeFiles/ScarvelRepair.dir/flags.make"
    echo "link: $(tail -n 1 "$1/CMakeFiles/ScarvelRepair.dir/link.txt" | cut -d' ' -f2-)"
}

sha256() {
    sha256sum "$1" | cut -d' ' -f1
}

# A SHA-256 fingerprint as openssl prints it, whatever the case and colons given.
fingerprint_form() {
    tr -d ': \r' | tr 'a-f' 'A-F' | sed 's/../&:/g; s/:$//'
}

cert_fingerprint() {
    openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/^.*=//'
}

cert_subject() {
    openssl x509 -in "$1" -noout -subject -nameopt oneline | sed 's/^subject= *//'
}

# Fails unless $1 names a readable file; $2 names the variable.
readable() {
    [ -f "$1" ] && [ -r "$1" ] || fail "cannot read $2: $1"
}

check_signing_material() {
    if [ -z "${SIGN_CERT:-}" ] || [ -z "$key" ]; then
        fail "SIGN_CERT and SIGN_KEY go together: set both to sign, neither for an unsigned release"
    fi
    readable "$SIGN_CERT" SIGN_CERT
    openssl x509 -in "$SIGN_CERT" -noout 2>/dev/null ||
        fail "SIGN_CERT holds no PEM certificate: $SIGN_CERT"
    subject=$(cert_subject "$SIGN_CERT")
    case $(openssl x509 -in "$SIGN_CERT" -noout -ext extendedKeyUsage 2>/dev/null) in
        *"Code Signing"*) ;;
        *) fail "the certificate in SIGN_CERT is not for code signing (no codeSigning in its extendedKeyUsage): $subject" ;;
    esac
    openssl x509 -in "$SIGN_CERT" -noout -checkend 0 >/dev/null 2>&1 ||
        fail "the certificate in SIGN_CERT has expired: $subject"
    case $key in
        pkcs11:*)
            [ -n "${SIGN_PKCS11_MODULE:-}" ] ||
                fail "SIGN_KEY is a pkcs11: URI: SIGN_PKCS11_MODULE must name the token's PKCS#11 module"
            readable "$SIGN_PKCS11_MODULE" SIGN_PKCS11_MODULE
            # A pin-value in the URI comes before SIGN_PIN.
            uri_pin=$(uri_part pin)
            [ -z "$uri_pin" ] || pin=$uri_pin ;;
        *)
            readable "$key" SIGN_KEY ;;
    esac
    digests=${SIGN_DIGESTS:-sha1 sha256}
    case $digests in
        "sha1 sha256"|sha256) ;;
        *) fail "SIGN_DIGESTS is \"sha1 sha256\" (the default) or \"sha256\", not \"$digests\"" ;;
    esac
    # A signature without a time stamp dies with the certificate.
    if [ -n "${SIGN_TSA_CERTS:-}${SIGN_TSA_KEY:-}" ]; then
        readable "${SIGN_TSA_CERTS:-}" SIGN_TSA_CERTS
        readable "${SIGN_TSA_KEY:-}" SIGN_TSA_KEY
        osslsigncode sign -help 2>&1 | grep -q -e -TSA-certs ||
            fail "$(osslsigncode --version 2>&1 | head -n 1) has no time-stamping authority of its own (SIGN_TSA_CERTS): give SIGN_TSA"
    elif [ -z "${SIGN_TSA:-}" ]; then
        fail "a signed release is time-stamped: give SIGN_TSA (an RFC 3161 URL)"
    fi
    [ -z "${SIGN_TSA_LEGACY:-}" ] || [ "$digests" != sha256 ] ||
        fail "SIGN_TSA_LEGACY time-stamps the SHA-1 primary signature: not with SIGN_DIGESTS=sha256"
}

# A pkcs11: URI without its pin-value attribute (RFC 7512 puts it in the query; some put it
# among the path's), and the PIN alone, percent-decoded. The URI is read through a pipe,
# never as an argument.
uri_part() {
    printf '%s\n' "$key" | awk -v want="$1" '
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

# Runs "$@" with the PIN readable on descriptor 3, when there is one.
with_pin() {
    if [ -n "$pin" ]; then
        printf '%s' "$pin" | "$@" 3<&0 </dev/null
    else
        "$@"
    fi
}

# Signs $1 into $2: a SHA-1 primary signature and a nested SHA-256 one (SIGN_DIGESTS),
# each time-stamped, the product's name as the description; osslsigncode's own messages
# go to $3.
sign() {
    in=$1 out=$2 log=$3
    name=$(product_name)
    nest=""
    for digest in $digests; do
        set -- -h "$digest" -n "$name" -certs "$SIGN_CERT"
        case $key in
            # osslsigncode loads OpenSSL's own pkcs11 engine by name (2.5 fails on a path).
            pkcs11:*) set -- "$@" -pkcs11module "$SIGN_PKCS11_MODULE" -key "$(uri_part uri)" ;;
            *) set -- "$@" -key "$key" ;;
        esac
        if [ -n "${SIGN_TSA_LEGACY:-}" ] && [ -z "$nest" ]; then
            set -- "$@" -t "$SIGN_TSA_LEGACY"
        elif [ -n "${SIGN_TSA_CERTS:-}" ]; then
            set -- "$@" -TSA-certs "$SIGN_TSA_CERTS" -TSA-key "$SIGN_TSA_KEY" -TSA-time "$(date +%s)"
        else
            set -- "$@" -ts "$SIGN_TSA"
        fi
        # 2.5 reads no "-": a file name it opens, the pipe on descriptor 3.
        [ -z "$pin" ] || set -- "$@" -readpass /dev/fd/3
        with_pin osslsigncode sign "$@" $nest -in "$in" -out "$work/signed.$digest" >"$log" 2>&1 ||
            signing_failed "$log"
        in=$work/signed.$digest
        nest=-nest
    done
    cp "$in" "$out"
}

# SHA256SUMS signed with the same key, as a detached CMS signature ($1, its file).
sign_sums() {
    set -- -sign -binary -md sha256 -in "$1" -signer "$SIGN_CERT" -outform DER -out "$1.p7s"
    # The chain after the signer's own certificate, which -signer adds.
    awk '/-BEGIN CERTIFICATE-/ { n++ } n > 1' "$SIGN_CERT" >"$work/chain.pem"
    [ ! -s "$work/chain.pem" ] || set -- "$@" -certfile "$work/chain.pem"
    case $key in
        pkcs11:*)
            # The engine's module comes from a configuration of its own.
            cat >"$work/pkcs11.cnf" <<EOF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = $SIGN_PKCS11_MODULE
EOF
            set -- "$@" -engine pkcs11 -keyform engine -inkey "$(uri_part uri)" ;;
        *) set -- "$@" -inkey "$key" ;;
    esac
    [ -z "$pin" ] || set -- "$@" -passin fd:3
    if [ -f "$work/pkcs11.cnf" ]; then
        with_pin env OPENSSL_CONF="$work/pkcs11.cnf" openssl cms "$@" >"$work/cms.log" 2>&1
    else
        with_pin openssl cms "$@" >"$work/cms.log" 2>&1
    fi || signing_failed "$work/cms.log"
}

# An RFC 3161 time stamp of the sums' signature $1 as $1.tsr, from the program's own
# authority, so that the signature outlives its certificate as the program's do.
stamp_sums() {
    signature=$1
    openssl ts -query -data "$signature" -sha256 -cert -out "$work/sums.tsq" >"$work/ts.log" 2>&1 ||
        fail "openssl could not make a time-stamp request: $(reason "$work/ts.log")"
    if [ -n "${SIGN_TSA_CERTS:-}" ]; then
        openssl rand -hex 8 >"$work/tsa.serial"
        # A time-stamping authority of one's own states no policy of its own: any OID does.
        printf '%s\n' "[tsa]" "default_tsa = own" "[own]" "serial = $work/tsa.serial" \
            "signer_digest = sha256" "default_policy = 1.2.3.4.1" "digests = sha256" \
            "ess_cert_id_alg = sha256" "accuracy = secs:1" >"$work/tsa.cnf"
        awk '/-BEGIN CERTIFICATE-/ { n++ } n == 1' "$SIGN_TSA_CERTS" >"$work/tsa-signer.pem"
        awk '/-BEGIN CERTIFICATE-/ { n++ } n > 1' "$SIGN_TSA_CERTS" >"$work/tsa-chain.pem"
        set -- -signer "$work/tsa-signer.pem" -inkey "$SIGN_TSA_KEY"
        [ ! -s "$work/tsa-chain.pem" ] || set -- "$@" -chain "$work/tsa-chain.pem"
        openssl ts -reply -config "$work/tsa.cnf" -queryfile "$work/sums.tsq" "$@" \
            -out "$work/sums.tsr" >"$work/ts.log" 2>&1 ||
            fail "time-stamping SHA256SUMS.p7s failed: $(reason "$work/ts.log")"
    else
        curl -s -S -f --max-time 60 -H "Content-Type: application/timestamp-query" \
            --data-binary "@$work/sums.tsq" -o "$work/sums.tsr" "$SIGN_TSA" >"$work/ts.log" 2>&1 ||
            fail "time-stamping SHA256SUMS.p7s at $SIGN_TSA failed: $(reason "$work/ts.log")"
    fi
    timestamp_of "$work/sums.tsr" "$signature" "" >/dev/null ||
        fail "the time stamp of SHA256SUMS.p7s does not verify: $(reason "$work/ts.log")"
    cp "$work/sums.tsr" "$signature.tsr"
}

# Verifies the time-stamp reply $1 over file $2 up to the CA file $3 (revocation against
# the CRLs in it when $4 is set), or, without $3, up to the certificates the reply carries;
# prints its time as seconds since 1970. openssl's messages go to $work/ts.log.
timestamp_of() {
    if [ -n "$3" ]; then
        set -- "$1" "$2" -CAfile "$3" ${4:+-crl_check_all}
    else
        openssl ts -reply -in "$1" -token_out -out "$work/token.der" >"$work/ts.log" 2>&1 &&
            openssl pkcs7 -inform DER -in "$work/token.der" -print_certs \
                -out "$work/token-certs.pem" >>"$work/ts.log" 2>&1 || return 1
        set -- "$1" "$2" -CAfile "$work/token-certs.pem" -partial_chain
    fi
    reply=$1 data=$2
    shift 2
    openssl ts -verify -data "$data" -in "$reply" "$@" >"$work/ts.log" 2>&1 || return 1
    stamped=$(openssl ts -reply -in "$reply" -text 2>>"$work/ts.log" | sed -n 's/^Time stamp: //p')
    [ -n "$stamped" ] && date -u -d "$stamped" +%s 2>>"$work/ts.log"
}

# Whether the sums' signer (and its chain) is on none of the CRL= lists, whatever the time:
# a list published after the time stamp still tells of a certificate revoked before it.
sums_not_revoked() {
    [ -n "$crls" ] || return 0
    openssl pkcs7 -inform DER -in "$dist/SHA256SUMS.p7s" -print_certs -out "$work/sums-certs.pem" \
        >"$work/cms.log" 2>&1 &&
        openssl verify -no_check_time -crl_check_all -purpose any -CAfile "$work/roots.pem" \
            -untrusted "$work/sums-certs.pem" "$work/sums-signer.pem" >"$work/cms.log" 2>&1
}

# The reason openssl or osslsigncode gave for a failure, one line, from its messages in $1.
reason() {
    awk '
        function keep(rank, text) { if (rank > best) { best = rank; said = text } }
        /Verify error:/ { t = $0; sub(/.*Verify error: */, "", t); keep(6, t); next }
        /X509_verify_cert:/ { t = $0; sub(/.*X509_verify_cert: */, "", t); keep(5, t); next }
        /^error [0-9]+ at [0-9]+ depth lookup: / { t = $0; sub(/^[^:]*: */, "", t); keep(5, t); next }
        /^[[:space:]]*Error:/ { t = $0; sub(/^[[:space:]]*Error: */, "", t); keep(4, t); next }
        /^[0-9A-F]+:error:/ { split($0, f, ":"); keep(3, f[6]); next }
        /MISMATCH|[Ff]ailed|[Ee]rror|curl:/ && !/^Failed$/ { keep(2, $0) }
        END { print (best ? said : "it gave no reason") }' "$1" | tr -s ' \t' ' '
}

# One line on why osslsigncode or openssl did not sign.
signing_failed() {
    if grep -q "PIN incorrect" "$1"; then
        fail "the token refused the PIN (SIGN_PIN, or the pin-value of SIGN_KEY)"
    elif grep -q -i "PIN locked" "$1"; then
        fail "the token's PIN is locked"
    elif grep -q "No PIN code was entered" "$1"; then
        fail "the token needs its PIN: set SIGN_PIN, or run make release at a terminal"
    elif grep -q -e "key values mismatch" -e "private key does not match" "$1"; then
        fail "SIGN_KEY is not the key of the certificate in SIGN_CERT"
    elif grep -q "private key was not found" "$1"; then
        fail "no such key on the token: $(uri_part uri)"
    elif grep -q -i "timestamp" "$1"; then
        fail "time-stamping failed: $(grep -i -m1 timestamp "$1")"
    fi
    fail "did not sign: $(grep -v -e '^Engine ' -e '^Failed$' "$1" | head -n 1)"
}

# Whether the tree is as committed; fails unless ALLOW_DIRTY=1 when not.
tree_state() {
    commit=$(git -C "$src" rev-parse HEAD 2>/dev/null) || commit=""
    tag=none
    if [ -n "$commit" ] && [ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
        tree="$commit clean"
        tag=$(git -C "$src" tag --points-at HEAD | tr '\n' ' ' | sed 's/ $//')
        tag=${tag:-none}
    elif [ "${ALLOW_DIRTY:-}" = 1 ]; then
        tree="${commit:-no git checkout} dirty (ALLOW_DIRTY=1)"
    elif [ -z "$commit" ]; then
        fail "$src is not a git checkout: a release names its commit (ALLOW_DIRTY=1 to release it anyway)"
    else
        fail "the tree has uncommitted changes to tracked files: commit them, or ALLOW_DIRTY=1 (BUILDINFO records it)"
    fi
}

# Whether folder $1 holds only what a release holds (or nothing).
a_release() {
    for name in $(ls -A "$1"); do
        case " $SIGNED_FILES " in *" $name "*) ;; *) return 1 ;; esac
    done
}

make_dist() {
    dist=$1
    signed=""
    parent=$(dirname "$dist")
    [ -d "$parent" ] || fail "no folder $parent to hold $dist"
    [ ! -e "$dist" ] || [ -d "$dist" ] || fail "$dist is there and is not a folder"
    [ ! -d "$dist" ] || a_release "$dist" ||
        fail "$dist holds other files than a release's: name a new folder or a previous release's"
    # Only what a release uses, before anything that needs it.
    case $key in
        pkcs11:*) sh "$here/install-deps.sh" release-pkcs11 ;;
        *) sh "$here/install-deps.sh" release ;;
    esac
    tree_state
    if [ -n "${SIGN_CERT:-}$key" ]; then
        check_signing_material
        signed=yes
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/scarvel-release.XXXXXX")
    # Written beside its final place and renamed there when complete.
    staging=$(mktemp -d "$parent/.$(basename "$dist").new.XXXXXX")
    build_product "$work/build" "$src"
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
        attach "$staging/ScarvelRepair.exe.sig" "$work/unsigned/ScarvelRepair.exe" "$work/attached.exe" &&
            cmp -s "$work/attached.exe" "$staging/ScarvelRepair.exe" ||
            fail "the detached signature does not give the signed file back"
    else
        cp "$work/unsigned/ScarvelRepair.exe" "$staging/ScarvelRepair.exe"
    fi
    cp "$src/resources/ScarvelRepair-unattended.cmd" "$staging/"
    {
        echo "version: $(rc_value FileVersion <"$src/resources/resources.rc")"
        echo "tag: $tag"
        echo "commit: $tree"
        echo "ScarvelRepair.exe: $(sha256 "$staging/ScarvelRepair.exe")"
        echo "unsigned ScarvelRepair.exe: $(sha256 "$work/unsigned/ScarvelRepair.exe")"
        if [ -n "$signed" ]; then
            echo "signer: $(cert_fingerprint "$SIGN_CERT")"
            echo "signer subject: $subject"
            echo "digests: $digests"
        fi
        echo "cmake: $CMAKE_OPTIONS"
        build_flags "$work/build"
        toolchain_packages "$work/build" | sed 's/^/package: /'
    } >"$staging/BUILDINFO"
    files="BUILDINFO ScarvelRepair-unattended.cmd ScarvelRepair.exe"
    [ -z "$signed" ] || files="$files ScarvelRepair.exe.sig"
    (cd "$staging" && sha256sum $files SHA256SUMS-unsigned >SHA256SUMS)
    if [ -n "$signed" ]; then
        sign_sums "$staging/SHA256SUMS"
        stamp_sums "$staging/SHA256SUMS.p7s"
    fi
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
    echo "$me: $dist, version $(sed -n 's/^version: //p' "$dist/BUILDINFO"), tag $tag, $( [ -n "$signed" ] && echo "signed ($digests): $subject" || echo "unsigned"), commit $tree"
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

# A value of the release's BUILDINFO.
info() {
    [ -f "$dist/BUILDINFO" ] || return 0
    sed -n "s/^$1: //p" "$dist/BUILDINFO" | head -n 1
}

# The names of the lines of $1 not among $2, and of $2 not in $1.
differences() {
    extra="" missing=""
    set -- "$(echo $1)" "$(echo $2)"
    for name in $1; do
        case " $2 " in *" $name "*) ;; *) extra="$extra $name" ;; esac
    done
    for name in $2; do
        case " $1 " in *" $name "*) ;; *) missing="$missing $name" ;; esac
    done
    echo "${extra:+ other than the release's:$extra}${extra:+${missing:+;}}${missing:+ missing:$missing}"
}

# The packages of BUILDINFO whose version here is another.
package_changes() {
    sed -n 's/^package: //p' "$dist/BUILDINFO" 2>/dev/null | while read -r package version; do
        now=$(dpkg-query -W -f '${Version}' "$package" 2>/dev/null) || now="not installed"
        [ "$now" = "$version" ] || printf '%s ' "$package $now here, $version in BUILDINFO;"
    done
}

# Keeps the rebuilt program (and the attached one) in a folder that outlives the check,
# and names it.
keep_rebuilt() {
    kept=$work-rebuilt
    mkdir -p "$kept"
    cp "$fresh" "$work/build.log" "$kept/"
    [ ! -f "$work/attached.exe" ] || cp "$work/attached.exe" "$kept/"
    echo "$kept"
}

# Attaches signature $1 to program $2 as $3, its messages in $3.log, trusting no root: the
# bytes alone decide, and with nothing to chain to, osslsigncode fetches no revocation list.
# It then fails its own check of the result but writes it all the same.
attach() {
    rm -f "$3"
    : >"$work/no-roots.pem"
    osslsigncode attach-signature -CAfile "$work/no-roots.pem" -TSA-CAfile "$work/no-roots.pem" \
        -sigin "$1" -in "$2" -out "$3" >"$3.log" 2>&1 || :
    [ -f "$3" ]
}

# Where files $1 and $2 differ, in one phrase.
byte_differences() {
    first=$(cmp "$1" "$2" 2>&1 | sed -n 's/^.* differ: byte \([0-9]*\),.*$/\1/p; s/^cmp: EOF on .* after byte \([0-9]*\).*$/\1 (then one ends)/p')
    echo "bytes that differ: $(cmp -l "$1" "$2" 2>/dev/null | wc -l), the first at byte ${first:-?}; $(wc -c <"$1") and $(wc -c <"$2") bytes long"
}

# For each signature of the shipped program (osslsigncode verify's output, $1): its digest
# algorithm, whether the digest in it is the file's, and its signer's serial number (which
# osslsigncode prints only for a digest that matches).
signatures() {
    awk '
        /^Signature Index:/ { n++; algo[n] = ""; signer[n] = "" }
        n && /^Message digest algorithm  *:/ && algo[n] == "" { algo[n] = tolower($NF) }
        n && /^Current message digest/ { current[n] = $5 }
        n && /^Calculated message digest/ { calculated[n] = $5 }
        n && /^Signer.s certificate:/ { want[n] = 1 }
        n && want[n] && /Serial *:/ { signer[n] = $NF; want[n] = 0 }
        END {
            for (i = 1; i <= n; i++)
                print algo[i], (current[i] != "" && current[i] == calculated[i] ? "same" : "other"), signer[i]
        }' "$1"
}

verify_dist() {
    me=verify-release
    dist=$1
    ca=${2:-}
    extra_signer=$(printf '%s' "${3:-}" | fingerprint_form)
    crls=${4:-}
    [ -n "$dist" ] || fail "name the release's folder: make verify-release DIST=folder [CA=file [CRL=files]] [SIGNER=fingerprint]"
    [ -d "$dist" ] || fail "no folder $dist"
    [ -z "$ca" ] || readable "$ca" CA
    [ -z "$crls" ] || [ -n "$ca" ] || fail "CRL= is checked with the chains: give CA= too"
    sh "$here/install-deps.sh" verify
    head=$(git -C "$src" rev-parse -q --verify HEAD 2>/dev/null) ||
        fail "$src is not a git checkout: verify-release runs in a clone of the vendor's sources"
    failures=0
    work=$(mktemp -d "${TMPDIR:-/tmp}/scarvel-verify.XXXXXX")
    # One file of roots and revocation lists: openssl reads both from it.
    if [ -n "$ca" ]; then
        cp "$ca" "$work/roots.pem"
        for file in $crls; do
            readable "$file" CRL
            openssl crl -in "$file" -out "$work/crl.pem" 2>/dev/null ||
                openssl crl -inform DER -in "$file" -out "$work/crl.pem" 2>/dev/null ||
                fail "CRL= names a file that holds no revocation list: $file"
            cat "$work/crl.pem" >>"$work/crls.pem"
        done
        [ -z "$crls" ] || cat "$work/crls.pem" >>"$work/roots.pem"
    fi
    signer=$(info signer)
    signed=""
    if [ -n "$signer" ] || [ -e "$dist/ScarvelRepair.exe.sig" ] || [ -e "$dist/SHA256SUMS.p7s" ]; then
        signed=yes
        names=$SIGNED_FILES
    else
        names=$RELEASE_FILES
    fi

    # Which release: its sources are a commit of this checkout's own history, or none.
    commit=$(info commit | cut -d' ' -f1)
    state=$(info commit | cut -d' ' -f2-)
    ours=""
    case $commit in
        *[!0-9a-f]*|"") ;;
        *) [ ${#commit} -ne 40 ] || ! git -C "$src" merge-base --is-ancestor "$commit" HEAD 2>/dev/null || ours=yes ;;
    esac
    version=$(info version) tag=$(info tag)
    what="version ${version:-none}, tag ${tag:-none}"
    if [ -z "$version" ]; then
        verdict fail "BUILDINFO names no version (a release made before versions were recorded)"
    elif [ -z "$ours" ]; then
        verdict fail "$what, unconfirmed: BUILDINFO's commit is not in this checkout's history"
    elif [ "$(git -C "$src" show "$commit:resources/resources.rc" | rc_value FileVersion)" != "$version" ]; then
        verdict fail "$what: resources/resources.rc of commit $commit has the file version $(git -C "$src" show "$commit:resources/resources.rc" | rc_value FileVersion)"
    elif [ "${tag:-none}" != none ] &&
         [ "$(git -C "$src" rev-parse -q --verify "refs/tags/$tag^{commit}" 2>/dev/null)" != "$commit" ]; then
        verdict fail "$what: this checkout's tag $tag is not commit $commit"
    else
        verdict ok "$what"
    fi
    if [ -z "$ours" ]; then
        verdict fail "BUILDINFO's commit ${commit:-(none)} is not in the history of this checkout's HEAD $head: its sources are not built, nor compared"
    elif [ "$state" != clean ]; then
        verdict fail "released from a dirty tree at commit $commit (BUILDINFO: ${state#dirty }): no commit holds its sources"
    elif [ "$commit" = "$head" ]; then
        verdict ok "BUILDINFO's commit $commit is this checkout's HEAD, built from a clean tree"
    else
        verdict ok "BUILDINFO's commit $commit is an ancestor of this checkout's HEAD $head, built from a clean tree"
    fi

    # Windows loads what lies beside the program: a DLL, a .manifest, a .local folder.
    odd=$(differences "$(ls -A "$dist")" "$names")
    if [ -z "$odd" ]; then
        verdict ok "the folder holds the release's files and nothing else"
    else
        verdict fail "the folder does not hold just the release's files:$odd"
    fi

    listed=$(sed -n 's/^[0-9a-f]\{64\} [ *]//p' "$dist/SHA256SUMS" 2>/dev/null) || :
    odd=$(differences "$(sed 's/^[0-9a-f]\{64\} [ *]//' "$dist/SHA256SUMS" 2>/dev/null)" \
                      "$(echo "$names" | tr ' ' '\n' | grep -v -x -e SHA256SUMS -e SHA256SUMS.p7s -e SHA256SUMS.p7s.tsr)")
    if [ ! -f "$dist/SHA256SUMS" ]; then
        verdict fail "there is no SHA256SUMS"
    elif [ -n "$odd" ] || [ "$(echo "$listed" | sort | uniq -d)" ]; then
        verdict fail "SHA256SUMS does not list exactly the release's files:$odd"
    else
        verdict ok "SHA256SUMS lists exactly the release's files"
    fi

    # Only the lines of the release's own names: a path in SHA256SUMS reads nothing outside.
    if [ ! -f "$dist/SHA256SUMS" ]; then
        verdict fail "no file checked: there is no SHA256SUMS"
    elif bad=$(cd "$dist" && grep -E "^[0-9a-f]{64} [ *]($(echo "$names" | tr ' ' '|' | sed 's/\./\\./g'))\$" SHA256SUMS |
               sha256sum -c --quiet - 2>/dev/null); then
        verdict ok "every file matches SHA256SUMS"
    else
        verdict fail "not as SHA256SUMS says: $(echo "$bad" | sed -n 's/: FAILED.*$//p' | tr '\n' ' ')"
    fi

    # The sums' own signature, by the signer BUILDINFO names, checked at the time its time
    # stamp states: the certificate may have expired since.
    sums_signer=""
    if [ -n "$signed" ]; then
        p7s=$dist/SHA256SUMS.p7s
        checked="revocation not checked (no CRL=)"
        [ -z "$crls" ] || checked="revocation checked against CRL="
        # Whose signature it is, whatever its chain and time stamp: the signer's line says.
        [ ! -f "$p7s" ] || [ ! -f "$dist/SHA256SUMS" ] ||
            ! openssl cms -verify -binary -inform DER -in "$p7s" -content "$dist/SHA256SUMS" -noverify \
                -signer "$work/sums-signer.pem" -out /dev/null >/dev/null 2>&1 ||
            sums_signer=$(cert_fingerprint "$work/sums-signer.pem")
        if [ ! -f "$p7s" ] || [ ! -f "$dist/SHA256SUMS" ]; then
            verdict fail "SHA256SUMS.p7s is not checked: it or SHA256SUMS is missing"
        elif [ ! -f "$p7s.tsr" ]; then
            verdict fail "SHA256SUMS.p7s has no time stamp (SHA256SUMS.p7s.tsr): its signature dies with its certificate"
        elif ! stamped=$(timestamp_of "$p7s.tsr" "$p7s" "${ca:+$work/roots.pem}" "$crls"); then
            verdict fail "SHA256SUMS.p7s.tsr is not a valid time stamp of SHA256SUMS.p7s${ca:+ up to $ca}: $(reason "$work/ts.log")"
        else
            when=$(date -u -d "@$stamped" '+%Y-%m-%d %H:%M:%S UTC')
            if [ -n "$ca" ]; then
                set -- -CAfile "$work/roots.pem" -purpose any -attime "$stamped"
            else
                set -- -noverify
            fi
            if openssl cms -verify -binary -inform DER -in "$p7s" -content "$dist/SHA256SUMS" \
                   "$@" -out /dev/null >"$work/cms.log" 2>&1 && sums_not_revoked; then
                verdict ok "SHA256SUMS.p7s is a signature of SHA256SUMS by $(cert_subject "$work/sums-signer.pem"), time-stamped $when${ca:+, both up to $ca at that time, $checked}"
            else
                verdict fail "SHA256SUMS.p7s is not a signature of SHA256SUMS${ca:+ up to $ca} at its time stamp's $when: $(reason "$work/cms.log")"
            fi
        fi
    fi

    # Only a commit of this checkout's history is built: a build runs its sources' scripts.
    fresh="$work/build/ScarvelRepair.exe"
    if [ -n "$ours" ]; then
        mkdir "$work/src"
        git -C "$src" archive --format=tar "$commit" | tar -x -C "$work/src"
        build_product "$work/build" "$work/src"
        built=$(sha256 "$fresh")
        published=$(sed -n 's/^\([0-9a-f]\{64\}\) [ *]ScarvelRepair\.exe$/\1/p' "$dist/SHA256SUMS-unsigned" 2>/dev/null) || :
        if [ "$built" = "$published" ]; then
            verdict ok "commit $commit builds the unsigned program of SHA256SUMS-unsigned: $built"
        else
            verdict fail "commit $commit builds $built, SHA256SUMS-unsigned says ${published:-nothing}; kept in $(keep_rebuilt); $(package_changes)"
        fi
    else
        verdict fail "not rebuilt: BUILDINFO's commit is not in this checkout's history"
    fi

    if [ -z "$ours" ]; then
        verdict fail "the shipped ScarvelRepair.exe is not compared with a build: there is none"
    elif [ -f "$dist/ScarvelRepair.exe.sig" ]; then
        if ! attach "$dist/ScarvelRepair.exe.sig" "$fresh" "$work/attached.exe"; then
            verdict fail "ScarvelRepair.exe.sig could not be attached to that build: osslsigncode: $(reason "$work/attached.exe.log")"
        elif cmp -s "$work/attached.exe" "$dist/ScarvelRepair.exe"; then
            verdict ok "that build with ScarvelRepair.exe.sig attached is the shipped ScarvelRepair.exe, byte for byte"
        else
            verdict fail "that build with ScarvelRepair.exe.sig attached is not the shipped ScarvelRepair.exe: $(byte_differences "$work/attached.exe" "$dist/ScarvelRepair.exe"); kept in $(keep_rebuilt)"
        fi
    elif [ -n "$signed" ]; then
        verdict fail "there is no ScarvelRepair.exe.sig to attach to that build"
    elif cmp -s "$fresh" "$dist/ScarvelRepair.exe"; then
        verdict ok "the shipped ScarvelRepair.exe is that build, unsigned, byte for byte"
    else
        verdict fail "the shipped ScarvelRepair.exe is not that build (and there is no ScarvelRepair.exe.sig): $(byte_differences "$fresh" "$dist/ScarvelRepair.exe"); kept in $(keep_rebuilt)"
    fi

    if [ -n "$signed" ]; then
        # osslsigncode compares each signature's digest with the file's whatever the chain;
        # with no root to chain to, it fetches nothing and its chain verdict is left aside.
        : >"$work/no-roots.pem"
        osslsigncode verify -CAfile "$work/no-roots.pem" -TSA-CAfile "$work/no-roots.pem" \
            -in "$dist/ScarvelRepair.exe" >"$work/digest.log" 2>&1 || :
        signatures "$work/digest.log" >"$work/signatures"
        found=$(cut -d' ' -f1 "$work/signatures" | tr '\n' ' ' | sed 's/ $//')
        if [ -s "$work/signatures" ] && ! grep -q -v " same " "$work/signatures" &&
           [ "$found" = "$(info digests)" ]; then
            verdict ok "the Authenticode digests in the shipped ScarvelRepair.exe are its own: $found"
        else
            said=$(grep -m 1 "MISMATCH" "$work/digest.log" | tr -s ' ' ' ') || said=""
            verdict fail "the Authenticode digests in the shipped ScarvelRepair.exe: ${found:-none}, not all its own, or not the $(info digests) of BUILDINFO${said:+ (osslsigncode: $said)}"
        fi

        # Whose signatures: the certificate BUILDINFO names, that made SHA256SUMS.p7s and
        # each Authenticode signature, and that the auditor's own HEAD lists (never the
        # release's commit, which anyone who can push a branch can write).
        git -C "$src" show HEAD:resources/signers.txt >"$work/signers.txt" 2>/dev/null || : >"$work/signers.txt"
        listed="" owner=""
        while read -r fingerprint comment; do
            case $fingerprint in ""|"#"*) continue ;; esac
            if [ "$(printf '%s' "$fingerprint" | fingerprint_form)" = "$signer" ]; then
                listed=yes owner=${comment#"#"}
            fi
        done <"$work/signers.txt"
        serial=""
        [ -z "$sums_signer" ] ||
            serial=$(openssl x509 -in "$work/sums-signer.pem" -noout -serial | sed 's/^serial=//')
        what="signer $signer ($(info 'signer subject'))"
        if [ -z "$signer" ]; then
            verdict fail "BUILDINFO names no signer"
        elif [ "$sums_signer" != "$signer" ] ||
             [ "$(awk -v serial="$serial" 'NF == 3 && $3 != serial' "$work/signatures")" ]; then
            verdict fail "$what is not the signer of SHA256SUMS.p7s (${sums_signer:-none}) or of every Authenticode signature"
        elif [ -n "$listed" ]; then
            verdict ok "$what, listed in resources/signers.txt of HEAD:${owner:- (no owner named)}"
        elif [ "$signer" = "$extra_signer" ]; then
            verdict ok "$what, given as SIGNER="
        else
            verdict fail "$what is not listed in resources/signers.txt of HEAD $head: to trust it, commit the line \"$signer  # its owner\" there, or give SIGNER=$signer"
        fi
    elif [ -n "$ca" ]; then
        verdict fail "the release is unsigned: there is no signature to verify up to $ca"
    else
        verdict ok "the release is unsigned: no signer vouches for it, only its rebuild from commit ${commit:-(none)}"
    fi

    if [ -z "$ours" ]; then
        verdict fail "ScarvelRepair-unattended.cmd is not compared: BUILDINFO's commit is not in this checkout's history"
    elif cmp -s "$dist/ScarvelRepair-unattended.cmd" "$work/src/resources/ScarvelRepair-unattended.cmd"; then
        verdict ok "ScarvelRepair-unattended.cmd is resources/ScarvelRepair-unattended.cmd of commit $commit, byte for byte"
    else
        verdict fail "ScarvelRepair-unattended.cmd is not resources/ScarvelRepair-unattended.cmd of commit $commit"
    fi

    if [ -n "$ca" ] && [ -n "$signed" ]; then
        version_said=$(osslsigncode --version 2>&1 | head -n 1 | cut -d, -f1)
        help=$(osslsigncode --help 2>&1 || :)
        set -- -CAfile "$ca" -TSA-CAfile "$ca"
        [ -z "$crls" ] || set -- "$@" -CRLfile "$work/crls.pem" -TSA-CRLfile "$work/crls.pem"
        checked="revocation checked against CRL="
        case $help in
            # 2.9 fetches each distribution point unless told not to.
            *-ignore-crl*)
                if [ -n "$crls" ]; then
                    set -- "$@" -ignore-cdp
                else
                    set -- "$@" -ignore-crl
                    checked="revocation not checked (no CRL=)"
                fi ;;
            *-ignore-cdp*) [ -z "$crls" ] || set -- "$@" -ignore-cdp; [ -n "$crls" ] || checked="" ;;
            # 2.5 fetches none and checks only the lists it is given.
            *) [ -n "$crls" ] || checked="revocation not checked (no CRL=; $version_said checks none without it)" ;;
        esac
        if [ -z "$checked" ]; then
            verdict fail "the signatures are not checked up to $ca: $version_said would fetch their revocation lists; give CRL="
        elif osslsigncode verify "$@" -in "$dist/ScarvelRepair.exe" >"$work/verify.log" 2>&1 &&
             ! grep -q "verification: failed" "$work/verify.log"; then
            verdict ok "the signatures of the shipped ScarvelRepair.exe verify up to $ca, $checked"
        else
            verdict fail "the signatures of the shipped ScarvelRepair.exe do not verify up to $ca: osslsigncode: $(reason "$work/verify.log")"
        fi
    fi
    [ "$failures" -eq 0 ] || exit 1
}

case ${1:-} in
    dist) make_dist "${2:-dist}" ;;
    verify) verify_dist "${2:-}" "${3:-}" "${4:-}" "${5:-}" ;;
    *) echo "usage: $0 dist DIR | verify DIR [CA [SIGNER [CRL]]]" >&2; exit 2 ;;
esac
