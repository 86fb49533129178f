#!/bin/bash
# Host micro benchmark of the recovery file lookup: makes a 32 MiB NTFS
# volume (4096-byte clusters) with a 2,000-entry directory under
# BUILD_DIR/bench/, builds lookup_bench (32-bit host build of the module on
# the simulated platform) and times the lookup of a file in the root and of
# the first, middle and last entries of the large directory, plus a name it
# does not hold. Reads and bytes are exact; times are those of the build's
# flags (sanitizers and qemu-i386 unless the build was configured with
# -DHOST_SANITIZERS=OFF).
#
#   bench/lookup-bench.sh [BUILD_DIR] [ITERATIONS]
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
ITERATIONS=${2:-20}
WORK="$BUILD/bench"
IMG="$WORK/lookup.img"
MNT="$WORK/mnt"
mkdir -p "$WORK"
export TZ=UTC
. "$SRC/tests/media/ntfs-mount.sh"
trap cleanup_ntfs_mount EXIT

if [ ! -e "$IMG" ] || [ "$0" -nt "$IMG" ]; then
    rm -f "$IMG"
    truncate -s 32M "$IMG"
    mkntfs -F -f -q -T -c 4096 "$IMG" >/dev/null 2>&1
    mount_ntfs "$IMG"
    seq -f 'capsule %07.0f' 0 255 >"$MNT/recovery.cap"
    # The entries first, so that the directory's index records are not
    # scattered between file data (the walk holds 32 index runs at most).
    mkdir "$MNT/Big"
    for i in $(seq -f '%04.0f' 0 1999); do : >"$MNT/Big/f$i.cap"; done
    for i in 0000 1000 1999; do
        seq -f "f$i %07.0f" 0 299 >"$MNT/Big/f$i.cap"
    done
    unmount_ntfs
fi

cmake --build "$BUILD" --target lookup_bench >/dev/null
"$SRC/cmake/run-i386" "$BUILD/bin/lookup_bench" "$IMG" "$ITERATIONS" \
    'recovery.cap' 'Big\f0000.cap' 'Big\f1000.cap' 'Big\f1999.cap' \
    'Big\missing.cap'
