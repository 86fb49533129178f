// DXE-phase interfaces: the UEFI system table, boot services, configuration
// table, the loaded image protocol and the PI hand-off block (HOB) headers.
// Written for this project from the published layouts. Only the services the
// record publisher calls have real prototypes; every other slot keeps its
// place so that the table offsets are those of the UEFI specification.
#ifndef EFI_DXE_H_
#define EFI_DXE_H_

#include "efi/Base.h"

typedef UINTN EFI_TPL;
typedef VOID *EFI_UNUSED_SERVICE;

// How InstallProtocolInterface receives an interface; only the native form
// exists.
typedef enum { EFI_NATIVE_INTERFACE } EFI_INTERFACE_TYPE;
static_assert(sizeof(EFI_INTERFACE_TYPE) == 4, "enums are 32 bits");

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType,
                                              UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(
    EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType,
    VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle,
                                                EFI_GUID *Protocol,
                                                VOID **Interface);

// The boot services table: every slot in the UEFI order.
struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // Task priority
  EFI_UNUSED_SERVICE RaiseTPL;
  EFI_UNUSED_SERVICE RestoreTPL;
  // Memory
  EFI_UNUSED_SERVICE AllocatePages;
  EFI_UNUSED_SERVICE FreePages;
  EFI_UNUSED_SERVICE GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_UNUSED_SERVICE FreePool;
  // Events and timers
  EFI_UNUSED_SERVICE CreateEvent;
  EFI_UNUSED_SERVICE SetTimer;
  EFI_UNUSED_SERVICE WaitForEvent;
  EFI_UNUSED_SERVICE SignalEvent;
  EFI_UNUSED_SERVICE CloseEvent;
  EFI_UNUSED_SERVICE CheckEvent;
  // Protocol handlers
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_UNUSED_SERVICE ReinstallProtocolInterface;
  EFI_UNUSED_SERVICE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_UNUSED_SERVICE RegisterProtocolNotify;
  EFI_UNUSED_SERVICE LocateHandle;
  EFI_UNUSED_SERVICE LocateDevicePath;
  EFI_UNUSED_SERVICE InstallConfigurationTable;
  // Images
  EFI_UNUSED_SERVICE LoadImage;
  EFI_UNUSED_SERVICE StartImage;
  EFI_UNUSED_SERVICE Exit;
  EFI_UNUSED_SERVICE UnloadImage;
  EFI_UNUSED_SERVICE ExitBootServices;
  // Miscellaneous
  EFI_UNUSED_SERVICE GetNextMonotonicCount;
  EFI_UNUSED_SERVICE Stall;
  EFI_UNUSED_SERVICE SetWatchdogTimer;
  // Driver support
  EFI_UNUSED_SERVICE ConnectController;
  EFI_UNUSED_SERVICE DisconnectController;
  // Open and close protocol
  EFI_UNUSED_SERVICE OpenProtocol;
  EFI_UNUSED_SERVICE CloseProtocol;
  EFI_UNUSED_SERVICE OpenProtocolInformation;
  // Library
  EFI_UNUSED_SERVICE ProtocolsPerHandle;
  EFI_UNUSED_SERVICE LocateHandleBuffer;
  EFI_UNUSED_SERVICE LocateProtocol;
  EFI_UNUSED_SERVICE InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE UninstallMultipleProtocolInterfaces;
  // CRC, memory and events
  EFI_UNUSED_SERVICE CalculateCrc32;
  EFI_UNUSED_SERVICE CopyMem;
  EFI_UNUSED_SERVICE SetMem;
  EFI_UNUSED_SERVICE CreateEventEx;
};

// The runtime services table; the driver only records its address.
struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE GetTime;
  EFI_UNUSED_SERVICE SetTime;
  EFI_UNUSED_SERVICE GetWakeupTime;
  EFI_UNUSED_SERVICE SetWakeupTime;
  EFI_UNUSED_SERVICE SetVirtualAddressMap;
  EFI_UNUSED_SERVICE ConvertPointer;
  EFI_UNUSED_SERVICE GetVariable;
  EFI_UNUSED_SERVICE GetNextVariableName;
  EFI_UNUSED_SERVICE SetVariable;
  EFI_UNUSED_SERVICE GetNextHighMonotonicCount;
  EFI_UNUSED_SERVICE ResetSystem;
  EFI_UNUSED_SERVICE UpdateCapsule;
  EFI_UNUSED_SERVICE QueryCapsuleCapabilities;
  EFI_UNUSED_SERVICE QueryVariableInfo;
};

// One entry of the system table's configuration table.
struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};

#define EFI_SYSTEM_TABLE_SIGNATURE 0x5453595320494249ull  // "IBI SYST"
#define EFI_BOOT_SERVICES_SIGNATURE 0x56524553544f4f42ull  // "BOOTSERV"
#define EFI_RUNTIME_SERVICES_SIGNATURE 0x56524553544e5552ull  // "RUNTSERV"

// System table revisions: major in the high 16 bits, minor in the low 16
// bits (2.70 is 2 and 70).
#define EFI_SPECIFICATION_REVISION(Major, Minor) \
  ((((UINT32)(Major)) << 16) | ((UINT32)(Minor)))

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);

// Loaded image protocol, 5B1B31A1-9562-11D2-8E3F-00A0C969723B.
#define EFI_LOADED_IMAGE_PROTOCOL_GUID \
  {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}

#define EFI_LOADED_IMAGE_PROTOCOL_REVISION 0x1000

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  VOID *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
};

// The HOB list as a configuration table, 7739F24C-93D7-11D4-9A3A-0090273FC14D.
#define EFI_HOB_LIST_GUID \
  {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}}

// HOB types.
#define EFI_HOB_TYPE_HANDOFF 0x0001
#define EFI_HOB_TYPE_MEMORY_ALLOCATION 0x0002
#define EFI_HOB_TYPE_RESOURCE_DESCRIPTOR 0x0003
#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_FV 0x0005
#define EFI_HOB_TYPE_CPU 0x0006
#define EFI_HOB_TYPE_MEMORY_POOL 0x0007
#define EFI_HOB_TYPE_UNUSED 0xFFFE
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

// The header every HOB begins with. HobLength counts the bytes from this
// HOB's start to the next HOB's start.
struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};

// A GUID extension HOB: the header and the GUID that names the producer's
// data, which follows.
struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};

static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "PI layout");
static_assert(offsetof(EFI_HOB_GENERIC_HEADER, HobLength) == 2, "PI layout");
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24, "PI layout");
static_assert(offsetof(EFI_HOB_GUID_TYPE, Name) == 8, "PI layout");

#if defined(__x86_64__)
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24, "X64 layout");
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16,
              "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareVendor) == 24, "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 32,
              "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, ConsoleInHandle) == 40, "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, StdErr) == 80, "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88, "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96, "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104,
              "X64 layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112,
              "X64 layout");
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120, "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24, "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64, "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128,
              "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152,
              "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 192,
              "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280, "X64 layout");
static_assert(offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344,
              "X64 layout");
static_assert(sizeof(EFI_BOOT_SERVICES) == 376, "X64 layout");
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136, "X64 layout");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ParentHandle) == 8,
              "X64 layout");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48,
              "X64 layout");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64,
              "X64 layout");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80,
              "X64 layout");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload) == 88,
              "X64 layout");
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96, "X64 layout");
#endif

#endif  // EFI_DXE_H_
