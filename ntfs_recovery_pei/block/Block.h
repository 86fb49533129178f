// Block access and partitions: block reads through the recovery block I/O
// PPIs, partition children from MBR and El Torito, the NTFS volume probe and
// the location of the NTFS partition on block device 0.
#ifndef NTFS_RECOVERY_PEI_BLOCK_H_
#define NTFS_RECOVERY_PEI_BLOCK_H_

#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

// Reads BufferSize bytes from StartBlock (in the row's BlockSize units) of
// row DeviceIndex; partition children forward to their parent.
EFI_STATUS ReadDeviceBlocks(RecoveryContext *Context, UINT32 DeviceIndex,
                            UINT64 StartBlock, UINT32 BufferSize, VOID *Buffer);
EFI_STATUS DiskRead(RecoveryContext *Context, UINT32 DeviceIndex,
                    UINT64 StartBlock, UINT32 BufferSize, VOID *Buffer);

BOOLEAN ValidateMbr(const UINT8 *Block, UINT64 LastBlock);
BOOLEAN DiscoverMbrPartitions(RecoveryContext *Context, UINT32 DeviceIndex);
BOOLEAN DiscoverElToritoPartitions(RecoveryContext *Context, UINT32 DeviceIndex);

EFI_STATUS ProbeNtfsVolume(RecoveryContext *Context, VolumeEntry *Volume);
EFI_STATUS LocateNtfsPartition(RecoveryContext *Context, UINT64 *StartBlock);

#endif  // NTFS_RECOVERY_PEI_BLOCK_H_
