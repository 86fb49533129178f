// El Torito partition discovery: the bootable entries of a CD or DVD boot
// catalog become partition children of their own.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"

#define CD_SECTOR_SIZE 2048u
#define FIRST_VOLUME_DESCRIPTOR 16u

// ISO 9660 volume descriptor.
#define VD_TYPE 0x00u
#define VD_STANDARD_ID 0x01u
#define VD_BOOT_SYSTEM_ID 0x07u
#define VD_BOOT_CATALOG 0x47u
#define VD_VOLUME_SPACE_SIZE 0x50u
#define VD_TYPE_PRIMARY 1u
#define VD_TYPE_TERMINATOR 0xFFu

// Boot catalog: 32-byte entries, the validation entry first.
#define CATALOG_ENTRY_SIZE 32u
#define CATALOG_ENTRY_COUNT (CD_SECTOR_SIZE / CATALOG_ENTRY_SIZE)
#define VALIDATION_HEADER_ID 0x00u
#define VALIDATION_KEY 0x1Eu
#define ENTRY_BOOT_INDICATOR 0x00u
#define ENTRY_MEDIA_TYPE 0x01u
#define ENTRY_SECTOR_COUNT 0x06u
#define ENTRY_LOAD_RBA 0x08u
#define BOOTABLE 0x88u

static const UINT8 StandardId[5] = {'C', 'D', '0', '0', '1'};
static const UINT8 ElToritoId[23] = {'E', 'L', ' ', 'T', 'O', 'R', 'I', 'T',
                                     'O', ' ', 'S', 'P', 'E', 'C', 'I', 'F',
                                     'I', 'C', 'A', 'T', 'I', 'O', 'N'};

/// True when the boot catalog sector starts with a sound validation entry:
/// header ID 1, key 0xAA55 and sixteen words summing to 0 modulo 2^16.
/// May receive untrusted input.
static bool IsValidationEntrySound(const UINT8 *Catalog) {
  if (Catalog[VALIDATION_HEADER_ID] != 1) return false;
  if (LoadLe16(Catalog + VALIDATION_KEY) != 0xAA55u) return false;
  UINT16 Sum = 0;
  for (UINT32 Word = 0; Word < CATALOG_ENTRY_SIZE / 2; ++Word) {
    Sum = static_cast<UINT16>(Sum + LoadLe16(Catalog + 2 * Word));
  }
  return Sum == 0;
}

/// Appends the children of every bootable entry (1 to 63) of the catalog in
/// BlockBuffer. VolumeSpaceSize is the latest primary descriptor's size, 0
/// before one was read. May receive untrusted input.
static BOOLEAN AppendCatalogChildren(RecoveryContext *Context, UINT32 Parent,
                                     UINT32 VolumeSpaceSize) {
  const BlockDeviceEntry ParentRow = Context->BlockDevices[Parent];
  BOOLEAN Appended = FALSE;
  for (UINT32 Index = 1; Index < CATALOG_ENTRY_COUNT; ++Index) {
    const UINT8 *Entry = Context->BlockBuffer + CATALOG_ENTRY_SIZE * Index;
    const UINT32 LoadRba = LoadLe32(Entry + ENTRY_LOAD_RBA);
    if (Entry[ENTRY_BOOT_INDICATOR] != BOOTABLE || LoadRba == 0) continue;

    const UINT32 SectorCount = LoadLe16(Entry + ENTRY_SECTOR_COUNT);
    UINT32 BlockSize = ParentRow.BlockSize;
    UINT32 Count = 0;
    switch (Entry[ENTRY_MEDIA_TYPE] & 0x0F) {
      case 0: Count = SectorCount; break;                       // no emulation
      case 1: BlockSize = 512; Count = 2400; break;             // 1.2 MB
      case 2: BlockSize = 512; Count = 2880; break;             // 1.44 MB
      case 3: BlockSize = 512; Count = 5760; break;             // 2.88 MB
      case 4: BlockSize = 512; Count = SectorCount; break;      // hard disk
      default: break;                                           // reserved
    }
    if (Count < 2) {
      // Sized to the end of the volume, or of the device when that is
      // nearer; counted in the child's own blocks as the sectors were.
      const UINT64 DeviceEnd = ParentRow.LastBlock + 1;
      const UINT32 Limit = static_cast<UINT64>(VolumeSpaceSize) <= DeviceEnd
                               ? VolumeSpaceSize
                               : static_cast<UINT32>(DeviceEnd);
      Count = Limit - LoadRba;
    }
    if (Context->BlockDeviceCount >= MAX_BLOCK_DEVICES) continue;

    // A child's DeviceType, BlockIo and PpiDeviceIndex are not written: a
    // reused row keeps them, and nothing reads them for a child.
    BlockDeviceEntry *Child = &Context->BlockDevices[Context->BlockDeviceCount];
    Child->BlockSize = BlockSize;
    Child->LastBlock = static_cast<UINT64>(Count - 1u);
    Child->IsPartition = 1;
    Child->PartitionsScanned = 0;
    Child->StartOffset = static_cast<UINT64>(ParentRow.BlockSize) * LoadRba;
    Child->ParentIndex = Parent;
    Context->BlockDeviceCount++;
    Appended = TRUE;
  }
  return Appended;
}

/// Scans the volume descriptors of a 2048-byte-block device from sector 16
/// until the terminator, a sector without "CD001", a failed read or the
/// device's end, and appends a child per bootable catalog entry of every
/// boot record met. Marks the row as scanned unless the index is beyond
/// the table or the block size is not 2048. True when at least one child
/// was appended. May receive untrusted input.
BOOLEAN DiscoverElToritoPartitions(RecoveryContext *Context,
                                   UINT32 DeviceIndex) {
  if (DeviceIndex >= MAX_BLOCK_DEVICES) return FALSE;
  if (Context->BlockDevices[DeviceIndex].BlockSize != CD_SECTOR_SIZE) {
    return FALSE;
  }
  const UINT64 LastBlock = Context->BlockDevices[DeviceIndex].LastBlock;
  UINT32 VolumeSpaceSize = 0;
  BOOLEAN Appended = FALSE;
  UINT8 *Sector = Context->BlockBuffer;

  // The sector number only grows, and the walk stops at the device's end
  // or, for a last block of 2^64 - 1, where the number would wrap.
  for (UINT64 S = FIRST_VOLUME_DESCRIPTOR; S != 0 && S <= LastBlock; ++S) {
    if (EFI_ERROR(ReadDeviceBlocks(Context, DeviceIndex, S, CD_SECTOR_SIZE,
                                   Sector))) {
      break;
    }
    if (Sector[VD_TYPE] == VD_TYPE_TERMINATOR) break;
    if (CompareBytes(Sector + VD_STANDARD_ID, StandardId, sizeof(StandardId)) != 0) {
      break;
    }
    if (Sector[VD_TYPE] == VD_TYPE_PRIMARY) {
      VolumeSpaceSize = LoadLe32(Sector + VD_VOLUME_SPACE_SIZE);
    }
    if (CompareBytes(Sector + VD_BOOT_SYSTEM_ID, ElToritoId, sizeof(ElToritoId)) != 0) {
      continue;
    }
    const UINT32 CatalogSector = LoadLe32(Sector + VD_BOOT_CATALOG);
    if (CatalogSector > LastBlock) continue;
    if (EFI_ERROR(ReadDeviceBlocks(Context, DeviceIndex, CatalogSector,
                                   CD_SECTOR_SIZE, Sector))) {
      continue;
    }
    if (!IsValidationEntrySound(Sector)) continue;
    if (AppendCatalogChildren(Context, DeviceIndex, VolumeSpaceSize)) {
      Appended = TRUE;
    }
  }

  Context->BlockDevices[DeviceIndex].PartitionsScanned = 1;
  return Appended;
}
