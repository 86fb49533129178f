// The simulated PEI Foundation's PPI database.
#include "host/platform/PpiDatabase.h"

#include <string.h>

namespace HostPlatform {

bool GuidEquals(const EFI_GUID &A, const EFI_GUID &B) {
  return memcmp(&A, &B, sizeof(EFI_GUID)) == 0;
}

Status PpiDatabase::Install(const EFI_GUID &Guid, uint64_t Descriptor,
                            uint64_t Ppi, std::vector<DueNotification> *Due) {
  if (IsError(InstallFailure_)) return InstallFailure_;
  const InstalledPpi Entry{Guid, Descriptor, Ppi};
  Installed_.push_back(Entry);
  if (Due != nullptr) {
    for (const Notification &Notify : Notifications_) {
      if (GuidEquals(Notify.Guid, Guid)) Due->push_back({Notify, Entry});
    }
  }
  return Status::Success;
}

Status PpiDatabase::Locate(const EFI_GUID &Guid, uint64_t Instance,
                           InstalledPpi *Found) {
  Status Result = Status::NotFound;
  for (const LocateFault &Fault : LocateFaults_) {
    if (GuidEquals(Fault.Guid, Guid) && Fault.Instance == Instance) {
      Result = Fault.Result;
      LocateCalls_.push_back({Guid, Instance, Result});
      return Result;
    }
  }
  uint64_t Seen = 0;
  for (const InstalledPpi &Entry : Installed_) {
    if (!GuidEquals(Entry.Guid, Guid)) continue;
    if (Seen++ == Instance) {
      if (Found != nullptr) *Found = Entry;
      Result = Status::Success;
      break;
    }
  }
  LocateCalls_.push_back({Guid, Instance, Result});
  return Result;
}

Status PpiDatabase::RegisterNotify(const EFI_GUID &Guid, uint64_t Descriptor,
                                   uint64_t Function) {
  if (IsError(NotifyStatus_)) return NotifyStatus_;
  Notifications_.push_back({Guid, Descriptor, Function});
  return NotifyStatus_;
}

void PpiDatabase::FailLocate(const EFI_GUID &Guid, uint64_t Instance,
                             Status S) {
  LocateFaults_.push_back({Guid, Instance, S});
}

uint64_t PpiDatabase::InstanceCount(const EFI_GUID &Guid) const {
  uint64_t Count = 0;
  for (const InstalledPpi &Entry : Installed_) {
    if (GuidEquals(Entry.Guid, Guid)) ++Count;
  }
  return Count;
}

}  // namespace HostPlatform
