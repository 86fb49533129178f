// The recovery module frame: entry point, discovery pass, recovery services
// and the small helpers that the whole module uses.
#ifndef NTFS_RECOVERY_PEI_FRAME_H_
#define NTFS_RECOVERY_PEI_FRAME_H_

#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

extern "C" EFI_STATUS EFIAPI RecoveryModuleEntry(
    EFI_PEI_FILE_HANDLE FileHandle, const EFI_PEI_SERVICES **PeiServices);

// Discovery (entry point and notify function).
EFI_STATUS DiscoverDevicesAndVolumes(RecoveryContext *Context);
EFI_STATUS EFIAPI OnRecoveryBlockIoInstalled(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
    VOID *Ppi);

// Members of the published device recovery module PPI.
EFI_STATUS EFIAPI GetNumberRecoveryCapsules(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN *NumberRecoveryCapsules);
EFI_STATUS EFIAPI GetRecoveryCapsuleInfo(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN CapsuleInstance, UINTN *Size, EFI_GUID *CapsuleType);
EFI_STATUS EFIAPI LoadRecoveryCapsule(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN CapsuleInstance, VOID *Buffer);

// The PEI services pointer kept 4 bytes below the IDT base. ReadIdtBase is
// the one CPU access: SIDT in the firmware, a simulated IDT on the host.
UINT32 ReadIdtBase();
EFI_PEI_SERVICES **ReadPeiServicesFromIdt();

#if !defined(FIRMWARE_BUILD)
// Host builds: the IDT base that the simulated platform sets up, with the
// services pointer stored in the four bytes below it.
extern UINT32 gSimulatedIdtBase;
#endif

// GUIDs of the PPIs the module publishes, follows and uses.
extern const EFI_GUID DeviceRecoveryModulePpiGuid;
extern const EFI_GUID RecoveryBlockIoPpiGuid;
extern const EFI_GUID PcdPpiGuid;

// PCD_PPI instance 0, or null when LocatePpi fails.
PCD_PPI *LocatePcdPpi();

BOOLEAN GuidsEqual(const EFI_GUID *Guid1, const EFI_GUID *Guid2);
INTN CompareBytes(const VOID *Buffer1, const VOID *Buffer2, UINT32 Count);
VOID *MoveBytes(VOID *Destination, const VOID *Source, UINT32 Count);
VOID *FillBytes(VOID *Buffer, UINT8 Value, UINT32 Count);

#endif  // NTFS_RECOVERY_PEI_FRAME_H_
