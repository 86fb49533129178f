// Fuzz target: the partition passes and the volume probe. The input is a
// device image (fuzz/FuzzInput.h); the module's entry point runs the whole
// discovery pass over it (MBR, El Torito, the NTFS probe of every row),
// then the partition location of block device 0 and the MBR test of its
// first block run on their own.
#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzPlatform.h"
#include "ntfs_recovery_pei/block/Block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Fuzz::ByteReader Reader(Data, Size);
  Fuzz::DeviceImage Image = Fuzz::ParseDeviceImage(Reader);

  // The MBR test on the first 512 bytes, exactly sized.
  UINT8 *Block = new UINT8[MBR_SIZE];
  Fuzz::ReadImage(Image, 0, MBR_SIZE, Block);
  ValidateMbr(Block, Image.LastBlock);
  delete[] Block;

  HostPei::SimulatedPeiPlatform Platform;
  Fuzz::FuzzBlockIo Io(Image);
  Fuzz::InstallDevice(Platform, Io);
  if (EFI_ERROR(Platform.RunEntryPoint())) return 0;
  RecoveryContext *Context = Platform.Context();
  if (Context == nullptr) Fuzz::Fail("entry point succeeded without a context");

  if (Context->BlockDeviceCount > MAX_BLOCK_DEVICES) Fuzz::Fail("device table overrun");
  if (Context->VolumeCount > MAX_VOLUMES) Fuzz::Fail("volume table overrun");
  for (UINT32 Row = 0; Row < Context->BlockDeviceCount; ++Row) {
    const BlockDeviceEntry &Entry = Context->BlockDevices[Row];
    if (Entry.IsPartition && Entry.ParentIndex >= Row) {
      Fuzz::Fail("partition row whose parent does not come before it");
    }
  }

  UINT64 Start = 0;
  LocateNtfsPartition(Context, &Start);
  return 0;
}
