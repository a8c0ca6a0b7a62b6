# The signing of a release: its material checked, the token's PIN kept off every command
# line, the Authenticode signatures, and the sums' signature and time stamp. Sourced by
# release/make-release after libexec/common.sh. The key ($key below) and the PIN are
# passed as arguments, never exported.

# Fails with one line unless SIGN_CERT and the key $1 are material a release can be signed
# with: both given and readable, a code-signing certificate still valid, a token's module,
# known digests, and a time-stamping authority.
check_signing_material() {
    key=$1
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
            readable "$SIGN_PKCS11_MODULE" SIGN_PKCS11_MODULE ;;
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

# The pkcs11: URI $2 without its pin-value attribute ($1 = uri; RFC 7512 puts it in the
# query, some put it among the path's), or the PIN alone, percent-decoded ($1 = pin). The
# URI is read through a pipe, never as an argument.
uri_part() {
    printf '%s\n' "$2" | awk -v want="$1" '
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

# Runs "$@" after the PIN $1 with the PIN readable on descriptor 3, when there is one.
with_pin() {
    if [ -n "$1" ]; then
        printf '%s' "$1" | { shift; "$@" 3<&0 </dev/null; }
    else
        shift
        "$@"
    fi
}

# Signs $1 into $2 in scratch folder $4 with key $5 (PIN $6): a SHA-1 primary signature and
# a nested SHA-256 one, or the digests $7, each time-stamped, the product's name as the
# description; osslsigncode's own messages go to $3.
sign() {
    in=$1 out=$2 log=$3 folder=$4 key=$5 pin=$6 digests=$7
    name=$(product_name)
    nest=""
    for digest in $digests; do
        set -- -h "$digest" -n "$name" -certs "$SIGN_CERT"
        case $key in
            # osslsigncode loads OpenSSL's own pkcs11 engine by name (2.5 fails on a path).
            pkcs11:*) set -- "$@" -pkcs11module "$SIGN_PKCS11_MODULE" -key "$(uri_part uri "$key")" ;;
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
        # Each program of the release is signed through the same files in turn.
        rm -f "$folder/signed.$digest"
        with_pin "$pin" osslsigncode sign "$@" ${nest:+-nest} -in "$in" -out "$folder/signed.$digest" \
            >"$log" 2>&1 || signing_failed "$log" "$key"
        in=$folder/signed.$digest
        nest=yes
    done
    cp "$in" "$out"
}

# SHA256SUMS ($1) signed with key $3 (PIN $4) as a detached CMS signature, $1.p7s; openssl's
# files go to scratch folder $2.
sign_sums() {
    sums=$1 folder=$2 key=$3 pin=$4
    set -- -sign -binary -md sha256 -in "$sums" -signer "$SIGN_CERT" -outform DER -out "$sums.p7s"
    # The chain after the signer's own certificate, which -signer adds.
    awk '/-BEGIN CERTIFICATE-/ { n++ } n > 1' "$SIGN_CERT" >"$folder/chain.pem"
    [ ! -s "$folder/chain.pem" ] || set -- "$@" -certfile "$folder/chain.pem"
    case $key in
        pkcs11:*)
            # The engine's module comes from a configuration of its own.
            cat >"$folder/pkcs11.cnf" <<EOF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = $SIGN_PKCS11_MODULE
EOF
            set -- "$@" -engine pkcs11 -keyform engine -inkey "$(uri_part uri "$key")" ;;
        *) set -- "$@" -inkey "$key" ;;
    esac
    [ -z "$pin" ] || set -- "$@" -passin fd:3
    if [ -f "$folder/pkcs11.cnf" ]; then
        with_pin "$pin" env OPENSSL_CONF="$folder/pkcs11.cnf" openssl cms "$@" >"$folder/cms.log" 2>&1
    else
        with_pin "$pin" openssl cms "$@" >"$folder/cms.log" 2>&1
    fi || signing_failed "$folder/cms.log" "$key"
}

# An RFC 3161 time stamp of the sums' signature $1 as $1.tsr, from the program's own
# authority, so that the signature outlives its certificate as the program's do; the
# request and openssl's messages go to scratch folder $2.
stamp_sums() {
    signature=$1 folder=$2
    openssl ts -query -data "$signature" -sha256 -cert -out "$folder/sums.tsq" >"$folder/ts.log" 2>&1 ||
        fail "openssl could not make a time-stamp request: $(reason "$folder/ts.log")"
    if [ -n "${SIGN_TSA_CERTS:-}" ]; then
        openssl rand -hex 8 >"$folder/tsa.serial"
        # A time-stamping authority of one's own states no policy of its own: any OID does.
        printf '%s\n' "[tsa]" "default_tsa = own" "[own]" "serial = $folder/tsa.serial" \
            "signer_digest = sha256" "default_policy = 1.2.3.4.1" "digests = sha256" \
            "ess_cert_id_alg = sha256" "accuracy = secs:1" >"$folder/tsa.cnf"
        awk '/-BEGIN CERTIFICATE-/ { n++ } n == 1' "$SIGN_TSA_CERTS" >"$folder/tsa-signer.pem"
        awk '/-BEGIN CERTIFICATE-/ { n++ } n > 1' "$SIGN_TSA_CERTS" >"$folder/tsa-chain.pem"
        set -- -signer "$folder/tsa-signer.pem" -inkey "$SIGN_TSA_KEY"
        [ ! -s "$folder/tsa-chain.pem" ] || set -- "$@" -chain "$folder/tsa-chain.pem"
        openssl ts -reply -config "$folder/tsa.cnf" -queryfile "$folder/sums.tsq" "$@" \
            -out "$folder/sums.tsr" >"$folder/ts.log" 2>&1 ||
            fail "time-stamping SHA256SUMS.p7s failed: $(reason "$folder/ts.log")"
    else
        curl -s -S -f --max-time 60 -H "Content-Type: application/timestamp-query" \
            --data-binary "@$folder/sums.tsq" -o "$folder/sums.tsr" "$SIGN_TSA" >"$folder/ts.log" 2>&1 ||
            fail "time-stamping SHA256SUMS.p7s at $SIGN_TSA failed: $(reason "$folder/ts.log")"
    fi
    timestamp_of "$folder/sums.tsr" "$signature" "" "" "$folder" >/dev/null ||
        fail "the time stamp of SHA256SUMS.p7s does not verify: $(reason "$folder/ts.log")"
    cp "$folder/sums.tsr" "$signature.tsr"
}

# One line on why osslsigncode or openssl did not sign, from its messages in $1 ($2: the key).
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
        fail "no such key on the token: $(uri_part uri "$2")"
    elif grep -q -i "timestamp" "$1"; then
        fail "time-stamping failed: $(grep -i -m1 timestamp "$1")"
    fi
    fail "did not sign: $(grep -v -e '^Engine ' -e '^Failed$' "$1" | head -n 1)"
}
