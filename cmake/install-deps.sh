#!/bin/sh
# Installs, only when missing, every Debian package that the build, the tests, the demo
# and the benchmark use, and those of the release (signing, a software token standing for a
# hardware one, the Chinese locale the runner is tested under). Runs without standard input (CI).
set -eu
packages="make cmake g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine wine64
wine32:i386 python3 python3-pefile tmux openssl osslsigncode softhsm2
libengine-pkcs11-openssl locales-all"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The product is a 32-bit program: its Wine is Debian's i386 wine32, run under WoW64.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
fi
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing </dev/null
