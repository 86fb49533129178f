#!/bin/bash
# Times the recovery of a 64 MiB capsule by the real NtfsRecoveryPei image
# under the emulator (`ntfs-recovery recover`) against ntfscat reading the
# same file. The volume (an 80 MiB sparse NTFS image, 4096-byte clusters,
# the capsule in EFI\Recovery) is made once under BUILD_DIR/bench/; both
# outputs are checked against the capsule before anything is timed.
# hyperfine runs each command RUNS times after a warm-up and the medians
# are printed; its JSON report is left in BUILD_DIR/bench/recover.json.
# Figures reflect the build's flags: configure the build directory with
# -DHOST_SANITIZERS=OFF for figures without ASan and UBSan in the emulator.
#
#   bench/recover-vs-ntfscat.sh [BUILD_DIR] [RUNS]
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
RUNS=${2:-5}
WORK="$BUILD/bench"
IMG="$WORK/capsule64.img"
CAPSULE="$WORK/capsule64.bin"
MNT="$WORK/mnt"
TOOL="$BUILD/bin/ntfs-recovery"
mkdir -p "$WORK"
export TZ=UTC
. "$SRC/tests/media/ntfs-mount.sh"
trap cleanup_ntfs_mount EXIT

if [ ! -x "$TOOL" ]; then
    echo "recover-vs-ntfscat: $TOOL is missing: build the target ntfs-recovery" >&2
    exit 1
fi

if [ ! -e "$IMG" ] || [ "$0" -nt "$IMG" ]; then
    # 64 MiB of distinct 16-byte lines.
    seq -f 'capsule %07.0f' 0 4194303 >"$CAPSULE"
    rm -f "$IMG"
    truncate -s 80M "$IMG"
    mkntfs -F -f -q -T -c 4096 "$IMG" >/dev/null 2>&1
    mount_ntfs "$IMG"
    mkdir -p "$MNT/EFI/Recovery"
    cp "$CAPSULE" "$MNT/EFI/Recovery/capsule.bin"
    unmount_ntfs
fi

# Both readers must return the capsule: the tool reports whole clusters, a
# 64 MiB file fills them exactly.
"$TOOL" recover --disk "$IMG" --path 'EFI\Recovery\capsule.bin' \
    --out "$WORK/recovered.bin" >/dev/null
cmp "$CAPSULE" "$WORK/recovered.bin"
ntfscat "$IMG" /EFI/Recovery/capsule.bin >"$WORK/ntfscat.bin"
cmp "$CAPSULE" "$WORK/ntfscat.bin"

hyperfine --warmup 1 --runs "$RUNS" --export-json "$WORK/recover.json" \
    -n ntfs-recovery \
    "'$TOOL' recover --disk '$IMG' --path 'EFI\\Recovery\\capsule.bin' --out '$WORK/recovered.bin'" \
    -n ntfscat "ntfscat '$IMG' /EFI/Recovery/capsule.bin > '$WORK/ntfscat.bin'"

echo "medians (s):"
sed -n 's/^ *"command": "\(.*\)",$/\1/p; s/^ *"median": \([0-9.e+-]*\),$/  \1/p' \
    "$WORK/recover.json" | paste - -
