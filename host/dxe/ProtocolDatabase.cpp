// Protocol database keyed by (handle, protocol GUID).
#include "host/dxe/ProtocolDatabase.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace host_dxe {

namespace {

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  return std::memcmp(&A, &B, sizeof(EFI_GUID)) == 0;
}

}  // namespace

uint64_t EfiStatusOf(ProtocolStatus Status, unsigned Bits) {
  const uint64_t ErrorBit = uint64_t{1} << (Bits - 1);
  switch (Status) {
    case ProtocolStatus::Success:
      return 0;
    case ProtocolStatus::InvalidParameter:
      return ErrorBit | 2;
    case ProtocolStatus::Unsupported:
      return ErrorBit | 3;
  }
  return ErrorBit | 2;
}

ProtocolDatabase::ProtocolDatabase(uint64_t FirstHandle, uint64_t HandleStep)
    : NextHandle_(FirstHandle), HandleStep_(HandleStep) {
  if (FirstHandle == 0 || HandleStep == 0) {
    throw std::invalid_argument("handles are never 0");
  }
}

uint64_t ProtocolDatabase::CreateHandle() {
  const uint64_t Handle = NextHandle_;
  NextHandle_ += HandleStep_;
  Handles_.push_back(Handle);
  return Handle;
}

bool ProtocolDatabase::IsHandle(uint64_t Handle) const {
  return Handle != 0 &&
         std::find(Handles_.begin(), Handles_.end(), Handle) != Handles_.end();
}

ProtocolStatus ProtocolDatabase::Install(uint64_t *Handle,
                                         const EFI_GUID &Protocol,
                                         uint64_t Interface) {
  if (Handle == nullptr) {
    return ProtocolStatus::InvalidParameter;
  }
  if (*Handle == 0) {
    *Handle = CreateHandle();
  } else if (!IsHandle(*Handle)) {
    return ProtocolStatus::InvalidParameter;
  }
  uint64_t Existing = 0;
  if (Lookup(*Handle, Protocol, &Existing) == ProtocolStatus::Success) {
    return ProtocolStatus::InvalidParameter;
  }
  Entries_.push_back(ProtocolEntry{*Handle, Protocol, Interface});
  return ProtocolStatus::Success;
}

ProtocolStatus ProtocolDatabase::Lookup(uint64_t Handle,
                                        const EFI_GUID &Protocol,
                                        uint64_t *Interface) const {
  if (!IsHandle(Handle)) {
    return ProtocolStatus::InvalidParameter;
  }
  for (const ProtocolEntry &Entry : Entries_) {
    if (Entry.Handle == Handle && SameGuid(Entry.Protocol, Protocol)) {
      *Interface = Entry.Interface;
      return ProtocolStatus::Success;
    }
  }
  return ProtocolStatus::Unsupported;
}

}  // namespace host_dxe
