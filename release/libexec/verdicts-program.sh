# The checks of verify-release on the program, its rebuild and its signatures, one function
# per verdict, in the order it calls them, as in libexec/verdicts-files.sh: each prints its
# one line and returns 1 when it fails, in a subshell of its own. A scratch folder given to
# them holds the rebuild as build/<program> for each of $PROGRAMS, and its log as build.log.
# A check of the programs names each that fails; its line is ok only when all pass.

# Keeps the rebuilt program of scratch folder $1 (and the attached one) in a new folder of
# its own that outlives the check (made by mktemp, so no other user can have put it there
# first), and names it.
keep_rebuilt() {
    kept=$(mktemp -d "${TMPDIR:-/tmp}/scarvel-rebuilt.XXXXXX") || return 1
    for program in $PROGRAMS; do
        cp "$1/build/$program" "$kept/"
        [ ! -f "$1/$program.attached" ] || cp "$1/$program.attached" "$kept/"
    done
    cp "$1/build.log" "$kept/"
    echo "$kept"
}

# Where files $1 and $2 differ, in one phrase.
byte_differences() {
    first=$(cmp "$1" "$2" 2>&1 | sed -n 's/^.* differ: byte \([0-9]*\),.*$/\1/p; s/^cmp: EOF on .* after byte \([0-9]*\).*$/\1 (then one ends)/p')
    echo "bytes that differ: $(cmp -l "$1" "$2" 2>/dev/null | wc -l), the first at byte ${first:-?}; $(wc -c <"$1") and $(wc -c <"$2") bytes long"
}

# The packages of release $1's BUILDINFO whose version here is another.
package_changes() {
    sed -n 's/^package: //p' "$1/BUILDINFO" 2>/dev/null | while read -r package version; do
        now=$(dpkg-query -W -f '${Version}' "$package" 2>/dev/null) || now="not installed"
        [ "$now" = "$version" ] || printf '%s ' "$package $now here, $version in BUILDINFO;"
    done
}

# For each signature of program $1 (osslsigncode verify's output, kept in $2/digest.log): its
# digest algorithm, whether the digest in it is the file's, and its signer's serial number
# (which osslsigncode prints only for a digest that matches). With no root to chain to,
# osslsigncode fetches nothing and compares the digests all the same.
authenticode_signatures() {
    : >"$2/no-roots.pem"
    osslsigncode verify -CAfile "$2/no-roots.pem" -TSA-CAfile "$2/no-roots.pem" \
        -in "$1" >"$2/digest.log" 2>&1 || :
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
        }' "$2/digest.log"
}

# Commit $2 (when in this checkout's history, $1), rebuilt in scratch folder $4, is the
# unsigned program of release $3.
check_rebuild() (
    [ -n "$1" ] || { verdict fail "not rebuilt: BUILDINFO's commit is not in this checkout's history"; return; }
    same="" other=""
    for program in $PROGRAMS; do
        built=$(sha256 "$4/build/$program")
        published=$(sed -n "s/^\([0-9a-f]\{64\}\) [ *]$program\$/\1/p" "$3/SHA256SUMS-unsigned" 2>/dev/null) || :
        if [ "$built" = "$published" ]; then
            same="$same, $program $built"
        else
            other="$other; $program $built, SHA256SUMS-unsigned says ${published:-nothing}"
        fi
    done
    if [ -z "$other" ]; then
        verdict ok "commit $2 builds the unsigned programs of SHA256SUMS-unsigned: ${same#, }"
    else
        verdict fail "commit $2 builds ${other#; }; kept in $(keep_rebuilt "$4"); $(package_changes "$3")"
    fi
)

# The shipped program $5 of release $3 is its rebuild in scratch folder $4 (there is one when
# $1 is set), with the release's signature attached when it has one; $2 is set for a signed
# release. Prints a phrase; returns 1 when it is not.
shipped_as_built() {
    fresh=$4/build/$5 shipped=$3/$5 attached=$4/$5.attached
    if [ ! -f "$shipped" ]; then
        echo "there is no shipped $5 to compare with that build"
        return 1
    elif [ -f "$shipped.sig" ]; then
        if ! attach "$shipped.sig" "$fresh" "$attached"; then
            echo "$5.sig could not be attached to that build: osslsigncode: $(reason "$attached.log")"
            return 1
        elif cmp -s "$attached" "$shipped"; then
            echo "that build with $5.sig attached is the shipped $5, byte for byte"
        else
            echo "that build with $5.sig attached is not the shipped $5: $(byte_differences "$attached" "$shipped")"
            return 1
        fi
    elif [ -n "$2" ]; then
        echo "there is no $5.sig to attach to that build"
        return 1
    elif cmp -s "$fresh" "$shipped"; then
        echo "the shipped $5 is that build, unsigned, byte for byte"
    else
        echo "the shipped $5 is not that build (and there is no $5.sig): $(byte_differences "$fresh" "$shipped")"
        return 1
    fi
}

# Each shipped program of release $3 is the rebuild in scratch folder $4 (there is one when
# $1 is set), signed as the release says ($2 set for a signed release).
check_shipped() (
    if [ -z "$1" ]; then
        verdict fail "the shipped programs are not compared with a build: there is none"
        return
    fi
    same="" other=""
    for program in $PROGRAMS; do
        if said=$(shipped_as_built "$@" "$program"); then
            same="$same; $said"
        else
            other="$other; $said"
        fi
    done
    if [ -z "$other" ]; then
        verdict ok "${same#; }"
    else
        verdict fail "${other#; }; kept in $(keep_rebuilt "$4")"
    fi
)

# Every Authenticode signature of each program of release $1 holds the file's own digest,
# with the digests BUILDINFO names; osslsigncode's messages go to scratch folder $2.
check_digests() (
    want=$(info "$1" digests) same="" other=""
    for program in $PROGRAMS; do
        table=$(authenticode_signatures "$1/$program" "$2")
        found=$(printf '%s\n' "$table" | cut -d' ' -f1 | tr '\n' ' ' | sed 's/ $//')
        if [ -n "$table" ] && ! printf '%s\n' "$table" | grep -q -v " same " && [ "$found" = "$want" ]; then
            same="$same and $program"
        else
            said=$(grep -m 1 "MISMATCH" "$2/digest.log" | tr -s ' ' ' ') || said=""
            other="$other; in the shipped $program: ${found:-none}${said:+ (osslsigncode: $said)}"
        fi
    done
    if [ -z "$other" ]; then
        verdict ok "the Authenticode digests in the shipped ${same# and } are their own: $want"
    else
        verdict fail "the Authenticode digests ${other#; }, not all their own, or not the $want of BUILDINFO"
    fi
)

# Whose signatures: the certificate release $1's BUILDINFO names, that made SHA256SUMS.p7s
# (fingerprint $3, certificate file $4) and each Authenticode signature (table $2), and that
# the auditor's own HEAD of checkout $7 lists (never the release's commit, which anyone who
# can push a branch can write), or SIGNER= ($5). $6: that HEAD's commit.
check_signer() (
    signer=$(info "$1" signer)
    signers=$(git -C "$7" show HEAD:resources/signers.txt 2>/dev/null) || signers=""
    listed="" owner="" serial=""
    while read -r fingerprint comment; do
        case $fingerprint in ""|"#"*) continue ;; esac
        if [ "$(printf '%s' "$fingerprint" | fingerprint_form)" = "$signer" ]; then
            listed=yes owner=${comment#"#"}
        fi
    done <<EOF
$signers
EOF
    [ -z "$3" ] || serial=$(openssl x509 -in "$4" -noout -serial | sed 's/^serial=//')
    who="signer $signer ($(info "$1" 'signer subject'))"
    if [ -z "$signer" ]; then
        verdict fail "BUILDINFO names no signer"
    elif [ "$3" != "$signer" ] ||
         [ "$(printf '%s\n' "$2" | awk -v serial="$serial" 'NF == 3 && $3 != serial')" ]; then
        verdict fail "$who is not the signer of SHA256SUMS.p7s (${3:-none}) or of every Authenticode signature"
    elif [ -n "$listed" ]; then
        verdict ok "$who, listed in resources/signers.txt of HEAD:${owner:- (no owner named)}"
    elif [ "$signer" = "$5" ]; then
        verdict ok "$who, given as SIGNER="
    else
        verdict fail "$who is not listed in resources/signers.txt of HEAD $6: to trust it, commit the line \"$signer  # its owner\" there, or give SIGNER=$signer"
    fi
)

# An unsigned release: nothing to verify up to CA= ($1); commit $2 rebuilt is all there is.
check_unsigned() (
    if [ -n "$1" ]; then
        verdict fail "the release is unsigned: there is no signature to verify up to $1"
    else
        verdict ok "the release is unsigned: no signer vouches for it, only its rebuild from commit ${2:-(none)}"
    fi
)

# The runner of release $2 is the one of commit $4 (when in this checkout's history, $1),
# whose sources are in scratch folder $3.
check_runner() (
    if [ -z "$1" ]; then
        verdict fail "ScarvelRepair-unattended.cmd is not compared: BUILDINFO's commit is not in this checkout's history"
    elif cmp -s "$2/ScarvelRepair-unattended.cmd" "$3/src/resources/ScarvelRepair-unattended.cmd"; then
        verdict ok "ScarvelRepair-unattended.cmd is resources/ScarvelRepair-unattended.cmd of commit $4, byte for byte"
    else
        verdict fail "ScarvelRepair-unattended.cmd is not resources/ScarvelRepair-unattended.cmd of commit $4"
    fi
)

# The signatures of each program of release $1 verify up to CA= ($2), their revocation
# against CRL= ($3, gathered into $4/crls.pem), with nothing fetched.
check_chains() (
    version_said=$(osslsigncode --version 2>&1 | head -n 1 | cut -d, -f1)
    help=$(osslsigncode --help 2>&1 || :)
    dist=$1 ca=$2 crls=$3 folder=$4
    set -- -CAfile "$ca" -TSA-CAfile "$ca"
    [ -z "$crls" ] || set -- "$@" -CRLfile "$folder/crls.pem" -TSA-CRLfile "$folder/crls.pem"
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
        return
    fi
    failed=""
    for program in $PROGRAMS; do
        if ! osslsigncode verify "$@" -in "$dist/$program" >"$folder/verify.log" 2>&1 ||
           grep -q "verification: failed" "$folder/verify.log"; then
            failed="$failed; $program: osslsigncode: $(reason "$folder/verify.log")"
        fi
    done
    if [ -z "$failed" ]; then
        verdict ok "the signatures of the shipped programs verify up to $ca, $checked"
    else
        verdict fail "the signatures of the shipped programs do not verify up to $ca: ${failed#; }"
    fi
)
