// Block access and partitions: block reads through the recovery block I/O
// PPIs, partition children from MBR and El Torito, the NTFS volume probe and
// the location of the NTFS partition on block device 0.
#ifndef NTFS_RECOVERY_PEI_BLOCK_H_
#define NTFS_RECOVERY_PEI_BLOCK_H_

#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

// Legacy MBR, in the first 512 bytes of block 0: four 16-byte partition
// records from 0x1BE (OS type at +4, starting LBA at +8, size in LBA at
// +12, little-endian) and the signature 0xAA55 at 0x1FE. Read by the MBR
// pass and by the volume probe.
#define MBR_SIZE 512u
#define MBR_RECORD_TABLE 0x1BEu
#define MBR_RECORD_SIZE 16u
#define MBR_RECORD_COUNT 4u
#define MBR_RECORD_OS_TYPE 4u
#define MBR_RECORD_START 8u
#define MBR_RECORD_SIZE_IN_LBA 12u
#define MBR_SIGNATURE_OFFSET 0x1FEu
#define MBR_SIGNATURE 0xAA55u

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
