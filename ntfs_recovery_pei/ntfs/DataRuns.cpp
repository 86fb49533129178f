// Data runs (mapping pairs) of a non-resident attribute, decoded into
// absolute start blocks and lengths in 512-byte blocks.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

// Little-endian number of Width bytes (0 to 8) at P, zero-extended.
static UINT64 LoadUnsigned(const UINT8 *P, UINT32 Width) {
  UINT64 Value = 0;
  for (UINT32 I = Width; I > 0; --I) Value = (Value << 8) | P[I - 1];
  return Value;
}

// Little-endian number of Width bytes (0 to 8) at P, sign-extended from its
// top bit.
static UINT64 LoadSigned(const UINT8 *P, UINT32 Width) {
  UINT64 Value = LoadUnsigned(P, Width);
  if (Width > 0 && Width < 8 && (P[Width - 1] & 0x80) != 0) {
    Value |= ~static_cast<UINT64>(0) << (8 * Width);
  }
  return Value;
}

// Decodes the run list at RunList (RunListLength bytes up to the end of its
// attribute) into entries 0 to n-1 of RunStarts and RunLengths, and sets
// RunCount to n after each run. A run's start is Base plus BlocksPerCluster
// times the sum of the offsets so far; arithmetic wraps modulo 2^64. Entries
// past the last run are not written. Returns EFI_DEVICE_ERROR for a header
// whose length or offset width exceeds 8, for a run that does not fit before
// the end of the list, for a list without its 0x00 terminator and for more
// runs than Capacity; the runs before the fault stay decoded and counted.
// May receive untrusted input.
EFI_STATUS DecodeDataRuns(UINT64 *RunStarts, UINT64 *RunLengths,
                          UINT32 Capacity, const UINT8 *RunList,
                          UINT32 RunListLength, UINT64 Base, UINT32 *RunCount,
                          UINT32 BlocksPerCluster) {
  UINT32 Count = 0;
  UINT64 Position = Base;
  UINT32 Place = 0;
  // Each run moves Place forward by at least one byte, so the loop ends at
  // the end of the list.
  for (;;) {
    UINT8 Header = 0;
    if (!ReadU8(RunList, RunListLength, Place, &Header)) return EFI_DEVICE_ERROR;
    if (Header == 0) return EFI_SUCCESS;
    UINT32 LengthWidth = Header & 0x0Fu;
    UINT32 OffsetWidth = Header >> 4;
    if (LengthWidth > 8 || OffsetWidth > 8) return EFI_DEVICE_ERROR;
    if (!FitsIn(RunListLength, Place, 1 + LengthWidth + OffsetWidth)) {
      return EFI_DEVICE_ERROR;
    }
    if (Count >= Capacity) return EFI_DEVICE_ERROR;
    const UINT8 *Fields = RunList + Place + 1;
    UINT64 Length = LoadUnsigned(Fields, LengthWidth);
    UINT64 Offset = LoadSigned(Fields + LengthWidth, OffsetWidth);
    RunLengths[Count] = Length * BlocksPerCluster;
    Position += Offset * BlocksPerCluster;
    RunStarts[Count] = Position;
    ++Count;
    *RunCount = Count;
    Place += 1 + LengthWidth + OffsetWidth;
  }
}
