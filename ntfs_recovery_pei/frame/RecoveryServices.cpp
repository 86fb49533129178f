// The three members of the published device recovery module PPI: the
// capsule count, the capsule's size and type, and its load.
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

// The type of every capsule the module reports,
// F2155B20-B0D6-11DF-94E2-0800200C9A66.
static const EFI_GUID kRecoveryCapsuleType = {
    0xF2155B20, 0xB0D6, 0x11DF, {0x94, 0xE2, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

// One capsule when exactly one NTFS volume was found, none otherwise. No
// disk is read.
EFI_STATUS EFIAPI GetNumberRecoveryCapsules(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN *NumberRecoveryCapsules) {
  RecoveryContext *Context = ContextFromPpi(This);
  Context->PeiServices = PeiServices;
  *NumberRecoveryCapsules = Context->VolumeCount == 1 ? 1 : 0;
  return EFI_SUCCESS;
}

// Looks the recovery file up afresh (the path comes from PCD token 3) and
// reports its size, the whole clusters of its extents, and the capsule type.
// EFI_OUT_OF_RESOURCES when the page for the lookup cannot be allocated,
// EFI_NOT_FOUND when there is no PCD PPI or no path, EFI_DEVICE_ERROR for a
// file of 4 GiB or more, and otherwise the lookup's status. CapsuleInstance
// is ignored: there is one capsule.
EFI_STATUS EFIAPI GetRecoveryCapsuleInfo(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN CapsuleInstance, UINTN *Size, EFI_GUID *CapsuleType) {
  RecoveryContext *Context = ContextFromPpi(This);
  Context->PeiServices = PeiServices;
  EFI_PHYSICAL_ADDRESS Page = 0;
  if (EFI_ERROR((*PeiServices)->AllocatePages(
          const_cast<const EFI_PEI_SERVICES **>(PeiServices),
          EfiBootServicesCode, 1, &Page))) {
    return EFI_OUT_OF_RESOURCES;
  }
  RecoveryFileInfo *Info =
      reinterpret_cast<RecoveryFileInfo *>(static_cast<UINTN>(Page));
  PCD_PPI *Pcd = LocatePcdPpi();
  if (Pcd == nullptr) return EFI_NOT_FOUND;
  const CHAR16 *Path =
      static_cast<const CHAR16 *>(Pcd->GetPtr(RECOVERY_PATH_PCD_TOKEN));
  if (Path == nullptr) return EFI_NOT_FOUND;
  EFI_STATUS Status = LocateRecoveryFile(Context, Path, Info);
  if (EFI_ERROR(Status)) return Status;
  // Size is 32 bits wide: a larger file could not be loaded into a buffer of
  // the reported size, so its extents are not left for a load either.
  if ((Info->FileSize >> 32) != 0) {
    FillBytes(Context->FileExtents, 0, sizeof(Context->FileExtents));
    return EFI_DEVICE_ERROR;
  }
  MoveBytes(CapsuleType, &kRecoveryCapsuleType, sizeof(EFI_GUID));
  *Size = static_cast<UINTN>(Info->FileSize);
  return EFI_SUCCESS;
}

// Reads the extents of the latest lookup, in list order up to the first
// zero-length one, back to back into Buffer. Stops at the first failed read
// and returns its status. CapsuleInstance is ignored.
EFI_STATUS EFIAPI LoadRecoveryCapsule(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN CapsuleInstance, VOID *Buffer) {
  RecoveryContext *Context = ContextFromPpi(This);
  Context->PeiServices = PeiServices;
  UINT8 *Destination = static_cast<UINT8 *>(Buffer);
  UINTN Offset = 0;
  for (UINT32 N = 0; N < MAX_FILE_EXTENTS; ++N) {
    const FileExtent *Extent = &Context->FileExtents[N];
    if (Extent->ByteLength == 0) break;
    EFI_STATUS Status = DiskRead(Context, 0, Extent->StartBlock,
                                 Extent->ByteLength, Destination + Offset);
    Offset += Extent->ByteLength;
    if (EFI_ERROR(Status)) return Status;
  }
  return EFI_SUCCESS;
}
