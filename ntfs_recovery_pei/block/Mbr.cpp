// MBR partition discovery: the four primary partition records of a device's
// block 0 become partition children of their own.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"

// Partition children of an MBR count 512-byte blocks.
#define MBR_CHILD_BLOCK_SIZE 512u

// One partition record as the passes use it.
struct MbrRecord {
  UINT8 OsType;
  UINT32 Start;
  UINT32 Size;
};

/// Decodes partition record Index (0 to 3) of a 512-byte MBR. May receive
/// untrusted input; the record lies inside the 512 bytes by construction.
static MbrRecord ReadMbrRecord(const UINT8 *Block, UINT32 Index) {
  const UINT8 *Record = Block + MBR_RECORD_TABLE + MBR_RECORD_SIZE * Index;
  MbrRecord Result;
  Result.OsType = Record[MBR_RECORD_OS_TYPE];
  Result.Start = LoadLe32(Record + MBR_RECORD_START);
  Result.Size = LoadLe32(Record + MBR_RECORD_SIZE_IN_LBA);
  return Result;
}

/// A record is in use when both its OS type and its size are non-zero.
static bool IsRecordInUse(const MbrRecord &Record) {
  return Record.OsType != 0 && Record.Size != 0;
}

/// True when the 512 bytes at Block hold a sound MBR for a device whose
/// last block is LastBlock: the 0xAA55 signature, every non-empty record
/// ending on the device, no two non-empty records overlapping, and at least
/// one non-empty record. Ends are computed modulo 2^32, as the records
/// hold them. May receive untrusted input.
BOOLEAN ValidateMbr(const UINT8 *Block, UINT64 LastBlock) {
  if (LoadLe16(Block + MBR_SIGNATURE_OFFSET) != MBR_SIGNATURE) return FALSE;
  MbrRecord Records[MBR_RECORD_COUNT];
  UINT32 Ends[MBR_RECORD_COUNT];
  for (UINT32 I = 0; I < MBR_RECORD_COUNT; ++I) {
    Records[I] = ReadMbrRecord(Block, I);
    Ends[I] = Records[I].Start + Records[I].Size - 1u;
  }
  bool AnyInUse = false;
  for (UINT32 I = 0; I < MBR_RECORD_COUNT; ++I) {
    if (!IsRecordInUse(Records[I])) continue;
    AnyInUse = true;
    if (static_cast<UINT64>(Ends[I]) > LastBlock) return FALSE;
    for (UINT32 J = I + 1; J < MBR_RECORD_COUNT; ++J) {
      if (!IsRecordInUse(Records[J])) continue;
      if (Ends[J] >= Records[I].Start && Records[J].Start <= Ends[I]) {
        return FALSE;
      }
    }
  }
  return AnyInUse ? TRUE : FALSE;
}

/// Reads block 0 of row DeviceIndex into the context's BlockBuffer and
/// appends one partition child (512-byte blocks, StartOffset in bytes on
/// the parent) per non-empty record of a sound MBR, while the table has
/// room. Marks the row as scanned unless the index is beyond the table. A
/// row whose block cannot hold an MBR in the scratch buffer (smaller than
/// 512 bytes or larger than 8192) is treated as an unreadable one. True
/// when at least one child was appended. May receive untrusted input.
BOOLEAN DiscoverMbrPartitions(RecoveryContext *Context, UINT32 DeviceIndex) {
  if (DeviceIndex >= MAX_BLOCK_DEVICES) return FALSE;
  BOOLEAN Appended = FALSE;
  const UINT32 BlockSize = Context->BlockDevices[DeviceIndex].BlockSize;
  const UINT64 LastBlock = Context->BlockDevices[DeviceIndex].LastBlock;

  if (BlockSize >= MBR_SIZE && BlockSize <= BLOCK_BUFFER_SIZE &&
      !EFI_ERROR(ReadDeviceBlocks(Context, DeviceIndex, 0, BlockSize,
                                  Context->BlockBuffer)) &&
      ValidateMbr(Context->BlockBuffer, LastBlock)) {
    for (UINT32 I = 0; I < MBR_RECORD_COUNT; ++I) {
      MbrRecord Record = ReadMbrRecord(Context->BlockBuffer, I);
      if (!IsRecordInUse(Record)) continue;
      if (Context->BlockDeviceCount >= MAX_BLOCK_DEVICES) continue;
      // A child's DeviceType, BlockIo and PpiDeviceIndex are not written:
      // a reused row keeps them, and nothing reads them for a child.
      BlockDeviceEntry *Child = &Context->BlockDevices[Context->BlockDeviceCount];
      Child->BlockSize = MBR_CHILD_BLOCK_SIZE;
      Child->LastBlock = static_cast<UINT64>(Record.Size - 1u);
      Child->IsPartition = 1;
      Child->PartitionsScanned = 0;
      Child->StartOffset = static_cast<UINT64>(BlockSize) * Record.Start;
      Child->ParentIndex = DeviceIndex;
      Context->BlockDeviceCount++;
      Appended = TRUE;
    }
  }

  Context->BlockDevices[DeviceIndex].PartitionsScanned = 1;
  return Appended;
}
