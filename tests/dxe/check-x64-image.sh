#!/bin/sh
# Checks an X64 DXE driver image with llvm-readobj: machine AMD64, PE32+
# (optional header magic 0x20B), subsystem 11 (EFI boot service driver) and
# at least one DIR64 base relocation.
# Usage: check-x64-image.sh <llvm-readobj> <image.efi>
set -eu
readobj=$1
image=$2

if [ ! -f "$image" ]; then
    echo "FAIL: $image does not exist" >&2
    exit 1
fi

headers=$("$readobj" --file-headers "$image")
relocs=$("$readobj" --coff-basereloc "$image")
status=0

check() {
    # check <description> <text> <extended regular expression>
    if printf '%s\n' "$2" | grep -Eq "$3"; then
        echo "ok: $1"
    else
        echo "FAIL: $1 (no line matching '$3')" >&2
        status=1
    fi
}

check "machine AMD64" "$headers" 'Machine: IMAGE_FILE_MACHINE_AMD64 \(0x8664\)'
check "PE32+" "$headers" 'Magic: 0x20B'
check "subsystem 11" "$headers" 'Subsystem: .*\(0xB\)'
check "DIR64 base relocations" "$relocs" 'Type: DIR64'
exit $status
