// Small operations used across the module: GUID and byte comparisons,
// overlap-safe copies, fills, and the location of the PCD PPI.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/frame/Frame.h"

const EFI_GUID DeviceRecoveryModulePpiGuid = EFI_PEI_DEVICE_RECOVERY_MODULE_PPI_GUID;
const EFI_GUID RecoveryBlockIoPpiGuid = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;
const EFI_GUID PcdPpiGuid = PCD_PPI_GUID;

/// True when the two 16-byte GUIDs are equal, compared as four consecutive
/// 32-bit words. Either GUID may lie at any alignment (a GPT entry in a
/// sector buffer), so the words are assembled from bytes. May receive
/// untrusted input.
BOOLEAN GuidsEqual(const EFI_GUID *Guid1, const EFI_GUID *Guid2) {
  const UINT8 *A = reinterpret_cast<const UINT8 *>(Guid1);
  const UINT8 *B = reinterpret_cast<const UINT8 *>(Guid2);
  for (UINT32 Word = 0; Word < 4; ++Word) {
    if (LoadLe32(A + 4 * Word) != LoadLe32(B + 4 * Word)) return FALSE;
  }
  return TRUE;
}

/// Compares Count bytes in order and stops at the first pair that differs:
/// 0 when all are equal, otherwise that byte of Buffer1 minus that byte of
/// Buffer2, both taken as unsigned.
INTN CompareBytes(const VOID *Buffer1, const VOID *Buffer2, UINT32 Count) {
  const UINT8 *A = static_cast<const UINT8 *>(Buffer1);
  const UINT8 *B = static_cast<const UINT8 *>(Buffer2);
  for (UINT32 Index = 0; Index < Count; ++Index) {
    if (A[Index] != B[Index]) {
      return static_cast<INTN>(A[Index]) - static_cast<INTN>(B[Index]);
    }
  }
  return 0;
}

/// Copies Count bytes so that overlapping ranges come out right: forward,
/// four bytes at a time and then the last 0 to 3, when the source lies at
/// or above the destination or wholly below it; backward, one byte at a
/// time from the last, when the destination lies inside the source range.
VOID *MoveBytes(VOID *Destination, const VOID *Source, UINT32 Count) {
  if (Count == 0) return Destination;
  UINT8 *D = static_cast<UINT8 *>(Destination);
  const UINT8 *S = static_cast<const UINT8 *>(Source);
  UINTN DAddress = reinterpret_cast<UINTN>(D);
  UINTN SAddress = reinterpret_cast<UINTN>(S);
  if (SAddress >= DAddress || SAddress + (Count - 1) < DAddress) {
    UINT32 Index = 0;
    for (; Count - Index >= 4; Index += 4) {
      // Each unit is read whole before it is written.
      UINT8 B0 = S[Index], B1 = S[Index + 1], B2 = S[Index + 2],
            B3 = S[Index + 3];
      D[Index] = B0;
      D[Index + 1] = B1;
      D[Index + 2] = B2;
      D[Index + 3] = B3;
    }
    for (; Index < Count; ++Index) D[Index] = S[Index];
  } else {
    for (UINT32 Index = Count; Index != 0; --Index) D[Index - 1] = S[Index - 1];
  }
  return Destination;
}

/// Sets Count bytes of Buffer to Value, one byte at a time.
VOID *FillBytes(VOID *Buffer, UINT8 Value, UINT32 Count) {
  UINT8 *P = static_cast<UINT8 *>(Buffer);
  for (UINT32 Index = 0; Index < Count; ++Index) P[Index] = Value;
  return Buffer;
}

/// PCD_PPI instance 0, located through the services pointer kept below the
/// IDT; a null pointer when LocatePpi fails, so that the caller can report
/// the missing configuration instead of calling through garbage.
PCD_PPI *LocatePcdPpi() {
  EFI_PEI_SERVICES **PeiServices = ReadPeiServicesFromIdt();
  VOID *Ppi = nullptr;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(
      const_cast<const EFI_PEI_SERVICES **>(PeiServices), &PcdPpiGuid, 0,
      nullptr, &Ppi);
  if (EFI_ERROR(Status)) return nullptr;
  return static_cast<PCD_PPI *>(Ppi);
}
