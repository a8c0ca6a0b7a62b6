#!/bin/sh
# Installs, only when missing, the Debian packages that one use of the project needs:
#   install-deps.sh           the build, the tests, the demo, the benchmark and the lint (Wine,
#                             the i386 architecture, GoogleTest, SoftHSM2, the Chinese locale,
#                             faketime, shellcheck; node, npm and PyYAML for the workflow's
#                             lint); where the kernel runs no 32-bit code, no i386
#                             architecture and no wine32:i386
#   install-deps.sh release   make release: the 32-bit compiler, binutils, CMake, openssl,
#                             osslsigncode, curl (an RFC 3161 request by URL) and git
#   install-deps.sh release-pkcs11
#                             the same and SoftHSM2 with OpenSSL's PKCS#11 engine (a pkcs11: key)
#   install-deps.sh verify    make verify-release: the release's list without curl
#   install-deps.sh runs-32bit
#                             installs nothing: exits 0 where the kernel runs 32-bit code, else 1
# Runs without standard input (CI). Calls apt only when a package is missing. A Debian mirror
# in mid-sync fails some package lists for a while: the install goes on with the lists apt
# has, and stops only when a package cannot be installed.
# INSTALL_DEPS_RUN_PROBE: a command that runs the 32-bit probe in place of the kernel (tests).
set -eu
mingw="make cmake g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev openssl osslsigncode git"
case ${1:-all} in
    all)
        packages="$mingw g++-mingw-w64-x86-64 googletest wine wine64 wine32:i386 python3
python3-pefile tmux curl softhsm2 libengine-pkcs11-openssl locales-all faketime shellcheck
python3-yaml"
        # The workflow's lint runs on npm: Debian's, where the machine has no node of its own.
        command -v npm >/dev/null 2>&1 || packages="$packages nodejs npm" ;;
    release) packages="$mingw curl" ;;
    release-pkcs11) packages="$mingw curl softhsm2 libengine-pkcs11-openssl" ;;
    verify) packages=$mingw ;;
    runs-32bit) packages="" ;;
    *) echo "install-deps: all, release, release-pkcs11, verify or runs-32bit, not \"$1\"" >&2; exit 2 ;;
esac
UPDATE_TRIES=3
UPDATE_PAUSE=20
SYNCING="a Debian mirror is syncing: run \`make deps\` again in an hour"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
work=""
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM HUP
work=$(mktemp -d)

# Whether the kernel executes a 32-bit program: a 96-byte i386 ELF that exits with 42 (mov
# eax,1; mov ebx,42; int 0x80); an exec that fails never gives 42.
runs_32bit_code() {
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >"$work/probe32"
    printf '#!/bin/sh\nexit 42\n' >"$work/script"
    chmod +x "$work/probe32" "$work/script"
    status=0
    "$work/script" || status=$?
    if [ "$status" -ne 42 ]; then
        echo "install-deps: $work runs no programs at all (mounted noexec?): set TMPDIR to a folder that does" >&2
        exit 2
    fi
    status=0
    ${INSTALL_DEPS_RUN_PROBE:-} "$work/probe32" 2>/dev/null || status=$?
    [ "$status" -eq 42 ]
}

# apt-get update, tried again after a pause; where lists still fail, $failed_suites names
# their suites (dists/<suite>/ of apt's "Failed to fetch" lines) and the install goes on.
failed_suites=""
update_lists() {
    try=1
    while ! $SUDO apt-get update -qq >"$work/update.log" 2>&1; do
        cause=$(grep -m 1 '^E:' "$work/update.log" || tail -n 1 "$work/update.log")
        if [ "$try" -ge "$UPDATE_TRIES" ]; then
            failed_suites=$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' \
                "$work/update.log" | sort -u | tr '\n' ' ')
            echo "install-deps: some package lists still fail ($cause); installing from the lists apt has"
            return 0
        fi
        echo "install-deps: apt-get update failed ($cause); again in $UPDATE_PAUSE s"
        sleep "$UPDATE_PAUSE"
        try=$((try + 1))
    done
}

# apt-get install of $missing, with apt's options "$@"; its output in $work/install.log.
install_once() {
    # shellcheck disable=SC2086 # $SUDO is a command or nothing; $missing, package names
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@" install -y -qq --no-install-recommends \
        $missing </dev/null >"$work/install.log" 2>&1 && status=0 || status=$?
    cat "$work/install.log"
    return "$status"
}

# The install; where it fails and some lists failed, once more with their suites pinned
# below the others, so that every candidate comes from lists that agree across architectures.
install_missing() {
    echo "installing:$missing"
    update_lists
    install_once && return 0
    if [ -n "$failed_suites" ]; then
        for suite in $failed_suites; do
            printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite"
        done >"$work/preferences"
        echo "install-deps: again with the suites whose lists failed pinned below the others: $failed_suites(run apt-get upgrade once the mirror has synced)"
        install_once -o Dir::Etc::Preferences="$work/preferences" && return 0
    fi
    package=$(sed -n -e 's/^ \([^ ]*\) : Depends:.*/\1/p' -e "s/.*Unable to locate package \([^ ]*\).*/\1/p" \
        -e "s/.*Package '\([^']*\)' has no installation candidate.*/\1/p" "$work/install.log" | head -n 1)
    cause=$(grep -e '^E:' -e ' : Depends:' "$work/install.log" | sed 's/^ *//' | tr '\n' ' ' | sed 's/ $//')
    advice="check the cause above"
    [ -z "$failed_suites" ] || advice="$SYNCING"
    echo "install-deps: cannot install ${package:-the packages}: ${cause:-apt-get install failed}; $advice" >&2
    exit 1
}

if [ "${1:-all}" = runs-32bit ]; then
    runs_32bit_code
    exit
fi
add_i386=""
if [ "${1:-all}" = all ]; then
    if runs_32bit_code; then
        add_i386=yes
    else
        packages=$(printf '%s\n' $packages | grep -v -x 'wine32:i386')
        echo "install-deps: this kernel runs no 32-bit code: no i386 architecture, no wine32:i386 (the 32-bit build's Wine suites skip)"
    fi
fi
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ "${1:-all}" = all ]; then
    # The product is a 32-bit program: its Wine is Debian's i386 wine32, run under WoW64.
    if [ -n "$add_i386" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "adding the i386 architecture"
        $SUDO dpkg --add-architecture i386
    fi
    [ -z "$missing" ] && exit 0
    install_missing
    exit 0
fi
[ -z "$missing" ] && exit 0
# A release or its check never half-installs: without root, it names what is missing.
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing Debian packages:$missing (as root: apt-get install$missing)" >&2
    exit 1
fi
install_missing
