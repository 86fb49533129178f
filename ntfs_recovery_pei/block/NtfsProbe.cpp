// The NTFS volume probe and the partition location on block device 0: the
// same partition-table rules (GPT basic data partition behind a protective
// MBR, otherwise the first MBR record of type 7, otherwise the whole device
// from block 0), then, for the probe, the boot sector's acceptance tests.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"

#define SECTOR_SIZE 512u

// OS types of MBR records that the rules look for.
#define OS_TYPE_PROTECTIVE 0xEEu
#define OS_TYPE_NTFS 0x07u

// GPT header at block 1 and the first eight 128-byte partition entries.
#define GPT_HEADER_BLOCK 1u
#define GPT_ENTRY_ARRAY_LBA 0x48u
#define GPT_ENTRY_SIZE 128u
#define GPT_ENTRIES_SEEN 8u
#define GPT_ENTRY_BYTES (GPT_ENTRY_SIZE * GPT_ENTRIES_SEEN)
#define GPT_ENTRY_TYPE 0x00u
#define GPT_ENTRY_START 0x20u

// NTFS boot sector.
#define BOOT_OEM_ID 0x03u
#define BOOT_BYTES_PER_SECTOR 0x0Bu
#define BOOT_SECTORS_PER_CLUSTER 0x0Du
#define BOOT_FAT_COUNT 0x10u
#define BOOT_ROOT_ENTRIES_LOW 0x11u
#define BOOT_ROOT_ENTRIES_HIGH 0x12u
#define BOOT_MEDIA_DESCRIPTOR 0x15u
#define BOOT_SECTORS_PER_FAT 0x16u

#define FILE_SYSTEM_BOOT_SECTOR_READ 2u
#define FILE_SYSTEM_NTFS 0u

static const UINT8 GptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
static const UINT8 NtfsOemId[4] = {'N', 'T', 'F', 'S'};
// Basic data partition type EBD0A0A2-B9E5-4433-87C0-68B6B72699C7.
static const EFI_GUID BasicDataPartitionGuid = {
    0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
static const UINT8 MediaDescriptors[] = {0xF0, 0xF8, 0xF9, 0xFB, 0xFC, 0xFD,
                                         0xFE, 0xFF, 0x00, 0x01, 0xFA};

/// The block at which the NTFS volume of row Device starts, by the
/// partition-table rules; 0 when no entry matches. Returns a failed read's
/// status, EFI_DEVICE_ERROR without the 0xAA55 signature, EFI_NOT_FOUND
/// when a protective MBR has no "EFI PART" header behind it. May receive
/// untrusted input.
static EFI_STATUS FindVolumeStart(RecoveryContext *Context, UINT32 Device,
                                  UINT64 *StartBlock) {
  // One buffer serves the MBR, the GPT header and then the entries.
  UINT8 Buffer[GPT_ENTRY_BYTES];
  UINT64 Start = 0;
  EFI_STATUS Status = DiskRead(Context, Device, 0, SECTOR_SIZE, Buffer);
  if (EFI_ERROR(Status)) return Status;
  if (LoadLe16(Buffer + MBR_SIGNATURE_OFFSET) != MBR_SIGNATURE) return EFI_DEVICE_ERROR;

  if (Buffer[MBR_RECORD_TABLE + MBR_RECORD_OS_TYPE] == OS_TYPE_PROTECTIVE) {
    Status = DiskRead(Context, Device, GPT_HEADER_BLOCK, SECTOR_SIZE, Buffer);
    if (EFI_ERROR(Status)) return Status;
    if (CompareBytes(Buffer, GptSignature, sizeof(GptSignature)) != 0) {
      return EFI_NOT_FOUND;
    }
    const UINT64 EntryArray = LoadLe64(Buffer + GPT_ENTRY_ARRAY_LBA);
    Status = DiskRead(Context, Device, EntryArray, GPT_ENTRY_BYTES, Buffer);
    if (EFI_ERROR(Status)) return Status;
    for (UINT32 I = 0; I < GPT_ENTRIES_SEEN; ++I) {
      const UINT8 *Entry = Buffer + GPT_ENTRY_SIZE * I;
      if (GuidsEqual(reinterpret_cast<const EFI_GUID *>(Entry + GPT_ENTRY_TYPE),
                     &BasicDataPartitionGuid)) {
        Start = LoadLe64(Entry + GPT_ENTRY_START);
        break;
      }
    }
  } else {
    for (UINT32 I = 0; I < MBR_RECORD_COUNT; ++I) {
      const UINT8 *Record = Buffer + MBR_RECORD_TABLE + MBR_RECORD_SIZE * I;
      if (Record[MBR_RECORD_OS_TYPE] == OS_TYPE_NTFS) {
        Start = static_cast<UINT64>(LoadLe32(Record + MBR_RECORD_START));
        break;
      }
    }
  }
  *StartBlock = Start;
  return EFI_SUCCESS;
}

/// True when one of the two geometry fields lies in its accepted set:
/// bytes per sector 256 to 2048 (a power of two), or else sectors per
/// cluster 1 to 32 (a power of two).
static bool IsGeometryAccepted(UINT16 BytesPerSector, UINT8 SectorsPerCluster) {
  switch (BytesPerSector) {
    case 256: case 512: case 1024: case 2048: return true;
    default: break;
  }
  switch (SectorsPerCluster) {
    case 1: case 2: case 4: case 8: case 16: case 32: return true;
    default: return false;
  }
}

/// Decides whether row Volume->BlockDeviceIndex holds an NTFS volume: finds
/// its start through the partition table, reads the boot sector there and
/// tests its OEM identifier and BIOS parameter block. Writes only
/// FileSystemType: 2 once the boot sector was read, 0 once it begins
/// "NTFS". EFI_SUCCESS for an accepted volume; a read's status,
/// EFI_DEVICE_ERROR or EFI_NOT_FOUND otherwise. May receive untrusted input.
EFI_STATUS ProbeNtfsVolume(RecoveryContext *Context, VolumeEntry *Volume) {
  const UINT32 Device = Volume->BlockDeviceIndex;
  UINT64 Start = 0;
  EFI_STATUS Status = FindVolumeStart(Context, Device, &Start);
  if (EFI_ERROR(Status)) return Status;

  UINT8 Boot[SECTOR_SIZE];
  Status = DiskRead(Context, Device, Start, SECTOR_SIZE, Boot);
  if (EFI_ERROR(Status)) return Status;

  Volume->FileSystemType = FILE_SYSTEM_BOOT_SECTOR_READ;
  if (CompareBytes(Boot + BOOT_OEM_ID, NtfsOemId, sizeof(NtfsOemId)) != 0) {
    return EFI_NOT_FOUND;
  }
  Volume->FileSystemType = FILE_SYSTEM_NTFS;

  if (Boot[BOOT_FAT_COUNT] != 0) return EFI_NOT_FOUND;
  if (Boot[BOOT_ROOT_ENTRIES_LOW] != 0) return EFI_NOT_FOUND;
  if (Boot[BOOT_ROOT_ENTRIES_HIGH] != 0) return EFI_NOT_FOUND;
  if (LoadLe16(Boot + BOOT_SECTORS_PER_FAT) != 0) return EFI_NOT_FOUND;
  if (!IsGeometryAccepted(LoadLe16(Boot + BOOT_BYTES_PER_SECTOR),
                          Boot[BOOT_SECTORS_PER_CLUSTER])) {
    return EFI_NOT_FOUND;
  }
  const UINT8 Media = Boot[BOOT_MEDIA_DESCRIPTOR];
  for (UINT32 I = 0; I < sizeof(MediaDescriptors); ++I) {
    if (Media == MediaDescriptors[I]) return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

/// The start block of the NTFS volume on block device 0 (table index 0)
/// by the partition-table rules, 0 when no entry matches; the boot sector
/// is not read. A read's status, EFI_DEVICE_ERROR or EFI_NOT_FOUND on
/// failure, and StartBlock is then untouched. May receive untrusted input.
EFI_STATUS LocateNtfsPartition(RecoveryContext *Context, UINT64 *StartBlock) {
  UINT64 Start = 0;
  EFI_STATUS Status = FindVolumeStart(Context, 0, &Start);
  if (EFI_ERROR(Status)) return Status;
  *StartBlock = Start;
  return EFI_SUCCESS;
}
