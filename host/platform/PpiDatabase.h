// The PEI Foundation's PPI database as the recovery module relies on it,
// over 64-bit addresses rather than host pointers, so that the 32-bit
// simulated PEI platform and the 64-bit emulator (whose addresses are guest
// addresses) share it:
//   - instances of one GUID are numbered 0, 1, 2 ... in the order of their
//     installation, without gaps;
//   - a notification registered for a GUID is due on each later
//     installation of that GUID (the caller dispatches it);
//   - failures can be injected into installation, registration and the
//     location of chosen instance numbers, and every location is logged.
// Descriptor lists are walked by the callers, which know their ABI; the
// flag tests they need are here.
#ifndef HOST_PLATFORM_PPI_DATABASE_H_
#define HOST_PLATFORM_PPI_DATABASE_H_

#include <stdint.h>

#include <vector>

#include "efi/Base.h"
#include "host/platform/Status.h"

namespace HostPlatform {

// Descriptor flags of the PI specification.
constexpr uint32_t kPpiDescriptorPpi = 0x00000010u;
constexpr uint32_t kPpiDescriptorNotifyCallback = 0x00000020u;
constexpr uint32_t kPpiDescriptorNotifyDispatch = 0x00000040u;
constexpr uint32_t kPpiDescriptorNotifyTypes = 0x00000060u;
constexpr uint32_t kPpiDescriptorTerminateList = 0x80000000u;

inline bool IsPpiDescriptor(uint64_t Flags) {
  return (Flags & kPpiDescriptorPpi) != 0;
}
inline bool IsNotifyDescriptor(uint64_t Flags) {
  return (Flags & kPpiDescriptorNotifyTypes) != 0;
}
inline bool IsLastDescriptor(uint64_t Flags) {
  return (Flags & kPpiDescriptorTerminateList) != 0;
}

// A descriptor list longer than this is refused as unterminated.
constexpr uint32_t kMaxDescriptorList = 64;

bool GuidEquals(const EFI_GUID &A, const EFI_GUID &B);

struct InstalledPpi {
  EFI_GUID Guid;
  uint64_t Descriptor;  // address of the EFI_PEI_PPI_DESCRIPTOR
  uint64_t Ppi;         // address of the PPI
};

struct Notification {
  EFI_GUID Guid;
  uint64_t Descriptor;  // address of the EFI_PEI_NOTIFY_DESCRIPTOR
  uint64_t Function;    // address of the notify function
};

// A notification due: its registration and the installed PPI it is for.
struct DueNotification {
  Notification Notify;
  InstalledPpi Installed;
};

struct LocateCall {
  EFI_GUID Guid;
  uint64_t Instance;
  Status Result;
};

class PpiDatabase {
 public:
  // Installs one PPI and appends to Due every notification registered for
  // its GUID, in registration order. With an injected install failure
  // nothing is installed and that status is returned.
  Status Install(const EFI_GUID &Guid, uint64_t Descriptor, uint64_t Ppi,
                 std::vector<DueNotification> *Due);
  // Instance Instance of Guid; NotFound for the first number without one
  // (and every higher number), or the status injected for that number.
  // Every call is logged.
  Status Locate(const EFI_GUID &Guid, uint64_t Instance, InstalledPpi *Found);
  // Registers a notification. An injected notify status is returned
  // instead; when that is an error nothing is registered.
  Status RegisterNotify(const EFI_GUID &Guid, uint64_t Descriptor,
                        uint64_t Function);

  // Injected failures.
  void SetInstallFailure(Status S) { InstallFailure_ = S; }
  void SetNotifyStatus(Status S) { NotifyStatus_ = S; }
  void FailLocate(const EFI_GUID &Guid, uint64_t Instance,
                  Status S = Status::NotFound);

  // Observations.
  const std::vector<InstalledPpi> &Installed() const { return Installed_; }
  const std::vector<Notification> &Notifications() const { return Notifications_; }
  const std::vector<LocateCall> &LocateCalls() const { return LocateCalls_; }
  uint64_t InstanceCount(const EFI_GUID &Guid) const;

 private:
  struct LocateFault {
    EFI_GUID Guid;
    uint64_t Instance;
    Status Result;
  };

  std::vector<InstalledPpi> Installed_;
  std::vector<Notification> Notifications_;
  std::vector<LocateCall> LocateCalls_;
  std::vector<LocateFault> LocateFaults_;
  Status InstallFailure_ = Status::Success;
  Status NotifyStatus_ = Status::Success;
};

}  // namespace HostPlatform

#endif  // HOST_PLATFORM_PPI_DATABASE_H_
