#!/bin/bash
# Builds small real media and turns them into the fuzz targets' seed
# corpus (see SeedMaker.cpp) in OUTDIR/corpus/<target>/:
#   whole.img  a 2 MiB NTFS volume on the whole device, 4096-byte clusters:
#              EFI\recovery.cap and Many\f0150.cap in a 300-entry directory
#   small.img  the same with 512-byte clusters and the capsule in the root
#   gpt.img    a volume in a GPT basic data partition
#   mbr.img    a volume in an MBR type 7 partition
#   cd.iso     an El Torito CD with a no-emulation and a hard-disk image
# Images are sparse and made the same way on every run.
#
#   make-seeds.sh OUTDIR SEED_MAKER [RUNNER]
set -euo pipefail

OUT=${1:?usage: make-seeds.sh OUTDIR SEED_MAKER [RUNNER]}
SEED_MAKER=$2
RUNNER=${3:-}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
WORK="$OUT/media"
rm -rf "$WORK" "$OUT/corpus"
mkdir -p "$WORK" "$OUT/corpus"
export TZ=UTC SOURCE_DATE_EPOCH=1577836800
MNT="$WORK/mnt"
. "$(dirname "$0")/../tests/media/ntfs-mount.sh"
trap cleanup_ntfs_mount EXIT

# make_ntfs IMAGE SIZE_MIB CLUSTER_BYTES PARTITION_START
make_ntfs() {
    rm -f "$1"
    truncate -s "$2M" "$1"
    mkntfs -F -f -q -T -c "$3" -p "$4" -H 0 -S 0 "$1" >/dev/null 2>&1
}

# A recognisable 4 KiB capsule.
seq -f 'capsule %07.0f' 0 255 >"$WORK/recovery.cap"

# copy_in IMAGE SOURCE NTFS_PATH: ntfscp at a fixed time.
copy_in() {
    faketime -f "$FAKE_CLOCK" ntfscp -f "$1" "$2" "$3" >/dev/null 2>&1
}

place() {
    dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc,sparse status=none
}

# Whole-device volume with directories, one of them large enough for index
# records.
make_ntfs "$WORK/whole.img" 2 4096 0
mount_ntfs "$WORK/whole.img"
mkdir -p "$MNT/EFI" "$MNT/Many"
cp "$WORK/recovery.cap" "$MNT/EFI/recovery.cap"
for i in $(seq -f '%04.0f' 0 299); do : >"$MNT/Many/f$i.cap"; done
cp "$WORK/recovery.cap" "$MNT/Many/f0150.cap"
unmount_ntfs

make_ntfs "$WORK/small.img" 2 512 0
copy_in "$WORK/small.img" "$WORK/recovery.cap" /recovery.cap

# GPT disk, basic data partition at block 2048.
make_ntfs "$WORK/vol.img" 2 4096 2048
copy_in "$WORK/vol.img" "$WORK/recovery.cap" /recovery.cap
rm -f "$WORK/gpt.img"
truncate -s 4M "$WORK/gpt.img"
sgdisk -U 6E5D7C38-6B31-4B3B-9A6C-0A1B2C3D4E5F \
    -n 1:2048:+2M -t 1:0700 -u 1:11111111-2222-4333-8444-000000000001 \
    "$WORK/gpt.img" >/dev/null
place "$WORK/vol.img" "$WORK/gpt.img" 2048

# MBR disk, type 7 partition at block 2048.
rm -f "$WORK/mbr.img"
truncate -s 4M "$WORK/mbr.img"
printf 'label: dos\nlabel-id: 0x4e525046\nstart=2048, size=4096, type=7\n' |
    sfdisk -q "$WORK/mbr.img"
place "$WORK/vol.img" "$WORK/mbr.img" 2048

# El Torito CD.
ISO_ROOT="$WORK/iso"
mkdir -p "$ISO_ROOT/boot"
head -c 8192 /dev/zero | tr '\0' '\220' >"$ISO_ROOT/boot/noemul.img"
rm -f "$ISO_ROOT/boot/hd.img"
truncate -s 3M "$ISO_ROOT/boot/hd.img"
printf 'label: dos\nlabel-id: 0x4e525048\nstart=63, size=6081, type=7\n' |
    sfdisk -q "$ISO_ROOT/boot/hd.img"
make_ntfs "$WORK/hdvol.img" 2 4096 63
place "$WORK/hdvol.img" "$ISO_ROOT/boot/hd.img" 63
find "$ISO_ROOT" -exec touch -h -d @$SOURCE_DATE_EPOCH {} +
xorriso -as mkisofs -quiet -o "$WORK/cd.iso" -uid 0 -gid 0 -R -V FUZZSEED \
    -c boot/boot.cat \
    -b boot/noemul.img -no-emul-boot -boot-load-size 4 \
    -eltorito-alt-boot -b boot/hd.img -hard-disk-boot \
    "$ISO_ROOT" 2>/dev/null

seed() { $RUNNER "$SEED_MAKER" "$OUT/corpus" "$@"; }
seed whole-efi "$WORK/whole.img" 512 'EFI\recovery.cap'
seed whole-many "$WORK/whole.img" 512 'Many\f0150.cap'
seed small "$WORK/small.img" 512 'recovery.cap'
seed gpt "$WORK/gpt.img" 512 'recovery.cap'
seed mbr "$WORK/mbr.img" 512 'recovery.cap'
seed cd "$WORK/cd.iso" 2048

# Only the corpus is kept.
rm -rf "$WORK"
touch "$OUT/corpus/stamp"
