#!/bin/sh
# The main job: makes a small sample recovery medium under the build
# directory and loads its capsule through the real NtfsRecoveryPei image
# under the emulated PEI platform, then checks the bytes against ntfscat.
#
# usage: run-sample.sh BUILDDIR
set -eu

BUILD=${1:?usage: run-sample.sh BUILDDIR}
BUILD=$(cd "$BUILD" && pwd)
TOOL="$BUILD/bin/ntfs-recovery"
DIR="$BUILD/sample"
IMG="$DIR/recovery-medium.img"
mkdir -p "$DIR"
export TZ=UTC

# A 256 KiB capsule of numbered lines, the same on every run.
seq -f 'recovery capsule line %010.0f' 1 10000 | head -c 262144 >"$DIR/capsule.bin"

# A 16 MiB NTFS volume on the whole device (a sparse file), fixed serial
# and times, with the capsule at \RECOVERY.CAP.
rm -f "$IMG"
truncate -s 16M "$IMG"
mkntfs -F -f -q -T "$IMG" >"$DIR/mkntfs.log" 2>&1 || { cat "$DIR/mkntfs.log" >&2; exit 1; }
faketime -f '2020-01-01 00:00:00' ntfscp -f "$IMG" "$DIR/capsule.bin" RECOVERY.CAP

echo "Sample recovery medium: $IMG (16 MiB NTFS, capsule at \\RECOVERY.CAP)"
echo "\$ ntfs-recovery probe --disk $IMG"
"$TOOL" probe --disk "$IMG"
echo
echo "\$ ntfs-recovery recover --disk $IMG --path 'RECOVERY.CAP' --out $DIR/loaded.bin"
"$TOOL" recover --disk "$IMG" --path 'RECOVERY.CAP' --out "$DIR/loaded.bin"

# The capsule holds whole clusters: compare the file's own bytes.
SIZE=$(wc -c <"$DIR/capsule.bin")
ntfscat "$IMG" RECOVERY.CAP >"$DIR/ntfscat.bin"
if cmp -n "$SIZE" "$DIR/loaded.bin" "$DIR/ntfscat.bin" >/dev/null; then
    echo "The loaded capsule's first $SIZE bytes match ntfscat's copy of the file."
else
    echo "The loaded capsule differs from ntfscat's copy of the file." >&2
    exit 1
fi
