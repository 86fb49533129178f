#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is
# missing: one `apt-get update`, then one `apt-get install -y` of the
# missing packages. Runs as root (the build machines and CI do).
set -eu

PACKAGES="cmake make g++ g++-multilib qemu-user clang lld llvm googletest \
ntfs-3g gdisk fdisk xorriso faketime dosfstools mtools attr \
libunicorn-dev libcli11-dev hyperfine libclang-rt-14-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "installing:$missing"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
fi
