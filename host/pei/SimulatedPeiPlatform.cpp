// The simulated PEI Foundation of the 32-bit host tests.
#include "host/pei/SimulatedPeiPlatform.h"

#include <stdlib.h>
#include <string.h>

#include <stdexcept>

#include "ntfs_recovery_pei/frame/Frame.h"

static_assert(sizeof(void *) == 4,
              "the simulated PEI platform serves the 32-bit module build");

namespace HostPei {

using HostPlatform::DueNotification;
using HostPlatform::InstalledPpi;
using HostPlatform::Status;

namespace {

constexpr UINT64 kPeiServicesSignature = 0x5652455320494550ull;  // "PEI SERV"
constexpr UINT32 kPeiServicesRevision = (1u << 16) | 70u;
constexpr UINTN kPageSize = 4096;
constexpr UINT8 kFreshMemoryFill = 0xA5;  // pages come uncleared

const EFI_GUID kRecoveryBlockIoGuid = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;
const EFI_GUID kPcdGuid = PCD_PPI_GUID;
const EFI_GUID kRecoveryModuleGuid = EFI_PEI_DEVICE_RECOVERY_MODULE_PPI_GUID;

SimulatedPeiPlatform *CurrentPlatform;

uint64_t AddressOf(const void *Pointer) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Pointer));
}

template <typename T>
T *PointerAt(uint64_t Address) {
  return reinterpret_cast<T *>(static_cast<uintptr_t>(Address));
}

}  // namespace

struct SimulatedPeiPlatform::BlockIoInstance {
  EFI_PEI_RECOVERY_BLOCK_IO_PPI Ppi;  // first: This leads to the instance
  EFI_PEI_PPI_DESCRIPTOR Descriptor;
  SimulatedPeiPlatform *Owner;
  HostPlatform::RecoveryBlockIo *Model;
  std::unique_ptr<HostPlatform::RecoveryBlockIo> OwnedModel;
};

SimulatedPeiPlatform::SimulatedPeiPlatform(PeiPlatformOptions Options)
    : Trace_(std::make_shared<HostPlatform::ReadTrace>()) {
  memset(&ServicesBlock_, 0, sizeof(ServicesBlock_));
  EFI_PEI_SERVICES &Table = ServicesBlock_.Table;
  Table.Hdr.Signature = kPeiServicesSignature;
  Table.Hdr.Revision = kPeiServicesRevision;
  Table.Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  Table.InstallPpi = InstallPpiService;
  Table.LocatePpi = LocatePpiService;
  Table.NotifyPpi = NotifyPpiService;
  Table.AllocatePages = AllocatePagesService;
  Table.CopyMem = CopyMemService;
  Table.SetMem = SetMemService;
  ServicesBlock_.Owner = this;
  ServicesPointer_ = &ServicesBlock_.Table;

  IdtBlock_[0] = static_cast<UINT32>(reinterpret_cast<uintptr_t>(&ServicesPointer_));
  IdtBlock_[1] = 0;
  gSimulatedIdtBase = static_cast<UINT32>(reinterpret_cast<uintptr_t>(&IdtBlock_[1]));
  gRecoveryContext = nullptr;
  CurrentPlatform = this;

  memset(&PcdPpi_, 0, sizeof(PcdPpi_));
  PcdPpi_.GetPtr = GetPtrService;
  PcdDescriptor_.Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  PcdDescriptor_.Guid = const_cast<EFI_GUID *>(&kPcdGuid);
  PcdDescriptor_.Ppi = &PcdPpi_;
  if (Options.InstallPcdPpi) Install(&PcdDescriptor_);
}

SimulatedPeiPlatform::~SimulatedPeiPlatform() {
  if (CurrentPlatform == this) {
    CurrentPlatform = nullptr;
    gSimulatedIdtBase = 0;
    gRecoveryContext = nullptr;
  }
  for (void *Block : PageBlocks_) free(Block);
}

size_t SimulatedPeiPlatform::AddBlockIoPpi(std::vector<BlockDevicePtr> Devices) {
  const size_t Number = BlockIos_.size();
  auto Instance = std::make_unique<BlockIoInstance>();
  Instance->Ppi.GetNumberOfBlockDevices = GetNumberOfBlockDevicesService;
  Instance->Ppi.GetBlockDeviceMediaInfo = GetBlockDeviceMediaInfoService;
  Instance->Ppi.ReadBlocks = ReadBlocksService;
  Instance->Descriptor.Flags =
      EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  Instance->Descriptor.Guid = const_cast<EFI_GUID *>(&kRecoveryBlockIoGuid);
  Instance->Descriptor.Ppi = &Instance->Ppi;
  Instance->Owner = this;
  Instance->OwnedModel = std::make_unique<HostPlatform::RecoveryBlockIo>(
      std::move(Devices), Trace_, static_cast<uint32_t>(Number));
  Instance->Model = Instance->OwnedModel.get();
  BlockIoInstance *Raw = Instance.get();
  BlockIos_.push_back(std::move(Instance));
  if (EFI_ERROR(Install(&Raw->Descriptor))) {
    throw std::runtime_error("the block I/O PPI could not be installed");
  }
  return Number;
}

HostPlatform::RecoveryBlockIo &SimulatedPeiPlatform::BlockIo(size_t Instance) {
  return *BlockIos_.at(Instance)->Model;
}

EFI_PEI_RECOVERY_BLOCK_IO_PPI *SimulatedPeiPlatform::BlockIoPpi(size_t Instance) {
  return &BlockIos_.at(Instance)->Ppi;
}

void SimulatedPeiPlatform::SetRecoveryPath(const std::u16string &Path) {
  RecoveryPath_ = Path;
  HasRecoveryPath_ = true;
}

void SimulatedPeiPlatform::ClearRecoveryPath() {
  RecoveryPath_.clear();
  HasRecoveryPath_ = false;
}

EFI_STATUS SimulatedPeiPlatform::RunEntryPoint() {
  return RecoveryModuleEntry(nullptr,
                             const_cast<const EFI_PEI_SERVICES **>(Services()));
}

EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *SimulatedPeiPlatform::RecoveryPpi() {
  for (const InstalledPpi &Entry : Database_.Installed()) {
    if (HostPlatform::GuidEquals(Entry.Guid, kRecoveryModuleGuid)) {
      return PointerAt<EFI_PEI_DEVICE_RECOVERY_MODULE_PPI>(Entry.Ppi);
    }
  }
  return nullptr;
}

RecoveryContext *SimulatedPeiPlatform::Context() {
  if (EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = RecoveryPpi()) {
    return ContextFromPpi(Ppi);
  }
  return gRecoveryContext;
}

EFI_STATUS SimulatedPeiPlatform::Install(const EFI_PEI_PPI_DESCRIPTOR *List) {
  if (List == nullptr) return EFI_INVALID_PARAMETER;
  // Check the whole list before anything is installed.
  uint32_t Count = 0;
  for (;;) {
    if (Count == HostPlatform::kMaxDescriptorList) return EFI_INVALID_PARAMETER;
    const EFI_PEI_PPI_DESCRIPTOR &Entry = List[Count++];
    if (!HostPlatform::IsPpiDescriptor(Entry.Flags) || Entry.Guid == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (HostPlatform::IsLastDescriptor(Entry.Flags)) break;
  }
  std::vector<DueNotification> Due;
  for (uint32_t I = 0; I < Count; ++I) {
    Status S = Database_.Install(*List[I].Guid, AddressOf(&List[I]),
                                 AddressOf(List[I].Ppi), &Due);
    if (IsError(S)) return ToEfi(S);
  }
  Dispatch(Due);
  return EFI_SUCCESS;
}

void SimulatedPeiPlatform::Dispatch(const std::vector<DueNotification> &Due) {
  for (const DueNotification &Item : Due) {
    auto Function = PointerAt<void>(Item.Notify.Function);
    auto Notify = reinterpret_cast<EFI_PEIM_NOTIFY_ENTRY_POINT>(Function);
    ++NotifyDispatches_;
    Notify(Services(), PointerAt<EFI_PEI_NOTIFY_DESCRIPTOR>(Item.Notify.Descriptor),
           PointerAt<VOID>(Item.Installed.Ppi));
  }
}

EFI_STATUS SimulatedPeiPlatform::Notify(const EFI_PEI_NOTIFY_DESCRIPTOR *List) {
  if (List == nullptr) return EFI_INVALID_PARAMETER;
  uint32_t Count = 0;
  for (;;) {
    if (Count == HostPlatform::kMaxDescriptorList) return EFI_INVALID_PARAMETER;
    const EFI_PEI_NOTIFY_DESCRIPTOR &Entry = List[Count++];
    if (!HostPlatform::IsNotifyDescriptor(Entry.Flags) || Entry.Guid == nullptr ||
        Entry.Notify == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (HostPlatform::IsLastDescriptor(Entry.Flags)) break;
  }
  for (uint32_t I = 0; I < Count; ++I) {
    Status S = Database_.RegisterNotify(
        *List[I].Guid, AddressOf(&List[I]),
        AddressOf(reinterpret_cast<const void *>(List[I].Notify)));
    if (IsError(S)) return ToEfi(S);
  }
  return EFI_SUCCESS;
}

EFI_STATUS SimulatedPeiPlatform::Locate(const EFI_GUID *Guid, UINTN Instance,
                                        EFI_PEI_PPI_DESCRIPTOR **Descriptor,
                                        VOID **Ppi) {
  if (Guid == nullptr || Ppi == nullptr) return EFI_INVALID_PARAMETER;
  InstalledPpi Found;
  Status S = Database_.Locate(*Guid, Instance, &Found);
  if (IsError(S)) return ToEfi(S);
  if (Descriptor != nullptr) {
    *Descriptor = PointerAt<EFI_PEI_PPI_DESCRIPTOR>(Found.Descriptor);
  }
  *Ppi = PointerAt<VOID>(Found.Ppi);
  return EFI_SUCCESS;
}

EFI_STATUS SimulatedPeiPlatform::Allocate(EFI_MEMORY_TYPE Type, UINTN Pages,
                                          EFI_PHYSICAL_ADDRESS *Memory) {
  ++AllocateCalls_;
  if (Memory == nullptr) return EFI_INVALID_PARAMETER;
  if (FailAllPages_ || AllocateCalls_ == FailAllocationNumber_) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (HasForcedAddress_) {
    HasForcedAddress_ = false;
    *Memory = ForcedAddress_;
    Allocations_.push_back({Type, Pages, ForcedAddress_});
    return EFI_SUCCESS;
  }
  if (Pages == 0 || Pages > 0x100000000ull / kPageSize / 16) {
    return EFI_OUT_OF_RESOURCES;
  }
  void *Block = aligned_alloc(kPageSize, Pages * kPageSize);
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  memset(Block, kFreshMemoryFill, Pages * kPageSize);
  PageBlocks_.push_back(Block);
  *Memory = AddressOf(Block);
  Allocations_.push_back({Type, Pages, *Memory});
  return EFI_SUCCESS;
}

SimulatedPeiPlatform *SimulatedPeiPlatform::FromServices(
    const EFI_PEI_SERVICES **Services) {
  auto *Block = reinterpret_cast<const struct ServicesBlock *>(*Services);
  return Block->Owner;
}

SimulatedPeiPlatform::BlockIoInstance *SimulatedPeiPlatform::FromBlockIo(
    EFI_PEI_RECOVERY_BLOCK_IO_PPI *This) {
  return reinterpret_cast<BlockIoInstance *>(This);
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::InstallPpiService(
    const EFI_PEI_SERVICES **S, const EFI_PEI_PPI_DESCRIPTOR *List) {
  return FromServices(S)->Install(List);
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::LocatePpiService(
    const EFI_PEI_SERVICES **S, const EFI_GUID *Guid, UINTN Instance,
    EFI_PEI_PPI_DESCRIPTOR **Descriptor, VOID **Ppi) {
  return FromServices(S)->Locate(Guid, Instance, Descriptor, Ppi);
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::NotifyPpiService(
    const EFI_PEI_SERVICES **S, const EFI_PEI_NOTIFY_DESCRIPTOR *List) {
  return FromServices(S)->Notify(List);
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::AllocatePagesService(
    const EFI_PEI_SERVICES **S, EFI_MEMORY_TYPE Type, UINTN Pages,
    EFI_PHYSICAL_ADDRESS *Memory) {
  return FromServices(S)->Allocate(Type, Pages, Memory);
}

VOID EFIAPI SimulatedPeiPlatform::CopyMemService(VOID *Destination, VOID *Source,
                                                 UINTN Length) {
  memmove(Destination, Source, Length);
}

VOID EFIAPI SimulatedPeiPlatform::SetMemService(VOID *Buffer, UINTN Size,
                                                UINT8 Value) {
  if (CurrentPlatform != nullptr) ++CurrentPlatform->SetMemCalls_;
  memset(Buffer, Value, Size);
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::GetNumberOfBlockDevicesService(
    EFI_PEI_SERVICES **S, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This, UINTN *Number) {
  BlockIoInstance *Instance = FromBlockIo(This);
  Instance->Owner->DeviceCountServices_.push_back(S);
  uint64_t Count = 0;
  Status Result = Instance->Model->GetNumberOfBlockDevices(&Count);
  if (IsError(Result)) return ToEfi(Result);
  if (Number == nullptr) return EFI_INVALID_PARAMETER;
  *Number = static_cast<UINTN>(Count);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::GetBlockDeviceMediaInfoService(
    EFI_PEI_SERVICES **S, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This, UINTN Index,
    EFI_PEI_BLOCK_IO_MEDIA *Media) {
  HostPlatform::MediaInfo Info;
  Status Result = FromBlockIo(This)->Model->GetBlockDeviceMediaInfo(Index, &Info);
  if (IsError(Result)) return ToEfi(Result);
  if (Media == nullptr) return EFI_INVALID_PARAMETER;
  Media->DeviceType = Info.DeviceType;
  Media->MediaPresent = Info.MediaPresent ? TRUE : FALSE;
  Media->LastBlock = static_cast<UINTN>(Info.LastBlock);
  Media->BlockSize = static_cast<UINTN>(Info.BlockSize);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimulatedPeiPlatform::ReadBlocksService(
    EFI_PEI_SERVICES **S, EFI_PEI_RECOVERY_BLOCK_IO_PPI *This, UINTN Index,
    EFI_PEI_LBA Lba, UINTN Size, VOID *Buffer) {
  return ToEfi(FromBlockIo(This)->Model->ReadBlocks(
      Index, Lba, Size, static_cast<uint8_t *>(Buffer), AddressOf(S)));
}

VOID *EFIAPI SimulatedPeiPlatform::GetPtrService(UINTN TokenNumber) {
  SimulatedPeiPlatform *Platform = CurrentPlatform;
  if (Platform == nullptr || TokenNumber != RECOVERY_PATH_PCD_TOKEN ||
      !Platform->HasRecoveryPath_) {
    return nullptr;
  }
  return const_cast<char16_t *>(Platform->RecoveryPath_.c_str());
}

}  // namespace HostPei
