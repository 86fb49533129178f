#!/bin/bash
# Builds the NTFS volumes that the NTFS reader's tests read, into OUTDIR:
#   ntfs-4k.img   4096-byte clusters, whole device: a file in the root, one
#                 five directories deep, a 2,000-entry directory, a tiny
#                 resident file, a sparse and a compressed file, and, after
#                 the free space was cut into single clusters, a file of
#                 about 50 runs and one continued through an attribute list
#   ntfs-512.img  512-byte clusters: a file in the root, a file of 100+ runs
#                 and one of more runs than the reader's table holds
#   ntfs-64k.img  65536-byte clusters: a file in the root and a deep one
#   gpt.img, mbr.img  a small volume in a GPT basic data partition and in an
#                 MBR type 7 partition
# and, for each file a test loads, expected/<case>.bin (its bytes, by
# ntfscat) and expected/<case>.alloc (its allocated size, by ntfsinfo).
# Images are sparse and made the same way on every run.
set -euo pipefail

OUT=${1:?usage: ntfs-media.sh OUTDIR}
mkdir -p "$OUT/expected"
OUT=$(cd "$OUT" && pwd)
WORK="$OUT/work"
rm -rf "$WORK"
mkdir -p "$WORK"
export TZ=UTC
MNT="$WORK/mnt"
. "$(dirname "$0")/ntfs-mount.sh"
trap cleanup_ntfs_mount EXIT

# make_volume IMAGE SIZE_MIB CLUSTER_BYTES
make_volume() {
    rm -f "$1"
    truncate -s "$2M" "$1"
    mkntfs -F -f -q -T -c "$3" "$1" >/dev/null 2>&1
}

# content PREFIX BYTES: distinct text for every 8 bytes of a file.
content() {
    { seq -f "$1%07.0f" 0 9999999 2>/dev/null || true; } | head -c "$2"
}

# fragment_free_space IMAGE MOUNT_OPTIONS PAD_BYTES PADS CHUNK_BYTES
# Cuts the free space of the mounted volume into holes of PAD_BYTES: pads
# are created empty first (so that the MFT does not grow between them), a
# filler takes the space before them, and every other pad is deleted. ntfs-3g
# then still hands out the contiguous space it keeps for last before the
# holes: files of CHUNK_BYTES take it up until one of them comes out
# fragmented (a negative CHUNK_BYTES: one file of that many bytes).
fragment_free_space() {
    local image=$1 options=$2 pad_bytes=$3 pads=$4 chunk_bytes=$5
    mkdir "$MNT/Pads"
    local i=0
    while [ $i -lt "$pads" ]; do : >"$MNT/Pads/p$i"; i=$((i + 1)); done
    local avail
    avail=$(stat -f -c '%a*%S' "$MNT")
    avail=$((avail))
    head -c $((avail - pads * pad_bytes * 9 / 10)) /dev/zero >"$MNT/Filler.bin"
    local pad n=0
    pad=$(printf "%${pad_bytes}s" '')
    while [ $n -lt "$pads" ] && printf '%s' "$pad" 2>/dev/null >"$MNT/Pads/p$n"; do
        n=$((n + 1))
    done
    i=0
    while [ $i -lt "$n" ]; do rm "$MNT/Pads/p$i"; i=$((i + 2)); done

    if [ "$chunk_bytes" -lt 0 ]; then
        # A volume whose held-back space is known takes it up in one piece.
        head -c $((-chunk_bytes)) /dev/zero >"$MNT/Absorb.bin"
        return 0
    fi
    local k=0 pieces
    while :; do
        head -c "$chunk_bytes" /dev/zero >"$MNT/Absorb$k.bin"
        unmount_ntfs
        pieces=$(runs "$image" "/Absorb$k.bin")
        mount_ntfs "$image" "$options"
        k=$((k + 1))
        [ "$pieces" -gt 2 ] && break
        if [ $k -ge 100 ]; then
            echo "ntfs-media: no holes in the free space of $image" >&2
            exit 1
        fi
    done

}

# expect CASE IMAGE PATH: records the file's bytes and allocated size.
expect() {
    ntfscat "$2" "$3" >"$OUT/expected/$1.bin"
    ntfsinfo -F "$3" "$2" | sed -n '/Dumping attribute \$DATA/,$p' |
        sed -n 's/^[[:space:]]*Allocated size:[[:space:]]*\([0-9]*\).*/\1/p' |
        sed -n 1p >"$OUT/expected/$1.alloc"
    [ -s "$OUT/expected/$1.alloc" ]
}

# runs IMAGE PATH: number of runs of the file's $DATA.
runs() {
    ntfsinfo -v -F "$2" "$1" | sed -n 's/^Total runs: \([0-9]*\).*/\1/p' | tail -n 1
}

# has_attribute_list IMAGE PATH
has_attribute_list() {
    ntfsinfo -F "$2" "$1" | grep -c >/dev/null 'Dumping attribute \$ATTRIBUTE_LIST'
}

# check WHAT CONDITION: stops the build when ntfs-3g laid a file out
# otherwise than the tests rely on.
check() {
    if ! eval "$2"; then
        echo "ntfs-media: $1 ($2)" >&2
        exit 1
    fi
}

DEEP=Dir1/Dir2/Dir3/Dir4/Dir5

# --- 4096-byte clusters ----------------------------------------------------
IMG="$OUT/ntfs-4k.img"
make_volume "$IMG" 48 4096
mount_ntfs "$IMG" compression
content R 200000 >"$MNT/RECOVERY.BIN"
mkdir -p "$MNT/$DEEP"
content D 30000 >"$MNT/$DEEP/Deep.bin"
mkdir "$MNT/Many"
for i in $(seq -f '%04.0f' 0 1999); do
    : >"$MNT/Many/recovery_candidate_entry_$i.bin"
done
content M 20000 >"$MNT/Many/recovery_candidate_entry_1234.bin"
echo tiny >"$MNT/Tiny.txt"
truncate -s 1M "$MNT/Sparse.bin"
content S 8 | dd of="$MNT/Sparse.bin" bs=1 seek=500000 conv=notrunc status=none
mkdir "$MNT/Comp"
setfattr -h -v 0x00000800 -n system.ntfs_attrib_be "$MNT/Comp"
content C 100000 >"$MNT/Comp/Packed.bin"
fragment_free_space "$IMG" compression 4096 5400 $((256 * 1024))
content A $((1000 * 4096)) >"$MNT/AttrList.bin"
content F $((50 * 4096)) >"$MNT/Frag50.bin"
unmount_ntfs
expect 4k-root "$IMG" /RECOVERY.BIN
expect 4k-deep "$IMG" "/$DEEP/Deep.bin"
expect 4k-many "$IMG" /Many/recovery_candidate_entry_1234.bin
expect 4k-frag50 "$IMG" /Frag50.bin
MANY_INDEX=$(ntfsinfo -F /Many "$IMG" 2>/dev/null |
    sed -n '/Dumping attribute \$INDEX_ALLOCATION/,$p' |
    sed -n 's/^[[:space:]]*Allocated size:[[:space:]]*\([0-9]*\).*/\1/p' | sed -n 1p)
check "Many has $MANY_INDEX bytes of index records" "[ ${MANY_INDEX:-0} -ge $((100 * 4096)) ]"
check "Frag50.bin is not fragmented" "[ $(runs "$IMG" /Frag50.bin) -ge 40 ]"
check "AttrList.bin has no attribute list" "has_attribute_list '$IMG' /AttrList.bin"
check "Sparse.bin is not sparse" \
    "ntfsinfo -F /Sparse.bin '$IMG' | grep -c >/dev/null 'Attribute flags:.*0x8000'"
check "Packed.bin is not compressed" \
    "ntfsinfo -F /Comp/Packed.bin '$IMG' | grep -c >/dev/null 'Attribute flags:.*0x0001'"

# --- 512-byte clusters -----------------------------------------------------
IMG="$OUT/ntfs-512.img"
make_volume "$IMG" 32 512
mount_ntfs "$IMG"
fragment_free_space "$IMG" "" 1024 9000 $((-2560 * 1024))
content R 70000 >"$MNT/RECOVERY.BIN"
content F $((360 * 1024)) >"$MNT/Frag120.bin"
content G $((470 * 1024)) >"$MNT/FragMany.bin"
unmount_ntfs
expect 512-root "$IMG" /RECOVERY.BIN
expect 512-frag120 "$IMG" /Frag120.bin
FRAG120=$(runs "$IMG" /Frag120.bin)
FRAGMANY=$(runs "$IMG" /FragMany.bin)
check "Frag120.bin has $FRAG120 runs" "[ $FRAG120 -ge 100 ] && [ $FRAG120 -le 141 ]"
check "FragMany.bin has $FRAGMANY runs" "[ $FRAGMANY -gt 141 ]"

# --- 65536-byte clusters ---------------------------------------------------
IMG="$OUT/ntfs-64k.img"
make_volume "$IMG" 64 65536
mount_ntfs "$IMG"
content R 150000 >"$MNT/RECOVERY.BIN"
mkdir -p "$MNT/$DEEP"
content D 70000 >"$MNT/$DEEP/Deep.bin"
unmount_ntfs
expect 64k-root "$IMG" /RECOVERY.BIN
expect 64k-deep "$IMG" "/$DEEP/Deep.bin"

# --- partitioned media -----------------------------------------------------
PART="$WORK/part.img"
make_volume "$PART" 16 4096
mount_ntfs "$PART"
mkdir -p "$MNT/EFI/Recovery"
content P 90000 >"$MNT/EFI/Recovery/Capsule.bin"
unmount_ntfs
expect part "$PART" /EFI/Recovery/Capsule.bin

IMG="$OUT/gpt.img"
rm -f "$IMG"
truncate -s 40M "$IMG"
sgdisk -U 5A1F0C3E-6E2B-4C4D-9E1A-0B1C2D3E4F50 \
    -n 1:2048:+16M -t 1:0700 -u 1:7C0E2A61-2F43-4E8B-A1D9-3B5C6D7E8F90 \
    "$IMG" >/dev/null
dd if="$PART" of="$IMG" bs=1M seek=1 conv=notrunc,sparse status=none

IMG="$OUT/mbr.img"
rm -f "$IMG"
truncate -s 40M "$IMG"
printf 'label: dos\nlabel-id: 0x4e544653\nstart=2048, size=32768, type=7\n' |
    sfdisk -q "$IMG"
dd if="$PART" of="$IMG" bs=1M seek=1 conv=notrunc,sparse status=none

rm -rf "$WORK"
touch "$OUT/stamp"
