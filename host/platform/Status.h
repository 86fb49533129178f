// Statuses of the simulated platform without the width of an ABI. The same
// device and PPI-database code serves the 32-bit simulated PEI platform and
// the 64-bit emulator, whose EFI_STATUS values differ in their error bit.
#ifndef HOST_PLATFORM_STATUS_H_
#define HOST_PLATFORM_STATUS_H_

#include <stdint.h>

namespace HostPlatform {

// 0 is success; any other value is the number of an EFI error code
// (EFI_DEVICE_ERROR is 7). Values not named here may be used as well.
enum class Status : uint32_t {
  Success = 0,
  LoadError = 1,
  InvalidParameter = 2,
  Unsupported = 3,
  BadBufferSize = 4,
  BufferTooSmall = 5,
  NotReady = 6,
  DeviceError = 7,
  WriteProtected = 8,
  OutOfResources = 9,
  VolumeCorrupted = 10,
  VolumeFull = 11,
  NoMedia = 12,
  MediaChanged = 13,
  NotFound = 14,
  AccessDenied = 15,
};

// The EFI_STATUS of an ABI whose UINTN is Uintn: the error code with the
// top bit of Uintn set, or 0.
template <typename Uintn>
constexpr Uintn ToEfiStatus(Status S) {
  return S == Status::Success
             ? Uintn(0)
             : Uintn(Uintn(1) << (sizeof(Uintn) * 8 - 1)) |
                   Uintn(static_cast<uint32_t>(S));
}

// The Status of an EFI_STATUS of an ABI whose UINTN is Uintn: the error
// code without its top bit. Warnings (top bit clear, non-zero) are kept as
// their number too; the callers here only produce errors or success.
template <typename Uintn>
constexpr Status FromEfiStatus(Uintn Value) {
  return static_cast<Status>(static_cast<uint32_t>(
      Value & ~(Uintn(1) << (sizeof(Uintn) * 8 - 1))));
}

inline bool IsError(Status S) { return S != Status::Success; }

}  // namespace HostPlatform

#endif  // HOST_PLATFORM_STATUS_H_
