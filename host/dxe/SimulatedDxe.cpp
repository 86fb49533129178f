// Native simulated DXE environment.
#include "host/dxe/SimulatedDxe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host_dxe {

namespace {

SimulatedDxe *ActiveEnvironment = nullptr;

uint64_t ToValue(const void *Pointer) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Pointer));
}

void *ToPointer(uint64_t Value) {
  return reinterpret_cast<void *>(static_cast<uintptr_t>(Value));
}

}  // namespace

SimulatedDxe::SimulatedDxe() {
  if (ActiveEnvironment != nullptr) {
    std::fprintf(stderr, "only one SimulatedDxe may exist at a time\n");
    std::abort();
  }
  ActiveEnvironment = this;

  BootServices_.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  BootServices_.Hdr.Revision = EFI_SPECIFICATION_REVISION(2, 70);
  BootServices_.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  BootServices_.AllocatePool = AllocatePoolService;
  BootServices_.InstallProtocolInterface = InstallProtocolInterfaceService;
  BootServices_.HandleProtocol = HandleProtocolService;

  RuntimeServices_.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  RuntimeServices_.Hdr.Revision = EFI_SPECIFICATION_REVISION(2, 70);
  RuntimeServices_.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);

  SystemTable_.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  SystemTable_.Hdr.Revision = EFI_SPECIFICATION_REVISION(2, 70);
  SystemTable_.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  SystemTable_.BootServices = &BootServices_;
  SystemTable_.RuntimeServices = &RuntimeServices_;
  RefreshConfigurationTable();

  ImageHandle_ = ToPointer(Protocols_.CreateHandle());
  LoadedImage_.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  LoadedImage_.SystemTable = &SystemTable_;
  LoadedImage_.ImageCodeType = EfiBootServicesCode;
  LoadedImage_.ImageDataType = EfiBootServicesData;
  const EFI_GUID LoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
  Install(ImageHandle_, LoadedImageGuid, &LoadedImage_);
}

SimulatedDxe::~SimulatedDxe() { ActiveEnvironment = nullptr; }

SimulatedDxe &SimulatedDxe::Active() {
  if (ActiveEnvironment == nullptr) {
    std::fprintf(stderr, "a boot service was called with no SimulatedDxe\n");
    std::abort();
  }
  return *ActiveEnvironment;
}

void SimulatedDxe::RefreshConfigurationTable() {
  SystemTable_.NumberOfTableEntries = ConfigurationTable_.size();
  SystemTable_.ConfigurationTable =
      ConfigurationTable_.empty() ? nullptr : ConfigurationTable_.data();
}

void SimulatedDxe::AddConfigurationTable(const EFI_GUID &Guid, void *Table) {
  ConfigurationTable_.push_back(EFI_CONFIGURATION_TABLE{Guid, Table});
  RefreshConfigurationTable();
}

void *SimulatedDxe::StoreBytes(const std::vector<uint8_t> &Bytes) {
  // A zero-sized list still gets a (one-byte) block of its own.
  std::unique_ptr<uint8_t[]> Block(new uint8_t[Bytes.empty() ? 1 : Bytes.size()]);
  if (!Bytes.empty()) {
    std::memcpy(Block.get(), Bytes.data(), Bytes.size());
  }
  Blocks_.push_back(std::move(Block));
  return Blocks_.back().get();
}

void *SimulatedDxe::SetHobList(const std::vector<uint8_t> &Bytes) {
  void *List = StoreBytes(Bytes);
  const EFI_GUID HobListGuid = EFI_HOB_LIST_GUID;
  AddConfigurationTable(HobListGuid, List);
  return List;
}

EFI_STATUS SimulatedDxe::Install(EFI_HANDLE Handle, const EFI_GUID &Protocol,
                                 void *Interface) {
  uint64_t Value = ToValue(Handle);
  return EfiStatusOf(Protocols_.Install(&Value, Protocol, ToValue(Interface)),
                     64);
}

void *SimulatedDxe::FindInterface(EFI_HANDLE Handle,
                                  const EFI_GUID &Protocol) const {
  uint64_t Interface = 0;
  if (Protocols_.Lookup(ToValue(Handle), Protocol, &Interface) !=
      ProtocolStatus::Success) {
    return nullptr;
  }
  return ToPointer(Interface);
}

std::vector<std::string> SimulatedDxe::CallNames() const {
  std::vector<std::string> Names;
  for (const ServiceCall &Call : Calls_) Names.push_back(Call.Service);
  return Names;
}

EFI_STATUS SimulatedDxe::Record(const char *Service, EFI_STATUS Status) {
  Calls_.push_back(ServiceCall{Service, Status});
  return Status;
}

EFI_STATUS EFIAPI SimulatedDxe::AllocatePoolService(EFI_MEMORY_TYPE PoolType,
                                                    UINTN Size,
                                                    VOID **Buffer) {
  SimulatedDxe &Dxe = Active();
  if (Buffer == nullptr) {
    return Dxe.Record("AllocatePool", EFI_INVALID_PARAMETER);
  }
  if (Dxe.FailAllocatePool_) {
    return Dxe.Record("AllocatePool", EFI_OUT_OF_RESOURCES);
  }
  // Exactly Size bytes, so that the address sanitizer sees a write past them.
  std::unique_ptr<uint8_t[]> Block(new uint8_t[Size == 0 ? 1 : Size]);
  std::memset(Block.get(), kPoolFill, Size == 0 ? 1 : Size);
  *Buffer = Block.get();
  Dxe.Pool_.push_back(std::move(Block));
  EFI_STATUS Status = Dxe.Record("AllocatePool", EFI_SUCCESS);
  Dxe.Calls_.back().PoolType = PoolType;
  Dxe.Calls_.back().PoolSize = Size;
  return Status;
}

EFI_STATUS EFIAPI SimulatedDxe::InstallProtocolInterfaceService(
    EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType,
    VOID *Interface) {
  SimulatedDxe &Dxe = Active();
  if (Handle == nullptr || Protocol == nullptr ||
      InterfaceType != EFI_NATIVE_INTERFACE) {
    return Dxe.Record("InstallProtocolInterface", EFI_INVALID_PARAMETER);
  }
  uint64_t Value = ToValue(*Handle);
  const ProtocolStatus Status =
      Dxe.Protocols_.Install(&Value, *Protocol, ToValue(Interface));
  if (Status == ProtocolStatus::Success) {
    *Handle = ToPointer(Value);
  }
  return Dxe.Record("InstallProtocolInterface", EfiStatusOf(Status, 64));
}

EFI_STATUS EFIAPI SimulatedDxe::HandleProtocolService(EFI_HANDLE Handle,
                                                      EFI_GUID *Protocol,
                                                      VOID **Interface) {
  SimulatedDxe &Dxe = Active();
  if (Dxe.HandleProtocolStatus_ != EFI_SUCCESS) {
    if (Interface != nullptr && Dxe.HandleProtocolInterface_ != nullptr) {
      *Interface = Dxe.HandleProtocolInterface_;
    }
    return Dxe.Record("HandleProtocol", Dxe.HandleProtocolStatus_);
  }
  if (Protocol == nullptr || Interface == nullptr) {
    return Dxe.Record("HandleProtocol", EFI_INVALID_PARAMETER);
  }
  uint64_t Value = 0;
  const ProtocolStatus Status =
      Dxe.Protocols_.Lookup(ToValue(Handle), *Protocol, &Value);
  *Interface = Status == ProtocolStatus::Success ? ToPointer(Value) : nullptr;
  return Dxe.Record("HandleProtocol", EfiStatusOf(Status, 64));
}

}  // namespace host_dxe
