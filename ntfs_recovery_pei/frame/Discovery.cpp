// The discovery pass: rebuilds the block device table from every present
// device of every recovery block I/O PPI instance, lets the partition
// passes append children, and probes the rows in order for NTFS volumes.
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"

// Instance numbers of the recovery block I/O PPI that are tried.
#define MAX_BLOCK_IO_INSTANCES 32
// A row keeps the device index within its PPI in eight bits; devices with
// a higher index cannot be addressed and are never recorded.
#define MAX_PPI_DEVICE_INDEX 255

/// Appends one row per present device of every recovery block I/O PPI
/// instance, numbered 0, 1, 2 ... until LocatePpi fails (32 at most). The
/// PPI's counts and media records come from the platform: may receive
/// untrusted input.
static VOID RecordPhysicalDevices(RecoveryContext *Context) {
  EFI_PEI_SERVICES **PeiServices = ReadPeiServicesFromIdt();
  Context->BlockDeviceCount = 0;

  for (UINTN Instance = 0; Instance < MAX_BLOCK_IO_INSTANCES; ++Instance) {
    EFI_PEI_PPI_DESCRIPTOR *Descriptor = nullptr;
    VOID *Ppi = nullptr;
    EFI_STATUS Status = (*PeiServices)->LocatePpi(
        const_cast<const EFI_PEI_SERVICES **>(PeiServices),
        &RecoveryBlockIoPpiGuid, Instance, &Descriptor, &Ppi);
    if (EFI_ERROR(Status) || Ppi == nullptr) break;
    EFI_PEI_RECOVERY_BLOCK_IO_PPI *BlockIo =
        static_cast<EFI_PEI_RECOVERY_BLOCK_IO_PPI *>(Ppi);

    UINTN NumberBlockDevices = 0;
    Status = BlockIo->GetNumberOfBlockDevices(PeiServices, BlockIo,
                                              &NumberBlockDevices);
    if (EFI_ERROR(Status)) continue;

    for (UINTN Device = 0; Device < NumberBlockDevices; ++Device) {
      if (Context->BlockDeviceCount >= MAX_BLOCK_DEVICES) break;
      if (Device > MAX_PPI_DEVICE_INDEX) break;
      EFI_PEI_BLOCK_IO_MEDIA Media;
      FillBytes(&Media, 0, sizeof(Media));
      Status = BlockIo->GetBlockDeviceMediaInfo(PeiServices, BlockIo, Device,
                                                &Media);
      if (EFI_ERROR(Status) || !Media.MediaPresent) continue;

      // Only the fields of a physical row are written: a reused row keeps
      // its former StartOffset and ParentIndex, which nothing reads here.
      BlockDeviceEntry *Row = &Context->BlockDevices[Context->BlockDeviceCount];
      Row->BlockSize = static_cast<UINT32>(Media.BlockSize);
      Row->LastBlock = static_cast<UINT64>(Media.LastBlock);
      Row->IsPartition = 0;
      Row->PartitionsScanned = 0;
      Row->DeviceType = Media.DeviceType;
      Row->BlockIo = BlockIo;
      Row->PpiDeviceIndex = static_cast<UINT8>(Device);
      Context->BlockDeviceCount++;
    }
  }
}

/// One sweep over the table in row order: the MBR pass on every row not yet
/// scanned, the El Torito pass where the MBR pass appended nothing. Rows
/// appended during the sweep are examined later in the same sweep; the
/// table's capacity bounds it.
static VOID DiscoverPartitions(RecoveryContext *Context) {
  for (UINT32 Row = 0; Row < Context->BlockDeviceCount && Row < MAX_BLOCK_DEVICES;
       ++Row) {
    if (Context->BlockDevices[Row].PartitionsScanned) continue;
    if (!DiscoverMbrPartitions(Context, Row)) {
      DiscoverElToritoPartitions(Context, Row);
    }
  }
}

/// Probes the rows in order and records each NTFS volume; the first row
/// that does not hold one ends the volume table.
static VOID DiscoverVolumes(RecoveryContext *Context) {
  Context->VolumeCount = 0;
  VolumeEntry Working;
  FillBytes(&Working, 0, sizeof(Working));
  for (UINT32 Row = 0; Row < Context->BlockDeviceCount && Row < MAX_BLOCK_DEVICES;
       ++Row) {
    Working.BlockDeviceIndex = Row;
    if (EFI_ERROR(ProbeNtfsVolume(Context, &Working))) break;
    MoveBytes(&Context->Volumes[Context->VolumeCount], &Working,
              sizeof(VolumeEntry));
    Context->VolumeCount++;
    if (Context->VolumeCount == MAX_VOLUMES) break;
  }
}

/// Rebuilds the block device table and the volume table from scratch.
/// Always EFI_SUCCESS: no failure of a device or a probe reaches the caller.
EFI_STATUS DiscoverDevicesAndVolumes(RecoveryContext *Context) {
  RecordPhysicalDevices(Context);
  DiscoverPartitions(Context);
  DiscoverVolumes(Context);
  return EFI_SUCCESS;
}

/// Notify function for each newly installed recovery block I/O PPI: runs
/// the whole discovery pass again on the module's context. Its arguments
/// are not needed: every instance is enumerated afresh.
EFI_STATUS EFIAPI OnRecoveryBlockIoInstalled(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
    VOID *Ppi) {
  if (gRecoveryContext != nullptr) DiscoverDevicesAndVolumes(gRecoveryContext);
  return EFI_SUCCESS;
}
