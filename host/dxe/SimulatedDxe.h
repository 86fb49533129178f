// A native 64-bit simulated DXE environment for host tests of a DXE driver
// built into the test program: a system table with its boot services,
// runtime services and configuration table, a loaded image protocol on the
// image handle, a HOB list, and boot services that can be told to fail.
//
// Only the boot services a driver of this project calls are real
// (AllocatePool, InstallProtocolInterface, HandleProtocol); every other slot
// is null. Each call is recorded with the status it returned. The services
// are EFIAPI functions that reach the environment through a process-wide
// pointer, so at most one SimulatedDxe exists at a time.
#ifndef HOST_DXE_SIMULATED_DXE_H_
#define HOST_DXE_SIMULATED_DXE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "efi/Dxe.h"
#include "host/dxe/ProtocolDatabase.h"

namespace host_dxe {

// One call of a boot service, in call order.
struct ServiceCall {
  std::string Service;  // "AllocatePool", "InstallProtocolInterface", ...
  EFI_STATUS Status;    // what the service returned
  // AllocatePool only: the pool type and byte count asked for.
  EFI_MEMORY_TYPE PoolType = EfiReservedMemoryType;
  UINTN PoolSize = 0;
};

class SimulatedDxe {
 public:
  // Byte that fresh pool memory is filled with, so that a caller who expects
  // cleared memory must clear it itself.
  static constexpr uint8_t kPoolFill = 0xA5;

  // Builds the tables (system table revision 2.70 unless changed), makes the
  // image handle and installs the loaded image protocol on it. The
  // configuration table starts empty: no HOB list.
  SimulatedDxe();
  ~SimulatedDxe();
  SimulatedDxe(const SimulatedDxe &) = delete;
  SimulatedDxe &operator=(const SimulatedDxe &) = delete;

  EFI_SYSTEM_TABLE *SystemTable() { return &SystemTable_; }
  EFI_BOOT_SERVICES *BootServices() { return &BootServices_; }
  EFI_RUNTIME_SERVICES *RuntimeServices() { return &RuntimeServices_; }
  EFI_HANDLE ImageHandle() const { return ImageHandle_; }
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage() { return &LoadedImage_; }
  ProtocolDatabase &Protocols() { return Protocols_; }

  // Sets the system table's Hdr.Revision.
  void SetRevision(uint32_t Revision) { SystemTable_.Hdr.Revision = Revision; }

  // Appends a configuration table entry.
  void AddConfigurationTable(const EFI_GUID &Guid, void *Table);

  // Copies Bytes into a heap block of exactly that size (so that the address
  // sanitizer sees any read past the list) and returns its address; the
  // block lives as long as the environment.
  void *StoreBytes(const std::vector<uint8_t> &Bytes);

  // StoreBytes, then a configuration table entry for the HOB list GUID
  // pointing to the copy. Returns the copy's address.
  void *SetHobList(const std::vector<uint8_t> &Bytes);

  // From now on AllocatePool returns EFI_OUT_OF_RESOURCES (Fail) or
  // allocates (not Fail).
  void FailAllocatePool(bool Fail) { FailAllocatePool_ = Fail; }

  // From now on HandleProtocol returns Status without looking the protocol
  // up; it stores InterfaceOnFailure in *Interface when that is not null
  // (a misbehaving core). EFI_SUCCESS restores the real lookup.
  void FailHandleProtocol(EFI_STATUS Status,
                          void *InterfaceOnFailure = nullptr) {
    HandleProtocolStatus_ = Status;
    HandleProtocolInterface_ = InterfaceOnFailure;
  }

  // Installs Interface as Protocol on Handle directly, as another driver
  // would have done before.
  EFI_STATUS Install(EFI_HANDLE Handle, const EFI_GUID &Protocol,
                     void *Interface);

  // The interface of Protocol on Handle, or null.
  void *FindInterface(EFI_HANDLE Handle, const EFI_GUID &Protocol) const;

  // The boot service calls so far, and their names alone.
  const std::vector<ServiceCall> &Calls() const { return Calls_; }
  std::vector<std::string> CallNames() const;

  // Number of pool blocks handed out.
  size_t PoolAllocations() const { return Pool_.size(); }

 private:
  static EFI_STATUS EFIAPI AllocatePoolService(EFI_MEMORY_TYPE PoolType,
                                               UINTN Size, VOID **Buffer);
  static EFI_STATUS EFIAPI InstallProtocolInterfaceService(
      EFI_HANDLE *Handle, EFI_GUID *Protocol,
      EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
  static EFI_STATUS EFIAPI HandleProtocolService(EFI_HANDLE Handle,
                                                 EFI_GUID *Protocol,
                                                 VOID **Interface);
  static SimulatedDxe &Active();
  EFI_STATUS Record(const char *Service, EFI_STATUS Status);
  void RefreshConfigurationTable();

  EFI_SYSTEM_TABLE SystemTable_{};
  EFI_BOOT_SERVICES BootServices_{};
  EFI_RUNTIME_SERVICES RuntimeServices_{};
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage_{};
  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTable_;
  ProtocolDatabase Protocols_;
  EFI_HANDLE ImageHandle_ = nullptr;
  std::vector<std::unique_ptr<uint8_t[]>> Pool_;
  std::vector<std::unique_ptr<uint8_t[]>> Blocks_;
  bool FailAllocatePool_ = false;
  EFI_STATUS HandleProtocolStatus_ = EFI_SUCCESS;
  void *HandleProtocolInterface_ = nullptr;
  std::vector<ServiceCall> Calls_;
};

}  // namespace host_dxe

#endif  // HOST_DXE_SIMULATED_DXE_H_
