// Built 32-bit: the offsets by which the 64-bit emulator reads the module's
// context must be those of the module's own header.
#include "emulator/ContextLayout.h"
#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

namespace emulator {
namespace ia32 {

static_assert(offsetof(RecoveryContext, Signature) == kContextSignature,
              "context layout");
static_assert(offsetof(RecoveryContext, RecoveryPpi) == kContextRecoveryPpi,
              "context layout");
static_assert(offsetof(RecoveryContext, BlockDeviceCount) ==
                  kContextBlockDeviceCount,
              "context layout");
static_assert(offsetof(RecoveryContext, BlockDevices) == kContextBlockDevices,
              "context layout");
static_assert(offsetof(RecoveryContext, VolumeCount) == kContextVolumeCount,
              "context layout");
static_assert(offsetof(RecoveryContext, Volumes) == kContextVolumes,
              "context layout");
static_assert(offsetof(RecoveryContext, FileExtents) == kContextFileExtents,
              "context layout");
static_assert(sizeof(RecoveryContext) == kContextSize, "context layout");
static_assert(sizeof(BlockDeviceEntry) == kRowSize, "row layout");
static_assert(offsetof(BlockDeviceEntry, LastBlock) == kRowLastBlock,
              "row layout");
static_assert(offsetof(BlockDeviceEntry, IsPartition) == kRowIsPartition,
              "row layout");
static_assert(offsetof(BlockDeviceEntry, PartitionsScanned) ==
                  kRowPartitionsScanned,
              "row layout");
static_assert(offsetof(BlockDeviceEntry, StartOffset) == kRowStartOffset,
              "row layout");
static_assert(offsetof(BlockDeviceEntry, ParentIndex) == kRowParentIndex,
              "row layout");
static_assert(offsetof(BlockDeviceEntry, DeviceType) == kRowDeviceType,
              "row layout");
static_assert(offsetof(BlockDeviceEntry, BlockIo) == kRowBlockIo, "row layout");
static_assert(offsetof(BlockDeviceEntry, PpiDeviceIndex) == kRowPpiDeviceIndex,
              "row layout");
static_assert(sizeof(VolumeEntry) == kVolumeSize, "volume layout");
static_assert(sizeof(FileExtent) == kExtentSize, "extent layout");
static_assert(sizeof(EFI_PEI_SERVICES) == kServicesTableSize,
              "services layout");
static_assert(sizeof(EFI_PEI_BLOCK_IO_MEDIA) == kMediaSize, "media layout");
static_assert(offsetof(EFI_PEI_BLOCK_IO_MEDIA, LastBlock) == kMediaLastBlock,
              "media layout");
static_assert(offsetof(EFI_PEI_BLOCK_IO_MEDIA, BlockSize) == kMediaBlockSize,
              "media layout");

}  // namespace ia32
}  // namespace emulator
