#!/bin/sh
# Checks the IA32 firmware image of NtfsRecoveryPei with llvm-readobj and
# llvm-objdump: an I386 PE32 boot-service driver (subsystem 11) with base
# relocations, a writable data section, no imports and no floating point
# or vector instructions.
#
# usage: check-ia32-image.sh LLVM_READOBJ LLVM_OBJDUMP IMAGE
set -eu
READOBJ=$1 OBJDUMP=$2 IMAGE=$3
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -f "$IMAGE" ] || { echo "FAIL: no image at $IMAGE (build the firmware target)" >&2; exit 1; }

headers=$("$READOBJ" --file-headers "$IMAGE")
echo "$headers" | grep -q 'Machine: IMAGE_FILE_MACHINE_I386 (0x14C)' ||
    fail "machine is not I386"
echo "$headers" | grep -q 'Magic: 0x10B' || fail "not a PE32 optional header"
echo "$headers" | grep -q 'Subsystem: IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER (0xB)' ||
    fail "subsystem is not 11 (EFI boot service driver)"

relocs=$("$READOBJ" --coff-basereloc "$IMAGE" | grep -c 'Type: HIGHLOW' || true)
[ "$relocs" -gt 0 ] || fail "no HIGHLOW base relocations"

# The section holding the module's global variable: .data (and .bss if the
# linker kept one) must be writable.
sections=$("$READOBJ" --sections "$IMAGE" | awk '
    /Name: /        { name = $2 }
    /MEM_WRITE/     { writable[name] = 1 }
    /Name: /        { seen[$2] = 1 }
    END { for (s in seen) print s, (s in writable) ? "w" : "-" }')
echo "$sections" | grep -q '^\.data w$' || fail "no writable .data section"
if echo "$sections" | grep -q '^\.bss -$'; then fail ".bss is not writable"; fi

if "$READOBJ" --coff-imports "$IMAGE" | grep -q 'Import {'; then
    fail "the image imports from other images"
fi

# x87 mnemonics begin with f; SSE and MMX show their registers or MXCSR.
fp=$("$OBJDUMP" -d --no-show-raw-insn "$IMAGE" |
     grep -E '^ *[0-9a-f]+:[[:space:]]+f[a-z0-9]{2,}([[:space:]]|$)|%xmm|%ymm|%zmm|%mm[0-7]|%st\b|mxcsr' || true)
[ -z "$fp" ] || fail "floating point or vector instructions:
$fp"

[ "$failures" -eq 0 ] || exit 1
echo "ok: $IMAGE"
