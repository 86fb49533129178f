#!/bin/sh
# Builds the media of the end-to-end tests that the other fixture builders
# do not make, into OUTDIR:
#   five.img   NTFS, 4096-byte clusters, whole device: a capsule five path
#              components deep (EFI/Vendor/Recovery/Images/Capsule.bin) and
#              one in the root (Root.bin)
#   blank.img  4 MiB of zeros: a device without any volume
# Sparse and reproducible: fixed serial and times (mkntfs -T, faketime).
#
# usage: e2e-media.sh OUTDIR
set -eu

OUT=${1:?usage: e2e-media.sh OUTDIR}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
WORK=$(mktemp -d "$OUT/.work.XXXXXX")
MNT="$WORK/mnt"
. "$(dirname "$0")/../media/ntfs-mount.sh"
cleanup() {
    cleanup_ntfs_mount
    rm -rf "$WORK"
}
trap cleanup EXIT
export TZ=UTC

# content TAG BYTES: numbered lines, so that a misplaced block shows.
content() {
    seq -f "$1%011.0f" 1 $(($2 / 12 + 1)) | head -c "$2"
}

IMG="$WORK/five.img"
truncate -s 16M "$IMG"
mkntfs -F -f -q -T -c 4096 "$IMG" >"$WORK/mkntfs.log" 2>&1 || { cat "$WORK/mkntfs.log" >&2; exit 1; }
mount_ntfs "$IMG"
mkdir -p "$MNT/EFI/Vendor/Recovery/Images"
content F 150000 >"$MNT/EFI/Vendor/Recovery/Images/Capsule.bin"
content R 9000 >"$MNT/Root.bin"
unmount_ntfs
mv "$IMG" "$OUT/five.img"

rm -f "$OUT/blank.img"
truncate -s 4M "$OUT/blank.img"
touch "$OUT/stamp"
