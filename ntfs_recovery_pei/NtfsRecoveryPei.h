// NtfsRecoveryPei: the recovery context and the row types shared by the
// frame, the block layer and the NTFS reader.
//
// The module keeps all of its state in one RecoveryContext, allocated once
// by the entry point as whole pages and never freed. The members of the
// published PPI find the context from their This argument: the PPI is the
// RecoveryPpi field, and the context is the record that encloses it.
#ifndef NTFS_RECOVERY_PEI_H_
#define NTFS_RECOVERY_PEI_H_

#include "efi/Pei.h"

#define RECOVERY_CONTEXT_SIGNATURE 0x7366746Eu  // "ntfs"

#define BLOCK_BUFFER_SIZE 8192
#define MAX_BLOCK_DEVICES 64
#define MAX_VOLUMES 64
#define MAX_FILE_EXTENTS 256

// One row of the block device table: a physical device reached through a
// recovery block I/O PPI, or a partition child that forwards its reads to
// its parent row.
struct BlockDeviceEntry {
  UINT32 BlockSize;
  UINT64 LastBlock;
  BOOLEAN IsPartition;
  BOOLEAN PartitionsScanned;
  UINT64 StartOffset;   // partition child: byte offset on the parent
  UINT32 ParentIndex;   // partition child: table index of the parent
  UINT32 DeviceType;    // physical device: the media's DeviceType
  EFI_PEI_RECOVERY_BLOCK_IO_PPI *BlockIo;  // physical device: its PPI
  UINT8 PpiDeviceIndex;                    // physical device: index in it
};

// One row of the volume table.
struct VolumeEntry {
  UINT32 BlockDeviceIndex;
  UINT32 FileSystemType;  // 2 once a boot sector was read, 0 once "NTFS"
};

// One extent of the recovery file; a ByteLength of 0 ends the list.
struct FileExtent {
  UINT64 StartBlock;  // 512-byte block on block device 0
  UINT32 ByteLength;
};

// The caller's page that the file lookup fills.
struct RecoveryFileInfo {
  UINT64 FileSize;
};

struct RecoveryContext {
  UINT32 Signature;
  EFI_PEI_SERVICES **PeiServices;
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI RecoveryPpi;
  EFI_PEI_PPI_DESCRIPTOR PpiDescriptor;
  EFI_PEI_NOTIFY_DESCRIPTOR NotifyDescriptor;
  UINT8 BlockBuffer[BLOCK_BUFFER_SIZE];
  UINT32 BlockDeviceCount;
  BlockDeviceEntry BlockDevices[MAX_BLOCK_DEVICES];
  UINT32 VolumeCount;
  VolumeEntry Volumes[MAX_VOLUMES];
  FileExtent FileExtents[MAX_FILE_EXTENTS];
};

// The context that encloses a published PPI.
inline RecoveryContext *ContextFromPpi(EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This) {
  return reinterpret_cast<RecoveryContext *>(
      reinterpret_cast<UINT8 *>(This) - offsetof(RecoveryContext, RecoveryPpi));
}

// The module's one writable global: set by the entry point just before it
// registers the notification, read only by the notify function.
extern RecoveryContext *gRecoveryContext;

static_assert(sizeof(BlockDeviceEntry) % 8 == 0, "rows stay 8-byte aligned");
static_assert(offsetof(BlockDeviceEntry, LastBlock) == 8, "UEFI alignment");
static_assert(offsetof(BlockDeviceEntry, StartOffset) == 24, "UEFI alignment");
static_assert(sizeof(VolumeEntry) == 8, "VolumeEntry is two u32");
static_assert(sizeof(FileExtent) == 16, "FileExtent is u64 + u32, padded");
static_assert(offsetof(RecoveryContext, PeiServices) == sizeof(UINTN),
              "Signature then PeiServices");
#if defined(__i386__)
static_assert(sizeof(BlockDeviceEntry) == 48, "IA32 layout");
static_assert(offsetof(RecoveryContext, RecoveryPpi) == 8, "IA32 layout");
static_assert(offsetof(RecoveryContext, BlockBuffer) == 44, "IA32 layout");
#endif

#endif  // NTFS_RECOVERY_PEI_H_
