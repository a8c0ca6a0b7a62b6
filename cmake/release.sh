#!/bin/sh
# The release of the product, and its check by anyone who holds one.
#
#   release.sh dist DIR                 make release: DIR/ with the product built from clean,
#                                       signed when SIGN_CERT and SIGN_KEY are set, the
#                                       unattended runner, BUILDINFO and the sums
#   release.sh verify DIR [CA [SIGNER]] make verify-release: rebuilds the product from these
#                                       sources and checks DIR against them; with CA, the
#                                       signatures' chains too; SIGNER, one more trusted
#                                       signer's SHA-256 fingerprint
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
#   ALLOW_DIRTY=1       release a tree with uncommitted changes (BUILDINFO says so)
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
SIGNED_FILES="$RELEASE_FILES SHA256SUMS.p7s ScarvelRepair.exe.sig"

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
CMAKE_OPTIONS="-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF"
build_product() {
    if ! { cmake -S "$src" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
               -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
           cmake --build "$1" --target ScarvelRepair -j "${JOBS:-2}"; } >"$1.log" 2>&1; then
        tail -n 20 "$1.log" >&2
        fail "the product did not build from $src (its last lines are above)"
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
    if [ -n "$commit" ] && [ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
        tree="$commit clean"
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
    tree_state
    if [ -n "${SIGN_CERT:-}$key" ]; then
        check_signing_material
        signed=yes
    fi
    sh "$here/install-deps.sh"
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
        attach "$staging/ScarvelRepair.exe.sig" "$work/unsigned/ScarvelRepair.exe" "$work/attached.exe" &&
            cmp -s "$work/attached.exe" "$staging/ScarvelRepair.exe" ||
            fail "the detached signature does not give the signed file back"
    else
        cp "$work/unsigned/ScarvelRepair.exe" "$staging/ScarvelRepair.exe"
    fi
    cp "$src/resources/ScarvelRepair-unattended.cmd" "$staging/"
    {
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
    [ -z "$signed" ] || sign_sums "$staging/SHA256SUMS"
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
    echo "$me: $dist, $( [ -n "$signed" ] && echo "signed ($digests): $subject" || echo "unsigned"), commit $tree"
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

# Attaches signature $1 to program $2 as $3, its messages in $3.log. osslsigncode then
# verifies the result and fails on an untrusted chain too: without CA ($4) its verdict is
# read from the digests it compares.
attach() {
    rm -f "$3"
    if [ -n "${4:-}" ]; then
        osslsigncode attach-signature -CAfile "$4" -TSA-CAfile "$4" -sigin "$1" -in "$2" -out "$3" >"$3.log" 2>&1
    else
        osslsigncode attach-signature -sigin "$1" -in "$2" -out "$3" >"$3.log" 2>&1 || :
        [ -f "$3" ] && signatures "$3.log" >"$3.digests" && [ -s "$3.digests" ] &&
            ! grep -q -v " same " "$3.digests"
    fi
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
    [ -n "$dist" ] || fail "name the release's folder: make verify-release DIST=folder [CA=file] [SIGNER=fingerprint]"
    [ -d "$dist" ] || fail "no folder $dist"
    [ -z "$ca" ] || readable "$ca" CA
    failures=0
    work=$(mktemp -d "${TMPDIR:-/tmp}/scarvel-verify.XXXXXX")
    signer=$(info signer)
    signed=""
    if [ -n "$signer" ] || [ -e "$dist/ScarvelRepair.exe.sig" ] || [ -e "$dist/SHA256SUMS.p7s" ]; then
        signed=yes
        names=$SIGNED_FILES
    else
        names=$RELEASE_FILES
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
                      "$(echo "$names" | tr ' ' '\n' | grep -v -x -e SHA256SUMS -e SHA256SUMS.p7s)")
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

    # The sums' own signature, by the signer BUILDINFO names.
    sums_signer=""
    if [ -n "$signed" ]; then
        if [ -n "$ca" ]; then
            set -- -CAfile "$ca" -purpose any
        else
            set -- -noverify
        fi
        if [ -f "$dist/SHA256SUMS.p7s" ] && [ -f "$dist/SHA256SUMS" ] &&
           openssl cms -verify -binary -inform DER -in "$dist/SHA256SUMS.p7s" -content "$dist/SHA256SUMS" \
               "$@" -signer "$work/sums-signer.pem" -out /dev/null >"$work/cms.log" 2>&1; then
            sums_signer=$(cert_fingerprint "$work/sums-signer.pem")
            verdict ok "SHA256SUMS.p7s is a signature of SHA256SUMS${ca:+ up to $ca}, by $(cert_subject "$work/sums-signer.pem")"
        else
            verdict fail "SHA256SUMS.p7s is not a signature of SHA256SUMS${ca:+ up to $ca}"
        fi
    fi

    build_product "$work/build"
    fresh="$work/build/ScarvelRepair.exe"
    built=$(sha256 "$fresh")
    published=$(sed -n 's/^\([0-9a-f]\{64\}\) [ *]ScarvelRepair\.exe$/\1/p' "$dist/SHA256SUMS-unsigned" 2>/dev/null) || :
    if [ "$built" = "$published" ]; then
        verdict ok "these sources build the unsigned program of SHA256SUMS-unsigned: $built"
    else
        commit=$(git -C "$src" rev-parse HEAD 2>/dev/null) || commit=unknown
        case $(info commit) in "$commit "*) commit="" ;; esac
        verdict fail "these sources build $built, SHA256SUMS-unsigned says ${published:-nothing}; kept in $(keep_rebuilt);${commit:+ these sources are commit $commit, BUILDINFO names $(info commit);} $(package_changes)"
    fi

    if [ -f "$dist/ScarvelRepair.exe.sig" ]; then
        if attach "$dist/ScarvelRepair.exe.sig" "$fresh" "$work/attached.exe" "$ca" &&
           cmp -s "$work/attached.exe" "$dist/ScarvelRepair.exe"; then
            verdict ok "that build with ScarvelRepair.exe.sig attached is the shipped ScarvelRepair.exe, byte for byte"
        else
            said=$(grep -m 1 -e MISMATCH -e mismatch -e "^Failed" "$work/attached.exe.log" | tr -s ' \t' ' ')
            verdict fail "that build with ScarvelRepair.exe.sig attached is not the shipped ScarvelRepair.exe${said:+ (osslsigncode: $said)}; kept in $(keep_rebuilt)"
        fi
    elif [ -n "$signed" ]; then
        verdict fail "there is no ScarvelRepair.exe.sig to attach to that build"
    elif cmp -s "$fresh" "$dist/ScarvelRepair.exe"; then
        verdict ok "the shipped ScarvelRepair.exe is that build, unsigned, byte for byte"
    else
        verdict fail "the shipped ScarvelRepair.exe is not that build (and there is no ScarvelRepair.exe.sig); kept in $(keep_rebuilt)"
    fi

    if [ -n "$signed" ]; then
        # osslsigncode compares each signature's digest with the file's whatever the chain;
        # without CA= only the chain's verdict is left aside.
        osslsigncode verify -in "$dist/ScarvelRepair.exe" >"$work/digest.log" 2>&1 || :
        signatures "$work/digest.log" >"$work/signatures"
        found=$(cut -d' ' -f1 "$work/signatures" | tr '\n' ' ' | sed 's/ $//')
        if [ -s "$work/signatures" ] && ! grep -q -v " same " "$work/signatures" &&
           [ "$found" = "$(info digests)" ]; then
            verdict ok "the Authenticode digests in the shipped ScarvelRepair.exe are its own: $found"
        else
            verdict fail "the Authenticode digests in the shipped ScarvelRepair.exe: ${found:-none}, not all its own, or not the $(info digests) of BUILDINFO"
        fi

        # Whose signatures: the certificate BUILDINFO names, that made SHA256SUMS.p7s and
        # each Authenticode signature, and that these sources list.
        listed="" owner=""
        while read -r fingerprint comment; do
            case $fingerprint in ""|"#"*) continue ;; esac
            if [ "$(printf '%s' "$fingerprint" | fingerprint_form)" = "$signer" ]; then
                listed=yes owner=${comment#"#"}
            fi
        done <"$src/resources/signers.txt"
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
            verdict ok "$what, listed in resources/signers.txt:${owner:- (no owner named)}"
        elif [ "$signer" = "$extra_signer" ]; then
            verdict ok "$what, given as SIGNER="
        else
            verdict fail "$what is not listed: to trust it, add the line \"$signer  # its owner\" to resources/signers.txt, or give SIGNER=$signer"
        fi
    fi

    if cmp -s "$dist/ScarvelRepair-unattended.cmd" "$src/resources/ScarvelRepair-unattended.cmd"; then
        verdict ok "ScarvelRepair-unattended.cmd is resources/ScarvelRepair-unattended.cmd, byte for byte"
    else
        verdict fail "ScarvelRepair-unattended.cmd is not resources/ScarvelRepair-unattended.cmd of these sources"
    fi

    if [ -n "$ca" ] && [ -z "$signed" ]; then
        verdict fail "the release is unsigned: there is no signature to verify up to $ca"
    elif [ -n "$ca" ]; then
        if osslsigncode verify -CAfile "$ca" -TSA-CAfile "$ca" -in "$dist/ScarvelRepair.exe" \
               >"$work/verify.log" 2>&1 && ! grep -q "verification: failed" "$work/verify.log"; then
            verdict ok "the signatures of the shipped ScarvelRepair.exe verify up to $ca"
        else
            verdict fail "the signatures of the shipped ScarvelRepair.exe do not verify up to $ca"
        fi
    fi
    [ "$failures" -eq 0 ] || exit 1
}

case ${1:-} in
    dist) make_dist "${2:-dist}" ;;
    verify) verify_dist "${2:-}" "${3:-}" "${4:-}" ;;
    *) echo "usage: $0 dist DIR | verify DIR [CA [SIGNER]]" >&2; exit 2 ;;
esac
