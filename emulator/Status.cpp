// Status names for messages; see Status.h.
#include "emulator/Status.h"

#include <cstdio>

namespace emulator {

std::string StatusName(uint64_t Status, unsigned PointerSize) {
  static const char *const Errors[] = {nullptr,
                                       "EFI_LOAD_ERROR",
                                       "EFI_INVALID_PARAMETER",
                                       "EFI_UNSUPPORTED",
                                       "EFI_BAD_BUFFER_SIZE",
                                       "EFI_BUFFER_TOO_SMALL",
                                       "EFI_NOT_READY",
                                       "EFI_DEVICE_ERROR",
                                       "EFI_WRITE_PROTECTED",
                                       "EFI_OUT_OF_RESOURCES",
                                       "EFI_VOLUME_CORRUPTED",
                                       "EFI_VOLUME_FULL",
                                       "EFI_NO_MEDIA",
                                       "EFI_MEDIA_CHANGED",
                                       "EFI_NOT_FOUND",
                                       "EFI_ACCESS_DENIED",
                                       "EFI_NO_RESPONSE",
                                       "EFI_NO_MAPPING",
                                       "EFI_TIMEOUT",
                                       "EFI_NOT_STARTED",
                                       "EFI_ALREADY_STARTED",
                                       "EFI_ABORTED",
                                       "EFI_ICMP_ERROR",
                                       "EFI_TFTP_ERROR",
                                       "EFI_PROTOCOL_ERROR",
                                       "EFI_INCOMPATIBLE_VERSION"};
  // A 32-bit status has its error bit at bit 31; the host's own at bit 63.
  const uint64_t High = PointerSize == 4 && (Status >> 32) == 0
                            ? 0x80000000ull
                            : 0x8000000000000000ull;
  if (Status == 0) return "EFI_SUCCESS";
  if ((Status & High) != 0) {
    const uint64_t Code = Status & ~High;
    if (Code < sizeof(Errors) / sizeof(Errors[0]) && Errors[Code])
      return Errors[Code];
  }
  char B[40];
  std::snprintf(B, sizeof B, "EFI_STATUS 0x%llx",
                static_cast<unsigned long long>(Status));
  return B;
}

}  // namespace emulator
