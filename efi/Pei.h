// PEI-phase interfaces: the PEI services table, PPI and notify descriptors,
// the recovery block I/O PPI, the device recovery module PPI and the PCD PPI.
// Only the members the recovery module calls are given real prototypes; the
// rest keep their slots so that the table offsets are the PI ones.
#ifndef EFI_PEI_H_
#define EFI_PEI_H_

#include "efi/Base.h"

typedef VOID *EFI_PEI_FILE_HANDLE;
typedef UINT64 EFI_PEI_LBA;

struct EFI_PEI_SERVICES;
struct EFI_PEI_PPI_DESCRIPTOR;
struct EFI_PEI_NOTIFY_DESCRIPTOR;

#define EFI_PEI_PPI_DESCRIPTOR_PPI 0x00000010u
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK 0x00000020u
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH 0x00000040u
#define EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST 0x80000000u

typedef EFI_STATUS(EFIAPI *EFI_PEIM_NOTIFY_ENTRY_POINT)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
    VOID *Ppi);

struct EFI_PEI_PPI_DESCRIPTOR {
  UINTN Flags;
  EFI_GUID *Guid;
  VOID *Ppi;
};

struct EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};

typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PPI)(
    const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_PPI_DESCRIPTOR *PpiList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_LOCATE_PPI)(
    const EFI_PEI_SERVICES **PeiServices, const EFI_GUID *Guid, UINTN Instance,
    EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor, VOID **Ppi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_NOTIFY_PPI)(
    const EFI_PEI_SERVICES **PeiServices,
    const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_PAGES)(
    const EFI_PEI_SERVICES **PeiServices, EFI_MEMORY_TYPE MemoryType,
    UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory);
typedef VOID(EFIAPI *EFI_PEI_COPY_MEM)(VOID *Destination, VOID *Source,
                                       UINTN Length);
typedef VOID(EFIAPI *EFI_PEI_SET_MEM)(VOID *Buffer, UINTN Size, UINT8 Value);
typedef VOID *EFI_PEI_UNUSED_SERVICE;

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_PEI_INSTALL_PPI InstallPpi;
  EFI_PEI_UNUSED_SERVICE ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_NOTIFY_PPI NotifyPpi;
  EFI_PEI_UNUSED_SERVICE GetBootMode;
  EFI_PEI_UNUSED_SERVICE SetBootMode;
  EFI_PEI_UNUSED_SERVICE GetHobList;
  EFI_PEI_UNUSED_SERVICE CreateHob;
  EFI_PEI_UNUSED_SERVICE FfsFindNextVolume;
  EFI_PEI_UNUSED_SERVICE FfsFindNextFile;
  EFI_PEI_UNUSED_SERVICE FfsFindSectionData;
  EFI_PEI_UNUSED_SERVICE InstallPeiMemory;
  EFI_PEI_ALLOCATE_PAGES AllocatePages;
  EFI_PEI_UNUSED_SERVICE AllocatePool;
  EFI_PEI_COPY_MEM CopyMem;
  EFI_PEI_SET_MEM SetMem;
  EFI_PEI_UNUSED_SERVICE ReportStatusCode;
  EFI_PEI_UNUSED_SERVICE ResetSystem;
  EFI_PEI_UNUSED_SERVICE CpuIo;
  EFI_PEI_UNUSED_SERVICE PciCfg;
  EFI_PEI_UNUSED_SERVICE FfsFindFileByName;
  EFI_PEI_UNUSED_SERVICE FfsGetFileInfo;
  EFI_PEI_UNUSED_SERVICE FfsGetVolumeInfo;
  EFI_PEI_UNUSED_SERVICE RegisterForShadow;
  EFI_PEI_UNUSED_SERVICE FindSectionData3;
  EFI_PEI_UNUSED_SERVICE FfsGetFileInfo2;
  EFI_PEI_UNUSED_SERVICE ResetSystem2;
  EFI_PEI_UNUSED_SERVICE FreePages;
};

// Recovery block I/O PPI, 695D8AA1-42EE-4C46-805C-6EA6BCE799E3.
#define EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID \
  {0x695D8AA1, 0x42EE, 0x4C46, {0x80, 0x5C, 0x6E, 0xA6, 0xBC, 0xE7, 0x99, 0xE3}}

typedef UINT32 EFI_PEI_BLOCK_DEVICE_TYPE;

struct EFI_PEI_BLOCK_IO_MEDIA {
  EFI_PEI_BLOCK_DEVICE_TYPE DeviceType;
  BOOLEAN MediaPresent;
  UINTN LastBlock;
  UINTN BlockSize;
};

struct EFI_PEI_RECOVERY_BLOCK_IO_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_NUMBER_BLOCK_DEVICES)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
    UINTN *NumberBlockDevices);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_DEVICE_MEDIA_INFORMATION)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
    UINTN DeviceIndex, EFI_PEI_BLOCK_IO_MEDIA *MediaInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_READ_BLOCKS)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
    UINTN DeviceIndex, EFI_PEI_LBA StartLBA, UINTN BufferSize, VOID *Buffer);

struct EFI_PEI_RECOVERY_BLOCK_IO_PPI {
  EFI_PEI_GET_NUMBER_BLOCK_DEVICES GetNumberOfBlockDevices;
  EFI_PEI_GET_DEVICE_MEDIA_INFORMATION GetBlockDeviceMediaInfo;
  EFI_PEI_READ_BLOCKS ReadBlocks;
};

// Device recovery module PPI, 0DE2CE25-446A-45A7-BFC9-37DA26344B37.
#define EFI_PEI_DEVICE_RECOVERY_MODULE_PPI_GUID \
  {0x0DE2CE25, 0x446A, 0x45A7, {0xBF, 0xC9, 0x37, 0xDA, 0x26, 0x34, 0x4B, 0x37}}

struct EFI_PEI_DEVICE_RECOVERY_MODULE_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_DEVICE_GET_NUMBER_RECOVERY_CAPSULE)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN *NumberRecoveryCapsules);
typedef EFI_STATUS(EFIAPI *EFI_PEI_DEVICE_GET_RECOVERY_CAPSULE_INFO)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN CapsuleInstance, UINTN *Size, EFI_GUID *CapsuleType);
typedef EFI_STATUS(EFIAPI *EFI_PEI_DEVICE_LOAD_RECOVERY_CAPSULE)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *This,
    UINTN CapsuleInstance, VOID *Buffer);

struct EFI_PEI_DEVICE_RECOVERY_MODULE_PPI {
  EFI_PEI_DEVICE_GET_NUMBER_RECOVERY_CAPSULE GetNumberRecoveryCapsules;
  EFI_PEI_DEVICE_GET_RECOVERY_CAPSULE_INFO GetRecoveryCapsuleInfo;
  EFI_PEI_DEVICE_LOAD_RECOVERY_CAPSULE LoadRecoveryCapsule;
};

// Platform configuration database PPI, 06E81C58-4AD7-44BC-8390-F10265F72480.
// The module calls GetPtr only; the other slots keep the usual order.
#define PCD_PPI_GUID \
  {0x06E81C58, 0x4AD7, 0x44BC, {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}}

typedef VOID *(EFIAPI *PCD_PPI_GET_POINTER)(UINTN TokenNumber);
typedef VOID *PCD_PPI_UNUSED_MEMBER;

struct PCD_PPI {
  PCD_PPI_UNUSED_MEMBER SetSku;
  PCD_PPI_UNUSED_MEMBER Get8;
  PCD_PPI_UNUSED_MEMBER Get16;
  PCD_PPI_UNUSED_MEMBER Get32;
  PCD_PPI_UNUSED_MEMBER Get64;
  PCD_PPI_GET_POINTER GetPtr;
  PCD_PPI_UNUSED_MEMBER GetBool;
  PCD_PPI_UNUSED_MEMBER GetSize;
};

// Token of the recovery file's path in the PCD database.
#define RECOVERY_PATH_PCD_TOKEN 3

#if defined(__i386__)
static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == 12, "IA32 layout");
static_assert(sizeof(EFI_PEI_BLOCK_IO_MEDIA) == 16, "IA32 layout");
static_assert(offsetof(EFI_PEI_SERVICES, InstallPpi) == 24, "IA32 layout");
static_assert(offsetof(EFI_PEI_SERVICES, AllocatePages) == 72, "IA32 layout");
static_assert(offsetof(EFI_PEI_SERVICES, SetMem) == 84, "IA32 layout");
static_assert(offsetof(PCD_PPI, GetPtr) == 20, "IA32 layout");
#endif

#endif  // EFI_PEI_H_
