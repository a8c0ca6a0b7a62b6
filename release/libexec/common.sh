# What making a release and verifying one share: failure, the release's files, the product's
# build and its records, certificates, and the reasons the tools give. Sourced by
# release/make-release and release/verify-release, which set -euf first.

# The verb scripts' folder, the sources it belongs to and the first word of a failure's line,
# which the verb script sets before it sources this file.
here=${here:?} src=${src:?} me=${me:?}
# Removed when the script ends, however it ends: the scratch folder, and a release not yet
# renamed into its place. A previous release moved aside to make room ($aside holds it, and
# $aside_to names its place) goes back there if the new one never took it.
work=""
staging=""
aside=""
aside_to=""

fail() {
    echo "$me: $*" >&2
    exit 1
}

# Renames the staged release into its place $1. A release already there is moved aside first,
# and cleanup puts it back if the new one never took its place.
put_in_place() {
    if [ -d "$1" ]; then
        aside_to=$1
        aside=$(mktemp -d "$(dirname "$1")/.$(basename "$1").old.XXXXXX")
        mv "$1" "$aside/"
    fi
    mv "$staging" "$1"
    staging=""
}

cleanup() {
    [ -z "$work" ] || rm -rf "$work"
    [ -z "$staging" ] || rm -rf "$staging"
    if [ -n "$aside" ]; then
        [ -e "$aside_to" ] || mv "$aside/$(basename "$aside_to")" "$aside_to"
        rm -rf "$aside"
    fi
}
trap cleanup EXIT
trap 'exit 1' HUP INT PIPE TERM

# The programs a release ships, built, signed and checked alike: the repair tool and the
# check that reads what it repairs.
PROGRAMS="ScarvelRepair.exe ScarvelCheck.exe"

# The names of a release's files, signed ($1 = signed) or not ($1 empty).
release_files() {
    echo "BUILDINFO SHA256SUMS SHA256SUMS-unsigned ScarvelRepair-unattended.cmd $PROGRAMS${1:+ SHA256SUMS.p7s SHA256SUMS.p7s.tsr ScarvelRepair.exe.sig ScarvelCheck.exe.sig}"
}

# The description Windows shows for the signature is the version resource's product name;
# the release's version, its file version. $1: resources.rc's text on standard input.
rc_value() {
    sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"[[:space:]]*\$/\\1/p"
}

product_name() {
    rc_value ProductName <"$src/resources/resources.rc"
}

# The options of the shipped program's build, as BUILDINFO records them and the build uses
# them (CMake looks for a relative toolchain file in the sources).
CMAKE_OPTIONS="-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF"

# The shipped 32-bit programs, configured and built from clean in folder $1 from the sources
# in $2 (the build is reproducible, so any folder gives the same bytes).
build_product() {
    # shellcheck disable=SC2086 # CMAKE_OPTIONS is one word per option, none with a space
    if ! { cmake -S "$2" -B "$1" $CMAKE_OPTIONS &&
           cmake --build "$1" --target ScarvelRepair ScarvelCheck -j "${JOBS:-2}"; } >"$1.log" 2>&1; then
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
    if [ ! -f "$1" ] || [ ! -r "$1" ]; then
        fail "cannot read $2: $1"
    fi
}

# Attaches signature $1 to program $2 as $3, its messages in $3.log, trusting no root: the
# bytes alone decide, and with nothing to chain to, osslsigncode fetches no revocation list.
# It then fails its own check of the result but writes it all the same.
attach() {
    rm -f "$3"
    : >"$3.no-roots.pem"
    osslsigncode attach-signature -CAfile "$3.no-roots.pem" -TSA-CAfile "$3.no-roots.pem" \
        -sigin "$1" -in "$2" -out "$3" >"$3.log" 2>&1 || :
    [ -f "$3" ]
}

# Verifies the time-stamp reply $1 over file $2 up to the CA file $3 (revocation against
# the CRLs in it when $4 is set), or, without $3, up to the certificates the reply carries;
# prints its time as seconds since 1970. openssl's messages go to $5/ts.log, its files to $5.
timestamp_of() {
    reply=$1 data=$2 log=$5/ts.log
    if [ -n "$3" ]; then
        set -- -CAfile "$3" ${4:+-crl_check_all}
    else
        openssl ts -reply -in "$reply" -token_out -out "$5/token.der" >"$log" 2>&1 &&
            openssl pkcs7 -inform DER -in "$5/token.der" -print_certs \
                -out "$5/token-certs.pem" >>"$log" 2>&1 || return 1
        set -- -CAfile "$5/token-certs.pem" -partial_chain
    fi
    openssl ts -verify -data "$data" -in "$reply" "$@" >"$log" 2>&1 || return 1
    stamped=$(openssl ts -reply -in "$reply" -text 2>>"$log" | sed -n 's/^Time stamp: //p')
    [ -n "$stamped" ] && date -u -d "$stamped" +%s 2>>"$log"
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
