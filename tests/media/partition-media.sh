#!/bin/sh
# Builds the partitioned media of the block layer's tests into OUTDIR:
#   whole.img         NTFS written straight onto the device, no partition table
#   gpt1.img          GPT, basic data partition (NTFS) in entry 1
#   gpt3.img          GPT, ESP (FAT) in entry 1, MSR in entry 2, NTFS in entry 3
#   gpt-fat-first.img GPT, a basic data partition holding FAT in entry 1 before
#                     the NTFS one in entry 2
#   mbr7.img          MBR, NTFS (type 7) in record 0
#   mbr-fat32-7.img   MBR, FAT32 (type 0x0C) in record 0, NTFS in record 1
#   cd.iso            El Torito CD: no-emulation, hard-disk and floppy entries
#   cd.iso.eltorito   xorriso's own report of cd.iso's boot catalog and session
#   layout.txt        the partitions as sgdisk, sfdisk and blkid see them, one
#                     a line: image scheme entry first-sector sectors fs-type
#                     (scheme gpt, mbr or none; fs-type from blkid, or -)
# Every image is sparse and reproducible byte for byte: fixed GUIDs, serials,
# volume IDs and times. Each NTFS volume holds /recovery.cap.
#
# usage: partition-media.sh OUTDIR
set -eu

OUT=${1:?usage: partition-media.sh OUTDIR}
export SOURCE_DATE_EPOCH=1577836800
export TZ=UTC

mkdir -p "$OUT"
WORK=$(mktemp -d "$OUT/.work.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Runs a command with the clock frozen at 2020-01-01 00:00:00 UTC.
frozen() {
    faketime -f '2020-01-01 00:00:00' "$@"
}

# The capsule every NTFS volume holds: 40 KiB of numbered lines.
seq -w 1 8192 | head -c 40960 >"$WORK/recovery.cap"
touch -d @$SOURCE_DATE_EPOCH "$WORK/recovery.cap"

# make_ntfs FILE SIZE_MIB START_SECTOR: an NTFS volume whose boot sector
# records START_SECTOR as its place on the disk, holding /recovery.cap.
make_ntfs() {
    rm -f "$1"
    truncate -s "$2M" "$1"
    mkntfs -F -f -q -T -s 512 -p "$3" -H 255 -S 63 "$1" >/dev/null 2>&1
    frozen ntfscp "$1" "$WORK/recovery.cap" /recovery.cap >/dev/null
}

# make_fat FILE SIZE_MIB FATBITS START_SECTOR: a FAT volume with a fixed ID.
make_fat() {
    rm -f "$1"
    truncate -s "$2M" "$1"
    frozen mkfs.fat -F "$3" -i 4E525046 --invariant -h "$4" "$1" >/dev/null
}

# place VOLUME DISK START_SECTOR: copies a volume into a disk image, sparsely.
place() {
    dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc,sparse status=none
}

# gpt DISK SIZE_MIB ARGS...: a fresh sparse disk with a GPT of fixed GUIDs.
gpt() {
    disk=$1 size=$2
    shift 2
    rm -f "$disk"
    truncate -s "${size}M" "$disk"
    sgdisk -U 6E5D7C38-6B31-4B3B-9A6C-0A1B2C3D4E5F "$@" "$disk" >/dev/null
}

DISK_GUID_PART1=11111111-2222-4333-8444-000000000001
DISK_GUID_PART2=11111111-2222-4333-8444-000000000002
DISK_GUID_PART3=11111111-2222-4333-8444-000000000003

# Whole-device NTFS.
make_ntfs "$WORK/whole.img" 16 0

# GPT, basic data in entry 1.
gpt "$WORK/gpt1.img" 32 \
    -n 1:2048:+8M -t 1:0700 -u 1:$DISK_GUID_PART1
make_ntfs "$WORK/vol.img" 8 2048
place "$WORK/vol.img" "$WORK/gpt1.img" 2048

# GPT, ESP and MSR first, basic data in entry 3.
gpt "$WORK/gpt3.img" 32 \
    -n 1:2048:+4M -t 1:EF00 -u 1:$DISK_GUID_PART1 \
    -n 2:10240:+1M -t 2:0C01 -u 2:$DISK_GUID_PART2 \
    -n 3:12288:+8M -t 3:0700 -u 3:$DISK_GUID_PART3
make_fat "$WORK/esp.img" 4 12 2048
place "$WORK/esp.img" "$WORK/gpt3.img" 2048
make_ntfs "$WORK/vol.img" 8 12288
place "$WORK/vol.img" "$WORK/gpt3.img" 12288

# GPT, a basic data partition holding FAT before the NTFS one.
gpt "$WORK/gpt-fat-first.img" 32 \
    -n 1:2048:+4M -t 1:0700 -u 1:$DISK_GUID_PART1 \
    -n 2:10240:+8M -t 2:0700 -u 2:$DISK_GUID_PART2
make_fat "$WORK/fat.img" 4 12 2048
place "$WORK/fat.img" "$WORK/gpt-fat-first.img" 2048
make_ntfs "$WORK/vol.img" 8 10240
place "$WORK/vol.img" "$WORK/gpt-fat-first.img" 10240

# MBR, NTFS in record 0.
rm -f "$WORK/mbr7.img"
truncate -s 32M "$WORK/mbr7.img"
printf 'label: dos\nlabel-id: 0x4e525046\nstart=2048, size=16384, type=7\n' |
    sfdisk -q "$WORK/mbr7.img"
make_ntfs "$WORK/vol.img" 8 2048
place "$WORK/vol.img" "$WORK/mbr7.img" 2048

# MBR, FAT32 in record 0 and NTFS in record 1.
rm -f "$WORK/mbr-fat32-7.img"
truncate -s 64M "$WORK/mbr-fat32-7.img"
printf 'label: dos\nlabel-id: 0x4e525047\nstart=2048, size=81920, type=c\nstart=83968, size=16384, type=7\n' |
    sfdisk -q "$WORK/mbr-fat32-7.img"
make_fat "$WORK/fat32.img" 40 32 2048
place "$WORK/fat32.img" "$WORK/mbr-fat32-7.img" 2048
make_ntfs "$WORK/vol.img" 8 83968
place "$WORK/vol.img" "$WORK/mbr-fat32-7.img" 83968

# El Torito CD: a no-emulation image, a hard-disk image (MBR and one NTFS
# partition) and a 1.44 MB floppy image.
ISO_ROOT="$WORK/iso"
mkdir -p "$ISO_ROOT/boot"
head -c 8192 /dev/zero | tr '\0' '\220' >"$ISO_ROOT/boot/noemul.img"
rm -f "$ISO_ROOT/boot/hd.img"
truncate -s 4M "$ISO_ROOT/boot/hd.img"
printf 'label: dos\nlabel-id: 0x4e525048\nstart=63, size=8129, type=7\n' |
    sfdisk -q "$ISO_ROOT/boot/hd.img"
make_ntfs "$WORK/hdvol.img" 3 63
place "$WORK/hdvol.img" "$ISO_ROOT/boot/hd.img" 63
rm -f "$ISO_ROOT/boot/floppy.img"
truncate -s 1474560 "$ISO_ROOT/boot/floppy.img"
frozen mkfs.fat -F 12 -i 4E525049 --invariant "$ISO_ROOT/boot/floppy.img" >/dev/null
cp "$WORK/recovery.cap" "$ISO_ROOT/recovery.cap"
find "$ISO_ROOT" -exec touch -h -d @$SOURCE_DATE_EPOCH {} +
xorriso -as mkisofs -quiet -o "$WORK/cd.iso" -uid 0 -gid 0 -R -V NTFSRECOVERY \
    -c boot/boot.cat \
    -b boot/noemul.img -no-emul-boot -boot-load-size 4 \
    -eltorito-alt-boot -b boot/hd.img -hard-disk-boot \
    -eltorito-alt-boot -b boot/floppy.img \
    "$ISO_ROOT" 2>/dev/null
xorriso -indev "$WORK/cd.iso" -report_el_torito plain -toc 2>/dev/null \
    >"$WORK/cd.iso.eltorito"

# The independent view of each disk: partition tables read back by sgdisk
# and sfdisk, file systems recognised by blkid at each partition's start.
fs_type() {
    blkid -p -O "$(($2 * 512))" -o value -s TYPE "$1" 2>/dev/null || echo -
}
layout() {
    img=$1
    case $2 in
    gpt)
        sgdisk -p "$WORK/$img" | awk '/^ +[0-9]+ +[0-9]+ +[0-9]+ /{print $1, $2, $3}' |
        while read -r n first last; do
            echo "$img gpt $n $first $((last - first + 1)) $(fs_type "$WORK/$img" "$first")"
        done ;;
    mbr)
        sfdisk -d "$WORK/$img" | sed -n 's/.*img\([0-9]\) : start= *\([0-9]*\), size= *\([0-9]*\).*/\1 \2 \3/p' |
        while read -r n first count; do
            echo "$img mbr $((n - 1)) $first $count $(fs_type "$WORK/$img" "$first")"
        done ;;
    none)
        echo "$img none 0 0 $(($(stat -c %s "$WORK/$img") / 512)) $(fs_type "$WORK/$img" 0)" ;;
    esac
}
{
    layout whole.img none
    layout gpt1.img gpt
    layout gpt3.img gpt
    layout gpt-fat-first.img gpt
    layout mbr7.img mbr
    layout mbr-fat32-7.img mbr
} >"$WORK/layout.txt"

for f in whole.img gpt1.img gpt3.img gpt-fat-first.img mbr7.img \
         mbr-fat32-7.img cd.iso cd.iso.eltorito layout.txt; do
    mv -f "$WORK/$f" "$OUT/$f"
done
