#!/bin/sh
# Installs, only when missing, the Debian packages that one use of the project needs:
#   install-deps.sh           the build, the tests, the demo, the benchmark and the lint (Wine,
#                             the i386 architecture, GoogleTest, SoftHSM2, the Chinese locale,
#                             faketime, shellcheck; node, npm and PyYAML for the workflow's lint)
#   install-deps.sh release   make release: the 32-bit compiler, binutils, CMake, openssl,
#                             osslsigncode, curl (an RFC 3161 request by URL) and git
#   install-deps.sh release-pkcs11
#                             the same and SoftHSM2 with OpenSSL's PKCS#11 engine (a pkcs11: key)
#   install-deps.sh verify    make verify-release: the release's list without curl
# Runs without standard input (CI). Calls apt only when a package is missing.
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
    *) echo "install-deps: all, release, release-pkcs11 or verify, not \"$1\"" >&2; exit 2 ;;
esac
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ "${1:-all}" = all ]; then
    # The product is a 32-bit program: its Wine is Debian's i386 wine32, run under WoW64.
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "adding the i386 architecture"
        $SUDO dpkg --add-architecture i386
    fi
    [ -z "$missing" ] && exit 0
    echo "installing:$missing"
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086 # $SUDO is a command or nothing; $missing, package names
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing </dev/null
    exit 0
fi
[ -z "$missing" ] && exit 0
# A release or its check never half-installs: without root, it names what is missing.
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing Debian packages:$missing (as root: apt-get install$missing)" >&2
    exit 1
fi
echo "installing:$missing"
apt-get update -qq
# shellcheck disable=SC2086 # $missing is package names, one word each
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing </dev/null
