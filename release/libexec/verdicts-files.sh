# The checks of verify-release on the release's record and files, one function per verdict,
# in the order it calls them. Each prints its one line (verdict) and returns 1 when it
# fails; each runs in a subshell of its own, so that what it learns reaches no other check:
# what a check needs comes as its arguments. Sourced by release/verify-release.

# The version and the tag of release $1, whose commit $2 is in the history of the checkout
# $4 when $3 is set.
check_version() (
    version=$(info "$1" version) tag=$(info "$1" tag)
    release="version ${version:-none}, tag ${tag:-none}"
    at_commit=""
    [ -z "$3" ] || at_commit=$(git -C "$4" show "$2:resources/resources.rc" | rc_value FileVersion)
    if [ -z "$version" ]; then
        verdict fail "BUILDINFO names no version (a release made before versions were recorded)"
    elif [ -z "$3" ]; then
        verdict fail "$release, unconfirmed: BUILDINFO's commit is not in this checkout's history"
    elif [ "$at_commit" != "$version" ]; then
        verdict fail "$release: resources/resources.rc of commit $2 has the file version $at_commit"
    elif [ "${tag:-none}" != none ] &&
         [ "$(git -C "$4" rev-parse -q --verify "refs/tags/$tag^{commit}" 2>/dev/null)" != "$2" ]; then
        verdict fail "$release: this checkout's tag $tag is not commit $2"
    else
        verdict ok "$release"
    fi
)

# BUILDINFO's commit $1 and tree state $2 (in this checkout's history when $3 is set), and
# this checkout's HEAD $4.
check_commit() (
    if [ -z "$3" ]; then
        verdict fail "BUILDINFO's commit ${1:-(none)} is not in the history of this checkout's HEAD $4: its sources are not built, nor compared"
    elif [ "$2" != clean ]; then
        verdict fail "released from a dirty tree at commit $1 (BUILDINFO: ${2#dirty }): no commit holds its sources"
    elif [ "$1" = "$4" ]; then
        verdict ok "BUILDINFO's commit $1 is this checkout's HEAD, built from a clean tree"
    else
        verdict ok "BUILDINFO's commit $1 is an ancestor of this checkout's HEAD $4, built from a clean tree"
    fi
)

# The names among the words of $1 not among those of $2, and those of $2 not in $1, as
# one phrase (empty when the two hold the same names).
differences() (
    extra="" missing="" others=""
    for name in $1; do
        case " $(printf '%s' "$2" | tr '\n' ' ') " in *" $name "*) ;; *) extra="$extra $name" ;; esac
    done
    for name in $2; do
        case " $(printf '%s' "$1" | tr '\n' ' ') " in *" $name "*) ;; *) missing="$missing $name" ;; esac
    done
    [ -z "$extra" ] || others=" other than the release's:$extra"
    echo "$others${extra:+${missing:+;}}${missing:+ missing:$missing}"
)

# Windows loads what lies beside the program: a DLL, a .manifest, a .local folder. $1: the
# release folder, $2: its files' names.
check_folder() (
    odd=$(differences "$(ls -A "$1")" "$2")
    if [ -z "$odd" ]; then
        verdict ok "the folder holds the release's files and nothing else"
    else
        verdict fail "the folder does not hold just the release's files:$odd"
    fi
)

# SHA256SUMS of release $1 names each of the files $2 but the sums' own, once.
check_sums_list() (
    listed=$(sed -n 's/^[0-9a-f]\{64\} [ *]//p' "$1/SHA256SUMS" 2>/dev/null) || :
    odd=$(differences "$(sed 's/^[0-9a-f]\{64\} [ *]//' "$1/SHA256SUMS" 2>/dev/null)" \
                      "$(echo "$2" | tr ' ' '\n' | grep -v -x -e SHA256SUMS -e SHA256SUMS.p7s -e SHA256SUMS.p7s.tsr)")
    if [ ! -f "$1/SHA256SUMS" ]; then
        verdict fail "there is no SHA256SUMS"
    elif [ -n "$odd" ] || [ "$(echo "$listed" | sort | uniq -d)" ]; then
        verdict fail "SHA256SUMS does not list exactly the release's files:$odd"
    else
        verdict ok "SHA256SUMS lists exactly the release's files"
    fi
)

# Only the lines of the release's own names $2: a path in SHA256SUMS reads nothing outside
# folder $1.
check_sums_match() (
    if [ ! -f "$1/SHA256SUMS" ]; then
        verdict fail "no file checked: there is no SHA256SUMS"
    elif bad=$(cd "$1" && grep -E "^[0-9a-f]{64} [ *]($(echo "$2" | tr ' ' '|' | sed 's/\./\\./g'))\$" SHA256SUMS |
               sha256sum -c --quiet - 2>/dev/null); then
        verdict ok "every file matches SHA256SUMS"
    else
        verdict fail "not as SHA256SUMS says: $(echo "$bad" | sed -n 's/: FAILED.*$//p' | tr '\n' ' ')"
    fi
)

# Whether the sums' signer $5 (and its chain) is on none of the revocation lists of roots
# file $3 when CRL= ($2) was given, whatever the time: a list published after the time
# stamp still tells of a certificate revoked before it. $1: the release; openssl's messages
# go to $4/cms.log.
sums_not_revoked() {
    [ -n "$2" ] || return 0
    openssl pkcs7 -inform DER -in "$1/SHA256SUMS.p7s" -print_certs -out "$4/sums-certs.pem" \
        >"$4/cms.log" 2>&1 &&
        openssl verify -no_check_time -crl_check_all -purpose any -CAfile "$3" \
            -untrusted "$4/sums-certs.pem" "$5" >"$4/cms.log" 2>&1
}

# The sums' own signature in release $1, by the certificate in file $6, checked at the time
# its time stamp states: the certificate may have expired since. With CA= ($3), up to the
# roots file $4 and against CRL= ($5); scratch folder $2.
check_sums_signature() (
    dist=$1 folder=$2 ca=$3 roots=$4 crls=$5 signer=$6
    p7s=$dist/SHA256SUMS.p7s
    checked="revocation not checked (no CRL=)"
    [ -z "$crls" ] || checked="revocation checked against CRL="
    if [ ! -f "$p7s" ] || [ ! -f "$dist/SHA256SUMS" ]; then
        verdict fail "SHA256SUMS.p7s is not checked: it or SHA256SUMS is missing"
    elif [ ! -f "$p7s.tsr" ]; then
        verdict fail "SHA256SUMS.p7s has no time stamp (SHA256SUMS.p7s.tsr): its signature dies with its certificate"
    elif ! stamped=$(timestamp_of "$p7s.tsr" "$p7s" "${ca:+$roots}" "$crls" "$folder"); then
        verdict fail "SHA256SUMS.p7s.tsr is not a valid time stamp of SHA256SUMS.p7s${ca:+ up to $ca}: $(reason "$folder/ts.log")"
    else
        when=$(date -u -d "@$stamped" '+%Y-%m-%d %H:%M:%S UTC')
        if [ -n "$ca" ]; then
            set -- -CAfile "$roots" -purpose any -attime "$stamped"
        else
            set -- -noverify
        fi
        if openssl cms -verify -binary -inform DER -in "$p7s" -content "$dist/SHA256SUMS" \
               "$@" -out /dev/null >"$folder/cms.log" 2>&1 &&
           sums_not_revoked "$dist" "$crls" "$roots" "$folder" "$signer"; then
            verdict ok "SHA256SUMS.p7s is a signature of SHA256SUMS by $(cert_subject "$signer"), time-stamped $when${ca:+, both up to $ca at that time, $checked}"
        else
            verdict fail "SHA256SUMS.p7s is not a signature of SHA256SUMS${ca:+ up to $ca} at its time stamp's $when: $(reason "$folder/cms.log")"
        fi
    fi
)
