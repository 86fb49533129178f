// RecordPublisherDxe: a DXE driver that finds the GUID HOB an earlier boot
// phase left for it (the RecordSourceHob) and installs a 12-byte record, the
// PublishedRecord, as the interface of PublishedRecordProtocol on its own
// image handle, where later drivers can find it.
//
// DriverEntry.cpp holds the frame (entry point, start-up, unload, the lookups
// by GUID); PublishRecord.cpp the publication itself.
#ifndef RECORD_PUBLISHER_DXE_H_
#define RECORD_PUBLISHER_DXE_H_

#include "efi/Dxe.h"
#include "record_publisher_dxe/BuildSettings.h"

// GUID of the RecordSourceHob, D64A8A66-4CDD-4EA0-9767-2F7EB535BBFE.
#define RECORD_SOURCE_HOB_GUID \
  {0xD64A8A66, 0x4CDD, 0x4EA0, {0x97, 0x67, 0x2F, 0x7E, 0xB5, 0x35, 0xBB, 0xFE}}

// GUID of PublishedRecordProtocol, 7C9F8551-7B30-4280-90D2-C10C429E10FC.
#define PUBLISHED_RECORD_PROTOCOL_GUID \
  {0x7C9F8551, 0x7B30, 0x4280, {0x90, 0xD2, 0xC1, 0x0C, 0x42, 0x9E, 0x10, 0xFC}}

// Offset of the flag byte from the start of the RecordSourceHob (its 24-byte
// GUID extension header included); the HOB must be at least one byte longer
// for the flag to be read.
#define RECORD_SOURCE_HOB_FLAG_OFFSET 0x47A

// The interface installed under PublishedRecordProtocol. Other drivers read
// it, so its layout is fixed.
struct PublishedRecord {
  UINT8 FirstByte;           // always 0
  UINT8 HobFlag;             // 1 when the build option is set and the HOB's
                             // flag byte is not 0; otherwise 0
  UINT8 RemainingBytes[10];  // always 0
};
static_assert(sizeof(PublishedRecord) == 12, "the record is 12 bytes");
static_assert(offsetof(PublishedRecord, HobFlag) == 1, "fixed layout");

// Module-level values, written by DriverStartUp and never changed afterwards.
extern EFI_HANDLE DriverImageHandle;
extern EFI_SYSTEM_TABLE *DriverSystemTable;
extern EFI_BOOT_SERVICES *DriverBootServices;
extern EFI_RUNTIME_SERVICES *DriverRuntimeServices;
extern VOID *DriverHobList;

// The GUIDs the driver looks up or installs, reached through the addresses
// in this table (Guids.cpp). The addresses are absolute, so the image carries
// base relocations for them and its loader may place it at any address.
struct DriverGuidTable {
  const EFI_GUID *HobList;                  // the HOB list configuration table
  const EFI_GUID *LoadedImageProtocol;      // EFI_LOADED_IMAGE_PROTOCOL
  const EFI_GUID *RecordSourceHob;          // the RecordSourceHob's Name
  const EFI_GUID *PublishedRecordProtocol;  // PublishedRecordProtocol
};
extern const DriverGuidTable DriverGuids;

extern "C" {

// The image entry point, called once by the DXE core. Applies the revision
// gate, runs the start-up step, registers the unload handler when the build
// option is set, publishes the record and returns the publication's status
// (running the clean-up step first when that status is an error).
EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle,
                              EFI_SYSTEM_TABLE *SystemTable);

// The image's unload handler (the Unload member of its loaded image
// protocol). There is no work of its own to undo; it runs the clean-up step
// and returns EFI_SUCCESS. The published record stays installed.
EFI_STATUS EFIAPI DriverUnload(EFI_HANDLE ImageHandle);

}  // extern "C"

// Records the image handle and the system tables in the module-level values
// and finds the HOB list; returns the status of that lookup.
EFI_STATUS DriverStartUp(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The clean-up step after a failed publication or an unload: the driver holds
// nothing that needs giving back, so it does nothing.
VOID DriverCleanUp(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Finds the first configuration table entry of DriverSystemTable whose
// VendorGuid equals Guid and stores its VendorTable in *Table; otherwise
// stores null and returns EFI_NOT_FOUND.
EFI_STATUS LookUpConfigurationTable(const EFI_GUID *Guid, VOID **Table);

// True when the two 16-byte GUIDs are equal, compared as two 64-bit halves
// read byte by byte (neither needs any alignment). May receive untrusted
// input (a HOB's Name field).
bool HobGuidsEqual(const VOID *Guid1, const VOID *Guid2);

// Finds the RecordSourceHob in DriverHobList and installs a freshly allocated
// PublishedRecord on ImageHandle. EFI_NOT_FOUND without the HOB (or without a
// HOB list), EFI_OUT_OF_RESOURCES when the pool allocation fails, otherwise
// EFI_SUCCESS, also when the installation itself is refused. SystemTable is
// not used. May receive untrusted input (the HOB list).
EFI_STATUS PublishRecord(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Walks the HOB list from HobStart and returns the first GUID extension HOB
// whose Name equals Guid, or null at the end-of-list HOB. A HOB length below
// the 8-byte header ends the walk as a miss. May receive untrusted input.
const VOID *FindGuidHob(const EFI_GUID *Guid, const VOID *HobStart);

// AllocatePool of EfiBootServicesData for Size bytes, cleared to zero; null
// when the allocation fails.
VOID *AllocateZeroedPool(UINTN Size);

#endif  // RECORD_PUBLISHER_DXE_H_
