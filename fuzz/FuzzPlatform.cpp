// Platforms for the fuzz targets.
#include "fuzz/FuzzPlatform.h"

#include <string.h>

namespace Fuzz {
namespace {

const EFI_GUID kRecoveryBlockIoGuid = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;

const DeviceImage &ImageOf(EFI_PEI_RECOVERY_BLOCK_IO_PPI *This) {
  return *reinterpret_cast<FuzzBlockIo *>(This)->Image;
}

UINTN DeviceCount(const DeviceImage &Image) { return Image.TwoDevices ? 2 : 1; }

EFI_STATUS EFIAPI GetNumberOfBlockDevices(EFI_PEI_SERVICES **,
                                          EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
                                          UINTN *Number) {
  *Number = DeviceCount(ImageOf(This));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetBlockDeviceMediaInfo(EFI_PEI_SERVICES **,
                                          EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
                                          UINTN Index,
                                          EFI_PEI_BLOCK_IO_MEDIA *Media) {
  const DeviceImage &Image = ImageOf(This);
  if (Index >= DeviceCount(Image) || Media == nullptr) return EFI_INVALID_PARAMETER;
  Media->DeviceType = 3;  // USB mass storage
  Media->MediaPresent = 1;
  Media->LastBlock = static_cast<UINTN>(Image.LastBlock);
  Media->BlockSize = Image.BlockSize;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReadBlocks(EFI_PEI_SERVICES **, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
                             UINTN Index, EFI_PEI_LBA Lba, UINTN Size,
                             VOID *Buffer) {
  const DeviceImage &Image = ImageOf(This);
  if (Index >= DeviceCount(Image)) return EFI_INVALID_PARAMETER;
  if (Size == 0) return EFI_SUCCESS;
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  const uint64_t Blocks = (static_cast<uint64_t>(Size) - 1) / Image.BlockSize;
  if (Lba > Image.LastBlock || Blocks > Image.LastBlock - Lba) {
    return EFI_INVALID_PARAMETER;
  }
  ReadImage(Image, Lba * Image.BlockSize, Size, static_cast<uint8_t *>(Buffer));
  return EFI_SUCCESS;
}

}  // namespace

FuzzBlockIo::FuzzBlockIo(const DeviceImage &Source) : Image(&Source) {
  Ppi.GetNumberOfBlockDevices = GetNumberOfBlockDevices;
  Ppi.GetBlockDeviceMediaInfo = GetBlockDeviceMediaInfo;
  Ppi.ReadBlocks = ReadBlocks;
  Descriptor.Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  Descriptor.Guid = const_cast<EFI_GUID *>(&kRecoveryBlockIoGuid);
  Descriptor.Ppi = &Ppi;
}

void InstallDevice(HostPei::SimulatedPeiPlatform &Platform, FuzzBlockIo &Io) {
  Platform.SetRecoveryPath(Io.Image->Path);
  EFI_PEI_SERVICES **Services = Platform.Services();
  if (EFI_ERROR((*Services)->InstallPpi(
          const_cast<const EFI_PEI_SERVICES **>(Services), &Io.Descriptor))) {
    Fail("the simulated platform refused the block I/O PPI");
  }
}

std::unique_ptr<RecoveryContext> MakeBareContext(
    HostPei::SimulatedPeiPlatform &Platform, FuzzBlockIo &Io) {
  std::unique_ptr<RecoveryContext> Context(new RecoveryContext());
  Context->Signature = RECOVERY_CONTEXT_SIGNATURE;
  Context->PeiServices = Platform.Services();
  BlockDeviceEntry &Row = Context->BlockDevices[0];
  Row.BlockSize = Io.Image->BlockSize;
  Row.LastBlock = Io.Image->LastBlock;
  Row.BlockIo = &Io.Ppi;
  Row.PpiDeviceIndex = 0;
  Context->BlockDeviceCount = 1;
  return Context;
}

}  // namespace Fuzz
