// The emulated PEI platform that runs the real NtfsRecoveryPei image: the
// PEI Foundation services the module calls, the PPI database with notify
// dispatch into the guest, one recovery block I/O PPI per disk image, the
// PCD PPI with the recovery path, the IDT whose base has the services
// pointer just below it, and the platform recovery code's three calls.
#ifndef EMULATOR_PEI_PLATFORM_H_
#define EMULATOR_PEI_PLATFORM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "efi/Base.h"
#include "emulator/Machine.h"
#include "emulator/PeImage.h"
#include "emulator/Status.h"
#include "host/platform/PpiDatabase.h"
#include "host/platform/RecoveryBlockIo.h"

namespace emulator {

// A row of the module's block device table, read from guest memory.
struct BlockDeviceRow {
  uint32_t BlockSize;
  uint64_t LastBlock;
  bool IsPartition;
  bool PartitionsScanned;
  uint64_t StartOffset;
  uint32_t ParentIndex;
};

struct VolumeRow {
  uint32_t BlockDeviceIndex;
  uint32_t FileSystemType;
};

struct ExtentRow {
  uint64_t StartBlock;
  uint32_t ByteLength;
};

// The module's tables as its context holds them.
struct ContextView {
  uint32_t Signature = 0;
  uint32_t BlockDeviceCount = 0;
  std::vector<BlockDeviceRow> BlockDevices;  // the rows in use (at most 64)
  uint32_t VolumeCount = 0;
  std::vector<VolumeRow> Volumes;  // the rows in use (at most 64)
  std::vector<ExtentRow> Extents;  // up to the first zero ByteLength
};

// A loaded capsule: host memory that the guest buffer maps.
struct CapsuleBuffer {
  uint64_t GuestAddress = 0;
  const uint8_t *Bytes = nullptr;
  uint64_t Size = 0;
};

class PeiPlatform {
 public:
  // Loads the image (throws std::runtime_error when it cannot).
  PeiPlatform(const PeImage &Image, const std::string &Name);

  Machine &Cpu() { return Cpu_; }
  HostPlatform::PpiDatabase &Ppis() { return Ppis_; }

  // The recovery path that PCD token 3 yields; without one, GetPtr(3) gives
  // null. InstallPcd(false) leaves the PCD PPI out altogether.
  void SetRecoveryPath(const std::u16string &Path);
  void InstallPcd(bool Install) { InstallPcd_ = Install; }
  // Makes AllocatePages fail from its Nth call on (1-based; 0: never).
  void FailAllocatePagesFrom(uint64_t N) { FailAllocFrom_ = N; }

  // Adds a disk behind a recovery block I/O PPI of its own (instance Id:
  // the disk's index). Before the entry point the PPI simply joins the
  // database; after it, its installation dispatches the module's notify
  // function. Returns the disk's index.
  unsigned AddDisk(HostPlatform::BlockDevicePtr Device);
  HostPlatform::RecoveryBlockIo &BlockIo(unsigned Index) {
    return *BlockIos_[Index];
  }
  unsigned DiskCount() const { return static_cast<unsigned>(BlockIos_.size()); }

  // Every device read, in order, and the read-count faults.
  HostPlatform::ReadTrace &Trace() { return *Trace_; }

  // Calls the module's entry point; returns its status.
  EFI_STATUS RunEntryPoint();

  // The platform recovery code: locates the device recovery module PPI and
  // calls its members with instance 0. Each returns the member's status;
  // Found is false when no such PPI is installed.
  bool RecoveryPpiInstalled();
  EFI_STATUS GetNumberRecoveryCapsules(uint64_t *Count);
  EFI_STATUS GetRecoveryCapsuleInfo(uint64_t *Size, EFI_GUID *Type);
  // Hands a buffer of exactly Size bytes followed by an unmapped guard page.
  EFI_STATUS LoadRecoveryCapsule(uint64_t Size, CapsuleBuffer *Out);

  // The module's context, found through the published PPI.
  ContextView ReadContext();

  uint64_t PeiServices() const { return PeiServices_; }
  uint64_t AllocatedPages() const { return AllocatedPages_; }

 private:
  void BuildServiceTable(uint64_t Table);
  void BuildBlockIoMembers();
  void BuildPcdPpi();
  // A GuestFault unless Pointer is the platform's PEI services pointer.
  void CheckServices(uint64_t Pointer, const char *Who) const;
  uint64_t InstallPpiList(uint64_t List);
  uint64_t RecoveryPpi();
  uint64_t Member(unsigned Index);
  void InstallBlockIo(unsigned Index);
  HostPlatform::RecoveryBlockIo &BlockIoOfPpi(uint64_t This);

  Machine Cpu_;
  HostPlatform::PpiDatabase Ppis_;
  uint64_t Entry_ = 0;
  uint64_t PeiServices_ = 0;
  uint64_t Scratch_ = 0;
  uint64_t BlockIoGuid_ = 0;
  uint64_t PcdPath_ = 0;
  bool InstallPcd_ = true;
  uint64_t FailAllocFrom_ = 0;
  uint64_t AllocateCalls_ = 0;
  uint64_t AllocatedPages_ = 0;
  uint64_t BlockIoMembers_[3] = {};
  uint64_t PcdPpi_ = 0;
  std::shared_ptr<HostPlatform::ReadTrace> Trace_;
  std::vector<std::unique_ptr<HostPlatform::RecoveryBlockIo>> BlockIos_;
  std::vector<uint64_t> DiskPpis_;
};

}  // namespace emulator

#endif  // EMULATOR_PEI_PLATFORM_H_
