// Fuzz target: the whole recovery request over a device image (see
// fuzz/FuzzInput.h): entry point and discovery, the capsule count, the
// lookup of the recovery file (boot sector, path walk, index searches,
// data runs) and the load of the capsule into a buffer of exactly the
// reported size.
#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzPlatform.h"
#include "ntfs_recovery_pei/frame/Frame.h"

namespace {

// Capsules larger than this are looked up but not loaded.
constexpr UINTN kMaxLoadBytes = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Fuzz::ByteReader Reader(Data, Size);
  Fuzz::DeviceImage Image = Fuzz::ParseDeviceImage(Reader);
  HostPei::SimulatedPeiPlatform Platform;
  Fuzz::FuzzBlockIo Io(Image);
  Fuzz::InstallDevice(Platform, Io);
  if (EFI_ERROR(Platform.RunEntryPoint())) return 0;
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = Platform.RecoveryPpi();
  if (Ppi == nullptr) Fuzz::Fail("entry point succeeded without the PPI");

  UINTN Count = 7;
  if (EFI_ERROR(Ppi->GetNumberRecoveryCapsules(Platform.Services(), Ppi, &Count)) ||
      Count > 1) {
    Fuzz::Fail("capsule count");
  }
  // The lookup runs whatever the count: the platform may still ask.
  UINTN CapsuleSize = 0;
  EFI_GUID Type;
  if (EFI_ERROR(Ppi->GetRecoveryCapsuleInfo(Platform.Services(), Ppi, 0,
                                            &CapsuleSize, &Type))) {
    return 0;
  }
  // The extents must fill exactly the size reported.
  RecoveryContext *Context = Platform.Context();
  UINT64 Listed = 0;
  for (UINT32 N = 0; N < MAX_FILE_EXTENTS && Context->FileExtents[N].ByteLength != 0; ++N) {
    Listed += Context->FileExtents[N].ByteLength;
  }
  if (Listed != CapsuleSize) Fuzz::Fail("extents do not add up to the capsule size");
  if (CapsuleSize > kMaxLoadBytes) return 0;
  UINT8 *Buffer = new UINT8[CapsuleSize + (CapsuleSize == 0 ? 1 : 0)];
  Ppi->LoadRecoveryCapsule(Platform.Services(), Ppi, 0, Buffer);
  delete[] Buffer;
  return 0;
}
