// The module's entry point: allocates and fills the recovery context,
// publishes the device recovery module PPI, runs the first discovery pass
// and follows every later recovery block I/O PPI.
#include "ntfs_recovery_pei/frame/Frame.h"

#define PAGE_SIZE 4096u

RecoveryContext *gRecoveryContext;

/// Entry point of the module, called once by the PEI Foundation. Returns
/// EFI_OUT_OF_RESOURCES when the context cannot be allocated below 4 GiB,
/// the status of InstallPpi when the PPI cannot be published, and otherwise
/// the status of NotifyPpi. Failures of the discovery pass never reach the
/// result.
extern "C" EFI_STATUS EFIAPI RecoveryModuleEntry(
    EFI_PEI_FILE_HANDLE FileHandle, const EFI_PEI_SERVICES **PeiServices) {
  const UINT32 Pages =
      static_cast<UINT32>((sizeof(RecoveryContext) + PAGE_SIZE - 1) / PAGE_SIZE);
  EFI_PHYSICAL_ADDRESS Address = 0;
  EFI_STATUS Status =
      (*PeiServices)->AllocatePages(PeiServices, EfiBootServicesCode, Pages,
                                    &Address);
  if (EFI_ERROR(Status)) return EFI_OUT_OF_RESOURCES;
  // The module addresses 32 bits: pages that do not lie wholly below 4 GiB
  // cannot hold the context.
  const UINT64 Bytes = static_cast<UINT64>(Pages) * PAGE_SIZE;
  if (Address > 0x100000000ull - Bytes) return EFI_OUT_OF_RESOURCES;

  RecoveryContext *Context =
      reinterpret_cast<RecoveryContext *>(static_cast<UINTN>(Address));
  (*PeiServices)->SetMem(Context, sizeof(RecoveryContext), 0);

  Context->Signature = RECOVERY_CONTEXT_SIGNATURE;
  Context->PeiServices = const_cast<EFI_PEI_SERVICES **>(PeiServices);
  Context->RecoveryPpi.GetNumberRecoveryCapsules = GetNumberRecoveryCapsules;
  Context->RecoveryPpi.GetRecoveryCapsuleInfo = GetRecoveryCapsuleInfo;
  Context->RecoveryPpi.LoadRecoveryCapsule = LoadRecoveryCapsule;
  Context->PpiDescriptor.Flags =
      EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  Context->PpiDescriptor.Guid = const_cast<EFI_GUID *>(&DeviceRecoveryModulePpiGuid);
  Context->PpiDescriptor.Ppi = &Context->RecoveryPpi;

  Status = (*PeiServices)->InstallPpi(PeiServices, &Context->PpiDescriptor);
  if (EFI_ERROR(Status)) return Status;

  Context->BlockDeviceCount = 0;
  DiscoverDevicesAndVolumes(Context);

  Context->NotifyDescriptor.Flags = EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK |
                                    EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  Context->NotifyDescriptor.Guid = const_cast<EFI_GUID *>(&RecoveryBlockIoPpiGuid);
  Context->NotifyDescriptor.Notify = OnRecoveryBlockIoInstalled;
  gRecoveryContext = Context;

  return (*PeiServices)->NotifyPpi(PeiServices, &Context->NotifyDescriptor);
}
