// A simulated PEI Foundation for the 32-bit host tests of NtfsRecoveryPei:
// the EFI_PEI_SERVICES table (AllocatePages, SetMem, CopyMem, InstallPpi,
// NotifyPpi with dispatch of notify functions, LocatePpi), the IDT base with
// the services pointer four bytes below it, recovery block I/O PPI
// instances over simulated devices, and a PCD PPI whose GetPtr(3) returns
// the recovery path.
//
// Typical use:
//   SimulatedPeiPlatform Platform;
//   Platform.AddBlockIoPpi({BlockDevice::OpenImage(Path)});
//   Platform.SetRecoveryPath(u"EFI\\recovery.cap");
//   ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
//   RecoveryContext *Context = Platform.Context();
//
// One platform is live at a time: its constructor points the module's
// simulated IDT at it and clears gRecoveryContext, as a fresh load of the
// module would find them.
#ifndef HOST_PEI_SIMULATED_PEI_PLATFORM_H_
#define HOST_PEI_SIMULATED_PEI_PLATFORM_H_

#include <stdint.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "efi/Pei.h"
#include "host/platform/BlockDevice.h"
#include "host/platform/PpiDatabase.h"
#include "host/platform/RecoveryBlockIo.h"
#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

namespace HostPei {

using HostPlatform::BlockDevice;
using HostPlatform::BlockDevicePtr;

struct PeiPlatformOptions {
  bool InstallPcdPpi = true;  // false: LocatePpi finds no PCD PPI
};

// One AllocatePages call that succeeded.
struct PageAllocation {
  EFI_MEMORY_TYPE MemoryType;
  UINTN Pages;
  EFI_PHYSICAL_ADDRESS Address;
};

class SimulatedPeiPlatform {
 public:
  explicit SimulatedPeiPlatform(PeiPlatformOptions Options = {});
  ~SimulatedPeiPlatform();
  SimulatedPeiPlatform(const SimulatedPeiPlatform &) = delete;
  SimulatedPeiPlatform &operator=(const SimulatedPeiPlatform &) = delete;

  // Installs one recovery block I/O PPI instance over Devices (indexes 0,
  // 1, ... in this order) and dispatches the notifications registered for
  // that PPI. Returns the instance's number.
  size_t AddBlockIoPpi(std::vector<BlockDevicePtr> Devices);
  // The behaviour behind instance Instance (its faults and observations).
  HostPlatform::RecoveryBlockIo &BlockIo(size_t Instance);
  EFI_PEI_RECOVERY_BLOCK_IO_PPI *BlockIoPpi(size_t Instance);
  size_t BlockIoCount() const { return BlockIos_.size(); }
  // The reads of every instance, in order; read-count faults.
  HostPlatform::ReadTrace &Trace() { return *Trace_; }

  // The path GetPtr(3) returns, NUL-terminated.
  void SetRecoveryPath(const std::u16string &Path);
  // GetPtr(3) returns a null pointer.
  void ClearRecoveryPath();

  // Calls the module's entry point with this platform's services.
  EFI_STATUS RunEntryPoint();

  // The context: the one enclosing the installed recovery PPI, else
  // gRecoveryContext, else null.
  RecoveryContext *Context();
  // The installed device recovery module PPI, or null.
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *RecoveryPpi();
  EFI_PEI_SERVICES **Services() { return &ServicesPointer_; }
  HostPlatform::PpiDatabase &Database() { return Database_; }

  // AllocatePages faults: every call fails, or only the Nth (from 1).
  void FailAllocatePages(bool Fail) { FailAllPages_ = Fail; }
  void FailAllocationNumber(uint64_t N) { FailAllocationNumber_ = N; }
  // The next successful allocation reports this address instead of real
  // memory (for addresses the module must refuse, such as above 4 GiB).
  void ReportNextAllocationAt(EFI_PHYSICAL_ADDRESS Address) {
    ForcedAddress_ = Address;
    HasForcedAddress_ = true;
  }
  const std::vector<PageAllocation> &Allocations() const { return Allocations_; }
  uint64_t AllocatePagesCalls() const { return AllocateCalls_; }
  uint64_t SetMemCalls() const { return SetMemCalls_; }
  // The services pointer each GetNumberOfBlockDevices call received.
  const std::vector<EFI_PEI_SERVICES **> &DeviceCountServices() const {
    return DeviceCountServices_;
  }
  // Notify functions dispatched so far.
  uint64_t NotifyDispatches() const { return NotifyDispatches_; }

 private:
  struct BlockIoInstance;

  EFI_STATUS Install(const EFI_PEI_PPI_DESCRIPTOR *List);
  EFI_STATUS Notify(const EFI_PEI_NOTIFY_DESCRIPTOR *List);
  EFI_STATUS Locate(const EFI_GUID *Guid, UINTN Instance,
                    EFI_PEI_PPI_DESCRIPTOR **Descriptor, VOID **Ppi);
  EFI_STATUS Allocate(EFI_MEMORY_TYPE Type, UINTN Pages,
                      EFI_PHYSICAL_ADDRESS *Memory);
  void Dispatch(const std::vector<HostPlatform::DueNotification> &Due);

  static SimulatedPeiPlatform *FromServices(const EFI_PEI_SERVICES **Services);
  static BlockIoInstance *FromBlockIo(EFI_PEI_RECOVERY_BLOCK_IO_PPI *This);

  // Services table entries.
  static EFI_STATUS EFIAPI InstallPpiService(const EFI_PEI_SERVICES **S,
                                             const EFI_PEI_PPI_DESCRIPTOR *List);
  static EFI_STATUS EFIAPI LocatePpiService(const EFI_PEI_SERVICES **S,
                                            const EFI_GUID *Guid, UINTN Instance,
                                            EFI_PEI_PPI_DESCRIPTOR **Descriptor,
                                            VOID **Ppi);
  static EFI_STATUS EFIAPI NotifyPpiService(const EFI_PEI_SERVICES **S,
                                            const EFI_PEI_NOTIFY_DESCRIPTOR *List);
  static EFI_STATUS EFIAPI AllocatePagesService(const EFI_PEI_SERVICES **S,
                                                EFI_MEMORY_TYPE Type, UINTN Pages,
                                                EFI_PHYSICAL_ADDRESS *Memory);
  static VOID EFIAPI CopyMemService(VOID *Destination, VOID *Source, UINTN Length);
  static VOID EFIAPI SetMemService(VOID *Buffer, UINTN Size, UINT8 Value);
  // Recovery block I/O PPI entries.
  static EFI_STATUS EFIAPI GetNumberOfBlockDevicesService(
      EFI_PEI_SERVICES **S, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This, UINTN *Number);
  static EFI_STATUS EFIAPI GetBlockDeviceMediaInfoService(
      EFI_PEI_SERVICES **S, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This, UINTN Index,
      EFI_PEI_BLOCK_IO_MEDIA *Media);
  static EFI_STATUS EFIAPI ReadBlocksService(EFI_PEI_SERVICES **S,
                                             EFI_PEI_RECOVERY_BLOCK_IO_PPI *This,
                                             UINTN Index, EFI_PEI_LBA Lba,
                                             UINTN Size, VOID *Buffer);
  // PCD PPI entry.
  static VOID *EFIAPI GetPtrService(UINTN TokenNumber);

  // The services table first, so that the services pointer leads back to
  // the platform.
  struct ServicesBlock {
    EFI_PEI_SERVICES Table;
    SimulatedPeiPlatform *Owner;
  } ServicesBlock_;
  EFI_PEI_SERVICES *ServicesPointer_;
  // The simulated IDT: the services pointer, then the IDT base.
  UINT32 IdtBlock_[2];

  HostPlatform::PpiDatabase Database_;
  std::shared_ptr<HostPlatform::ReadTrace> Trace_;
  std::deque<std::unique_ptr<BlockIoInstance>> BlockIos_;

  PCD_PPI PcdPpi_;
  EFI_PEI_PPI_DESCRIPTOR PcdDescriptor_;
  std::u16string RecoveryPath_;
  bool HasRecoveryPath_ = false;

  std::vector<void *> PageBlocks_;
  std::vector<PageAllocation> Allocations_;
  bool FailAllPages_ = false;
  uint64_t FailAllocationNumber_ = 0;
  uint64_t AllocateCalls_ = 0;
  EFI_PHYSICAL_ADDRESS ForcedAddress_ = 0;
  bool HasForcedAddress_ = false;
  uint64_t SetMemCalls_ = 0;
  uint64_t NotifyDispatches_ = 0;
  std::vector<EFI_PEI_SERVICES **> DeviceCountServices_;
};

// The PPI's status for a status of the device layer.
inline EFI_STATUS ToEfi(HostPlatform::Status S) {
  return HostPlatform::ToEfiStatus<UINTN>(S);
}

}  // namespace HostPei

#endif  // HOST_PEI_SIMULATED_PEI_PLATFORM_H_
