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
PID=
cleanup() {
    if [ -n "$PID" ]; then
        umount "$MNT" 2>/dev/null || true
        while kill -0 "$PID" 2>/dev/null; do sleep 0.1; done
    fi
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
mkdir -p "$MNT"
faketime -f '2020-01-01 00:00:00' ntfs-3g -o no_detach "$IMG" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
PID=$!
for _ in $(seq 100); do
    mountpoint -q "$MNT" && break
    sleep 0.1
done
mountpoint -q "$MNT" || { cat "$WORK/ntfs-3g.log" >&2; exit 1; }
mkdir -p "$MNT/EFI/Vendor/Recovery/Images"
content F 150000 >"$MNT/EFI/Vendor/Recovery/Images/Capsule.bin"
content R 9000 >"$MNT/Root.bin"
umount "$MNT"
while kill -0 "$PID" 2>/dev/null; do sleep 0.1; done
PID=
mv "$IMG" "$OUT/five.img"

rm -f "$OUT/blank.img"
truncate -s 4M "$OUT/blank.img"
touch "$OUT/stamp"
