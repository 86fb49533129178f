#!/bin/sh
# Measures the figures of the real images (not a test; run by hand after a
# build): the byte sizes of the .efi files, the deepest stack of a
# five-component lookup, and the whole-process time of `ntfs-recovery
# recover` for a 64 MiB capsule against ntfscat of the same file (medians
# of hyperfine runs; both write the 64 MiB to a file).
#
# usage: measure-figures.sh BUILDDIR
set -eu

BUILD=${1:?usage: measure-figures.sh BUILDDIR}
BUILD=$(cd "$BUILD" && pwd)
WORK="$BUILD/figures"
mkdir -p "$WORK"
export TZ=UTC

echo "Image sizes (bytes):"
for f in "$BUILD"/firmware/*.efi; do
    printf '  %8d  %s\n' "$(wc -c <"$f")" "$(basename "$f")"
done

echo "Deepest stack of a five-component lookup:"
PROJECT_BINARY_DIR="$BUILD" "$BUILD/bin/e2e_test" --gtest_filter='StackDepth.*' |
    grep 'five-component lookup' | sed 's/^/  /'

# A 100 MiB volume holding a 64 MiB capsule.
IMG="$WORK/big.img"
rm -f "$IMG"
truncate -s 100M "$IMG"
mkntfs -F -f -q -T "$IMG" >"$WORK/mkntfs.log" 2>&1 || { cat "$WORK/mkntfs.log" >&2; exit 1; }
seq -f '%015.0f' 1 5000000 | head -c 67108864 >"$WORK/big.cap"
faketime -f '2020-01-01 00:00:00' ntfscp -f "$IMG" "$WORK/big.cap" BIG.CAP
"$BUILD/bin/ntfs-recovery" recover --disk "$IMG" --path BIG.CAP --out "$WORK/loaded.bin" >/dev/null
cmp "$WORK/loaded.bin" "$WORK/big.cap"

hyperfine -w 3 -r 30 -N --export-json "$WORK/recover.json" \
    "$BUILD/bin/ntfs-recovery recover --disk $IMG --path BIG.CAP --out $WORK/loaded.bin" >/dev/null 2>&1
hyperfine -w 3 -r 30 -N --output="$WORK/ntfscat.bin" --export-json "$WORK/ntfscat.json" \
    "ntfscat $IMG BIG.CAP" >/dev/null 2>&1
echo "Whole-process time, 64 MiB capsule (median of 30 runs):"
for j in recover ntfscat; do
    sed -n 's/.*"median": *\([0-9.e-]*\).*/\1/p' "$WORK/$j.json" | head -n 1 |
        awk -v name="$j" '{ printf "  %-8s %.1f ms\n", name, $1 * 1000 }'
done
rm -f "$IMG" "$WORK/big.cap" "$WORK/loaded.bin" "$WORK/ntfscat.bin"
