// The work of RecordPublisherDxe: find the RecordSourceHob in the HOB list
// and install a PublishedRecord on the image handle.
#include "record_publisher_dxe/RecordPublisherDxe.h"

namespace {

// Little-endian 16-bit load from any address.
UINT16 LoadUnaligned16(const UINT8 *Bytes) {
  return static_cast<UINT16>(Bytes[0] | (Bytes[1] << 8));
}

// Fields of the generic HOB header, read byte by byte: a HOB list of odd
// lengths leaves later headers unaligned. May receive untrusted input.
UINT16 HobType(const UINT8 *Hob) {
  return LoadUnaligned16(Hob + offsetof(EFI_HOB_GENERIC_HEADER, HobType));
}
UINT16 HobLength(const UINT8 *Hob) {
  return LoadUnaligned16(Hob + offsetof(EFI_HOB_GENERIC_HEADER, HobLength));
}

}  // namespace

const VOID *FindGuidHob(const EFI_GUID *Guid, const VOID *HobStart) {
  const UINT8 *Hob = static_cast<const UINT8 *>(HobStart);
  while (Hob != nullptr) {
    const UINT16 Type = HobType(Hob);
    const UINT16 Length = HobLength(Hob);
    if (Type == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return nullptr;
    }
    // A length shorter than the header would stall or reverse the walk: the
    // list is damaged and the HOB counts as not found.
    if (Length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return nullptr;
    }
    // Only a GUID extension HOB long enough to hold its Name can match.
    if (Type == EFI_HOB_TYPE_GUID_EXTENSION &&
        Length >= sizeof(EFI_HOB_GUID_TYPE) &&
        HobGuidsEqual(Hob + offsetof(EFI_HOB_GUID_TYPE, Name), Guid)) {
      return Hob;
    }
    // The next HOB's address must not wrap around the address space.
    const UINTN Next = reinterpret_cast<UINTN>(Hob) + Length;
    if (Next < reinterpret_cast<UINTN>(Hob)) {
      return nullptr;
    }
    Hob += Length;
  }
  return nullptr;
}

VOID *AllocateZeroedPool(UINTN Size) {
  VOID *Buffer = nullptr;
  EFI_STATUS Status =
      DriverBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer);
  if (EFI_ERROR(Status) || Buffer == nullptr) {
    return nullptr;
  }
  volatile UINT8 *Bytes = static_cast<volatile UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Size; ++Index) {
    Bytes[Index] = 0;
  }
  return Buffer;
}

EFI_STATUS PublishRecord(EFI_HANDLE ImageHandle,
                         EFI_SYSTEM_TABLE *SystemTable) {
  if (DriverHobList == nullptr) {
    return EFI_NOT_FOUND;
  }
  const UINT8 *Hob = static_cast<const UINT8 *>(
      FindGuidHob(DriverGuids.RecordSourceHob, DriverHobList));
  if (Hob == nullptr) {
    return EFI_NOT_FOUND;
  }

  PublishedRecord *Record =
      static_cast<PublishedRecord *>(AllocateZeroedPool(sizeof(PublishedRecord)));
  if (Record == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  Record->FirstByte = 0;
  Record->HobFlag = 0;
  for (UINTN Index = 0; Index < sizeof(Record->RemainingBytes); ++Index) {
    Record->RemainingBytes[Index] = 0;
  }

  // The flag byte is read only when the HOB reaches past it; a shorter HOB
  // counts as one whose flag is 0.
  if (BuildOptionFlag != 0 && HobLength(Hob) > RECORD_SOURCE_HOB_FLAG_OFFSET &&
      Hob[RECORD_SOURCE_HOB_FLAG_OFFSET] != 0) {
    Record->HobFlag = 1;
  }

  // The installation goes on the image handle itself (a local copy of it is
  // passed), and its status does not change the result: the record is
  // published or, when refused, stays allocated.
  EFI_HANDLE Handle = ImageHandle;
  DriverBootServices->InstallProtocolInterface(
      &Handle, const_cast<EFI_GUID *>(DriverGuids.PublishedRecordProtocol),
      EFI_NATIVE_INTERFACE, Record);
  return EFI_SUCCESS;
}
