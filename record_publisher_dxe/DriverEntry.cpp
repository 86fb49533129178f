// The frame of RecordPublisherDxe: the entry point with its revision gate,
// the start-up step, the unload handler, the clean-up step and the lookups
// by GUID.
#include "record_publisher_dxe/RecordPublisherDxe.h"

EFI_HANDLE DriverImageHandle;
EFI_SYSTEM_TABLE *DriverSystemTable;
EFI_BOOT_SERVICES *DriverBootServices;
EFI_RUNTIME_SERVICES *DriverRuntimeServices;
VOID *DriverHobList;

namespace {

// Little-endian 64-bit load from any address.
UINT64 LoadUnaligned64(const UINT8 *Bytes) {
  UINT64 Value = 0;
  for (int Index = 7; Index >= 0; --Index) {
    Value = (Value << 8) | Bytes[Index];
  }
  return Value;
}

}  // namespace

bool HobGuidsEqual(const VOID *Guid1, const VOID *Guid2) {
  const UINT8 *First = static_cast<const UINT8 *>(Guid1);
  const UINT8 *Second = static_cast<const UINT8 *>(Guid2);
  return LoadUnaligned64(First) == LoadUnaligned64(Second) &&
         LoadUnaligned64(First + 8) == LoadUnaligned64(Second + 8);
}

EFI_STATUS LookUpConfigurationTable(const EFI_GUID *Guid, VOID **Table) {
  *Table = nullptr;
  const UINTN Count = DriverSystemTable->NumberOfTableEntries;
  const EFI_CONFIGURATION_TABLE *Entries = DriverSystemTable->ConfigurationTable;
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (HobGuidsEqual(&Entries[Index].VendorGuid, Guid)) {
      *Table = Entries[Index].VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS DriverStartUp(EFI_HANDLE ImageHandle,
                         EFI_SYSTEM_TABLE *SystemTable) {
  DriverImageHandle = ImageHandle;
  DriverSystemTable = SystemTable;
  DriverBootServices = SystemTable->BootServices;
  DriverRuntimeServices = SystemTable->RuntimeServices;
  return LookUpConfigurationTable(DriverGuids.HobList, &DriverHobList);
}

VOID DriverCleanUp(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {}

extern "C" EFI_STATUS EFIAPI DriverUnload(EFI_HANDLE ImageHandle) {
  // Nothing of the driver's own to undo: that counts as a success, after
  // which the clean-up step runs. The record stays installed.
  DriverCleanUp(ImageHandle, DriverSystemTable);
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle,
                                         EFI_SYSTEM_TABLE *SystemTable) {
  if (RequiredUefiRevision != 0 &&
      SystemTable->Hdr.Revision < RequiredUefiRevision) {
    return EFI_INCOMPATIBLE_VERSION;
  }

  // A missing HOB list leaves DriverHobList null, which the publication
  // reports as a missing HOB; the start-up status itself is not acted on.
  DriverStartUp(ImageHandle, SystemTable);

  if (BuildOptionFlag != 0) {
    // The unload handler is written only through an interface pointer that
    // HandleProtocol actually returned.
    VOID *Interface = nullptr;
    EFI_STATUS Status = DriverBootServices->HandleProtocol(
        ImageHandle, const_cast<EFI_GUID *>(DriverGuids.LoadedImageProtocol),
        &Interface);
    if (!EFI_ERROR(Status) && Interface != nullptr) {
      static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface)->Unload =
          DriverUnload;
    }
  }

  EFI_STATUS Status = PublishRecord(ImageHandle, SystemTable);
  if (EFI_ERROR(Status)) {
    DriverCleanUp(ImageHandle, SystemTable);
  }
  return Status;
}
