// Platforms for the fuzz targets: a recovery block I/O PPI over the device
// image of a fuzz input (read straight from the input's chunks, nothing is
// materialised), installed on the simulated PEI Foundation, or a bare
// recovery context whose row 0 is that device, for the searches that read
// a device without a discovery pass.
#ifndef FUZZ_FUZZ_PLATFORM_H_
#define FUZZ_FUZZ_PLATFORM_H_

#include <memory>

#include "fuzz/FuzzInput.h"
#include "host/pei/SimulatedPeiPlatform.h"
#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

namespace Fuzz {

// One PPI instance reporting the image as device 0 (and 1, when the input
// asks for two devices). Its reads behave as the simulated platform's: a
// block past LastBlock or a null buffer is EFI_INVALID_PARAMETER, and the
// whole buffer is written.
struct FuzzBlockIo {
  EFI_PEI_RECOVERY_BLOCK_IO_PPI Ppi;  // first: This leads to the instance
  EFI_PEI_PPI_DESCRIPTOR Descriptor;
  const DeviceImage *Image;

  explicit FuzzBlockIo(const DeviceImage &Source);
};

// Sets the recovery path and installs Io (whose notifications run).
void InstallDevice(HostPei::SimulatedPeiPlatform &Platform, FuzzBlockIo &Io);

// A zeroed context whose row 0 is device 0 of Io, as a discovery pass
// would have recorded it.
std::unique_ptr<RecoveryContext> MakeBareContext(
    HostPei::SimulatedPeiPlatform &Platform, FuzzBlockIo &Io);

}  // namespace Fuzz

#endif  // FUZZ_FUZZ_PLATFORM_H_
