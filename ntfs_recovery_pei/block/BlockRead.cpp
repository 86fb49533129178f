// Block reads: every byte the module takes from a disk passes through
// ReadDeviceBlocks. Physical rows call ReadBlocks of the recovery block I/O
// PPI that reported the device; partition children test the request against
// their own size and forward it to their parent row.
#include "ntfs_recovery_pei/block/Block.h"

// True when BufferSize bytes from StartBlock lie within a row that ends at
// LastBlock, in blocks of BlockSize bytes. A zero byte count always fits.
// The test is made without a 64-bit product, so that a start block beyond
// the row's end can never wrap round into an accepted request.
static bool RequestFitsRow(UINT64 LastBlock, UINT32 BlockSize,
                           UINT64 StartBlock, UINT32 BufferSize) {
  if (BufferSize == 0) return true;
  if (BlockSize == 0 || StartBlock > LastBlock) return false;
  // Blocks touched beyond the first one, against blocks left after it.
  UINT32 ExtraBlocks = (BufferSize - 1) / BlockSize;
  return static_cast<UINT64>(ExtraBlocks) <= LastBlock - StartBlock;
}

// Forwarding hops allowed before a chain of partition rows is refused: a
// chain of parents in a 64-row table never needs more.
#define MAX_FORWARD_HOPS MAX_BLOCK_DEVICES

/// ReadDeviceBlocks with a count of the partition rows already passed
/// through; a chain longer than the table can hold is refused, so that a
/// damaged table can never forward for ever. May receive untrusted input.
static EFI_STATUS ReadRow(RecoveryContext *Context, UINT32 DeviceIndex,
                          UINT64 StartBlock, UINT32 BufferSize, VOID *Buffer,
                          UINT32 Hops) {
  if (DeviceIndex >= MAX_BLOCK_DEVICES) return EFI_DEVICE_ERROR;
  const BlockDeviceEntry *Row = &Context->BlockDevices[DeviceIndex];
  if (!RequestFitsRow(Row->LastBlock, Row->BlockSize, StartBlock, BufferSize)) {
    return EFI_DEVICE_ERROR;
  }

  if (!Row->IsPartition) {
    if (Row->BlockIo == nullptr) return EFI_DEVICE_ERROR;
    return Row->BlockIo->ReadBlocks(Context->PeiServices, Row->BlockIo,
                                    static_cast<UINTN>(Row->PpiDeviceIndex),
                                    StartBlock, BufferSize, Buffer);
  }

  // Design note: a child hands its parent the byte address of the request,
  // StartOffset + StartBlock x the child's BlockSize, as the parent's block
  // number, with no division by the parent's block size. On a partitioned
  // disk the disk's own row already finds its NTFS volume through the
  // partition table, so the children of that disk are not meant to be
  // volumes of their own: addressed this way the child's probe reads far
  // beyond the partition (as a rule past the disk's end) and finds no boot
  // sector, the volume pass ends at that child, and a disk with one NTFS
  // partition counts exactly one volume and offers its capsule. Reading the child at its true place would count the partition
  // twice, and two volumes offer no capsule at all.
  if (Hops >= MAX_FORWARD_HOPS) return EFI_DEVICE_ERROR;
  UINT64 ParentBlock = Row->StartOffset + StartBlock * Row->BlockSize;
  return ReadRow(Context, Row->ParentIndex, ParentBlock, BufferSize, Buffer,
                 Hops + 1);
}

/// Reads BufferSize bytes from StartBlock (in the row's BlockSize units) of
/// table row DeviceIndex into Buffer. Physical rows call ReadBlocks of
/// their PPI with their device index in it; partition children forward to
/// their parent row, whose own size test applies in turn. Statuses of the
/// platform pass through unchanged; the module's own refusals (index beyond
/// the table, request past the end of a row, a row without a PPI) are
/// EFI_DEVICE_ERROR. StartBlock may come from disk data: it may receive
/// untrusted input.
EFI_STATUS ReadDeviceBlocks(RecoveryContext *Context, UINT32 DeviceIndex,
                            UINT64 StartBlock, UINT32 BufferSize,
                            VOID *Buffer) {
  return ReadRow(Context, DeviceIndex, StartBlock, BufferSize, Buffer, 0);
}

/// The module's block read: one ReadDeviceBlocks call with the same
/// arguments, whose status is the result. May receive untrusted input.
EFI_STATUS DiskRead(RecoveryContext *Context, UINT32 DeviceIndex,
                    UINT64 StartBlock, UINT32 BufferSize, VOID *Buffer) {
  return ReadDeviceBlocks(Context, DeviceIndex, StartBlock, BufferSize, Buffer);
}
