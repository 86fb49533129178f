// The protocol database of a simulated DXE core: interfaces keyed by
// (handle, protocol GUID). Handles and interfaces are plain 64-bit values,
// so the same database serves the native host tests (host pointers) and the
// emulator (guest addresses).
//
// The rules are those of the boot services: installing on handle 0 makes a
// new handle; a handle carries at most one interface of each protocol, and a
// second installation of the same protocol on it is refused.
#ifndef HOST_DXE_PROTOCOL_DATABASE_H_
#define HOST_DXE_PROTOCOL_DATABASE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "efi/Base.h"

namespace host_dxe {

// Outcome of a database operation, independent of the width of EFI_STATUS.
enum class ProtocolStatus {
  Success,
  InvalidParameter,  // unknown handle, or the protocol is already on it
  Unsupported,       // the handle does not carry the protocol
};

// The EFI_STATUS value of Status for a caller whose UINTN has Bits (32 or
// 64) bits: EFI_SUCCESS, EFI_INVALID_PARAMETER or EFI_UNSUPPORTED.
uint64_t EfiStatusOf(ProtocolStatus Status, unsigned Bits);

struct ProtocolEntry {
  uint64_t Handle;
  EFI_GUID Protocol;
  uint64_t Interface;
};

class ProtocolDatabase {
 public:
  // New handles are FirstHandle, FirstHandle + HandleStep, ...; neither may
  // be 0.
  explicit ProtocolDatabase(uint64_t FirstHandle = 0x1000,
                            uint64_t HandleStep = 0x10);

  // Makes a handle that carries nothing yet.
  uint64_t CreateHandle();

  // True when Handle was made by this database.
  bool IsHandle(uint64_t Handle) const;

  // Installs Interface as Protocol on *Handle. When *Handle is 0 a new handle
  // is made and stored in *Handle. InvalidParameter for a handle this
  // database did not make, or when the handle already carries Protocol (the
  // earlier interface stays).
  ProtocolStatus Install(uint64_t *Handle, const EFI_GUID &Protocol,
                         uint64_t Interface);

  // The interface of Protocol on Handle: InvalidParameter for an unknown
  // handle, Unsupported when the handle does not carry the protocol.
  ProtocolStatus Lookup(uint64_t Handle, const EFI_GUID &Protocol,
                        uint64_t *Interface) const;

  // Every installed interface, in order of installation.
  const std::vector<ProtocolEntry> &Entries() const { return Entries_; }

 private:
  uint64_t NextHandle_;
  uint64_t HandleStep_;
  std::vector<uint64_t> Handles_;
  std::vector<ProtocolEntry> Entries_;
};

}  // namespace host_dxe

#endif  // HOST_DXE_PROTOCOL_DATABASE_H_
