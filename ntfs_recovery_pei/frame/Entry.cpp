// Placeholder entry so that the image links; replaced by the real entry.
#include "ntfs_recovery_pei/frame/Frame.h"

RecoveryContext *gRecoveryContext;

extern "C" EFI_STATUS EFIAPI RecoveryModuleEntry(
    EFI_PEI_FILE_HANDLE FileHandle, const EFI_PEI_SERVICES **PeiServices) {
  volatile UINT64 a = 1000, b = 7;
  volatile INT64 c = -1000, d = 7;
  return (EFI_STATUS)(a / b + a % b + c / d + c % d);
}
