// Basic PI/UEFI types shared by both firmware images, their host builds and
// the host tools. Written for this project from the published calling
// conventions and layouts: UINTN and pointers are the width of the target,
// 64-bit members are 8-byte aligned as the UEFI IA32 and X64 bindings
// require (Linux -m32 would otherwise align them to 4).
#ifndef EFI_BASE_H_
#define EFI_BASE_H_

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UINT8;
typedef int8_t INT8;
typedef uint16_t UINT16;
typedef int16_t INT16;
typedef uint32_t UINT32;
typedef int32_t INT32;
typedef uint64_t UINT64 __attribute__((aligned(8)));
typedef int64_t INT64 __attribute__((aligned(8)));
typedef uintptr_t UINTN;
typedef intptr_t INTN;
typedef UINT8 BOOLEAN;
typedef char16_t CHAR16;
typedef char CHAR8;
typedef void VOID;

static_assert(alignof(UINT64) == 8, "64-bit members must be 8-byte aligned");
static_assert(sizeof(UINTN) == sizeof(void *), "UINTN is the pointer width");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

// EFIAPI: cdecl on IA32; the Microsoft x64 convention on X64. The firmware
// targets (*-windows) use it by default; host x86-64 builds ask for it.
#if defined(__x86_64__) && !defined(_WIN32)
#define EFIAPI __attribute__((ms_abi))
#else
#define EFIAPI
#endif

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_LBA;

#define EFI_MAX_BIT ((UINTN)1 << (sizeof(UINTN) * 8 - 1))
#define EFI_ENCODE_ERROR(Code) ((EFI_STATUS)(EFI_MAX_BIT | (Code)))
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR EFI_ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER EFI_ENCODE_ERROR(2)
#define EFI_UNSUPPORTED EFI_ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE EFI_ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL EFI_ENCODE_ERROR(5)
#define EFI_NOT_READY EFI_ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR EFI_ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED EFI_ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES EFI_ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED EFI_ENCODE_ERROR(10)
#define EFI_VOLUME_FULL EFI_ENCODE_ERROR(11)
#define EFI_NO_MEDIA EFI_ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED EFI_ENCODE_ERROR(13)
#define EFI_NOT_FOUND EFI_ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED EFI_ENCODE_ERROR(15)
#define EFI_ALREADY_STARTED EFI_ENCODE_ERROR(20)
#define EFI_ABORTED EFI_ENCODE_ERROR(21)
#define EFI_INCOMPATIBLE_VERSION EFI_ENCODE_ERROR(25)

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "EFI_TABLE_HEADER is 24 bytes");

typedef enum {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiMaxMemoryType = 0x7FFFFFFF
} EFI_MEMORY_TYPE;
static_assert(sizeof(EFI_MEMORY_TYPE) == 4, "enums are 32 bits");

#endif  // EFI_BASE_H_
