// The emulated PEI platform; see PeiPlatform.h.
#include "emulator/PeiPlatform.h"

#include <cstring>

#include "efi/Pei.h"
#include "emulator/ContextLayout.h"

namespace emulator {

namespace {

constexpr uint64_t kImageBase = 0x10000000;
constexpr uint64_t kMaxAllocatePages = 65536;  // 256 MiB per call

const EFI_GUID kBlockIoGuid = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;
const EFI_GUID kRecoveryGuid = EFI_PEI_DEVICE_RECOVERY_MODULE_PPI_GUID;
const EFI_GUID kPcdGuid = PCD_PPI_GUID;

// Names of the EFI_PEI_SERVICES slots after the header, in table order.
const char *const kServiceNames[] = {"InstallPpi",
                                     "ReInstallPpi",
                                     "LocatePpi",
                                     "NotifyPpi",
                                     "GetBootMode",
                                     "SetBootMode",
                                     "GetHobList",
                                     "CreateHob",
                                     "FfsFindNextVolume",
                                     "FfsFindNextFile",
                                     "FfsFindSectionData",
                                     "InstallPeiMemory",
                                     "AllocatePages",
                                     "AllocatePool",
                                     "CopyMem",
                                     "SetMem",
                                     "ReportStatusCode",
                                     "ResetSystem",
                                     "CpuIo",
                                     "PciCfg",
                                     "FfsFindFileByName",
                                     "FfsGetFileInfo",
                                     "FfsGetVolumeInfo",
                                     "RegisterForShadow",
                                     "FindSectionData3",
                                     "FfsGetFileInfo2",
                                     "ResetSystem2",
                                     "FreePages"};
static_assert(sizeof(kServiceNames) / sizeof(kServiceNames[0]) == 28,
              "28 service slots");

using A = ArgType;

}  // namespace

PeiPlatform::PeiPlatform(const PeImage &Image, const std::string &Name)
    : Cpu_(Arch::Ia32), Trace_(std::make_shared<HostPlatform::ReadTrace>()) {
  if (Image.Machine != kMachineI386)
    throw std::runtime_error(Name + ": not an IA32 (PE32) image");
  Entry_ = Cpu_.LoadImage(Image, kImageBase, Name);
  Machine &M = Cpu_;
  const uint64_t Table = M.AllocData(ia32::kServicesTableSize, 8);
  M.WriteUint(Table, 0x5652455320494550ull, 8, "services");  // "PEI SERV"
  M.WriteUint(Table + 8, (1u << 16) | 70, 4, "services");
  M.WriteUint(Table + 12, ia32::kServicesTableSize, 4, "services");
  PeiServices_ = M.AllocData(4, 4);
  M.WritePointer(PeiServices_, Table, "services");

  BuildServiceTable(Table);
  // The IDT: SIDT gives its base, and the four bytes below hold the pointer.
  const uint64_t Idt = M.AllocData(8 + 256 * 8, 8) + 8;
  M.WritePointer(Idt - 4, PeiServices_, "IDT");
  M.SetIdtr(Idt, 256 * 8 - 1);

  BuildBlockIoMembers();
  BuildPcdPpi();
  BlockIoGuid_ = M.AllocBytes(&kBlockIoGuid, 16, 8);
  Scratch_ = M.AllocData(64, 16);
}

void PeiPlatform::CheckServices(uint64_t Pointer, const char *Who) const {
  if (Pointer != PeiServices_)
    throw GuestFault(std::string(Who) +
                     " was called with a PEI services pointer " +
                     Cpu_.Describe(Pointer) + " that is not the platform's");
}

// The PEI Foundation services the module calls; every other slot reports
// an unsupported call.
void PeiPlatform::BuildServiceTable(uint64_t Table) {
  Machine &M = Cpu_;
  // Every slot first gets a thunk that reports the call as unsupported.
  for (unsigned I = 0; I < 28; ++I) {
    const std::string Slot = kServiceNames[I];
    const uint64_t T = M.AddService(
        Slot, {}, [Slot](Machine &, const std::vector<uint64_t> &) -> uint64_t {
          throw GuestFault("the module called the PEI service " + Slot +
                           ", which this platform does not provide");
        });
    M.WritePointer(Table + 24 + 4 * I, T, "services");
  }
  auto Slot = [&](unsigned Offset, const std::string &N,
                  std::vector<ArgType> Args, Machine::ServiceFn Fn) {
    M.WritePointer(Table + Offset,
                   M.AddService(N, std::move(Args), std::move(Fn)), "services");
  };
  Slot(24, "InstallPpi", {A::Natural, A::Natural},
       [=](Machine &, const std::vector<uint64_t> &V) {
         CheckServices(V[0], "InstallPpi");
         return InstallPpiList(V[1]);
       });
  Slot(32, "LocatePpi",
       {A::Natural, A::Natural, A::Natural, A::Natural, A::Natural},
       [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
         CheckServices(V[0], "LocatePpi");
         EFI_GUID G;
         C.Read(V[1], &G, 16, "LocatePpi GUID");
         if (V[4] == 0)
           return HostPlatform::ToEfiStatus<uint32_t>(
               HostPlatform::Status::InvalidParameter);
         HostPlatform::InstalledPpi P;
         const HostPlatform::Status S = Ppis_.Locate(G, V[2], &P);
         if (S != HostPlatform::Status::Success)
           return HostPlatform::ToEfiStatus<uint32_t>(S);
         if (V[3] != 0)
           C.WritePointer(V[3], P.Descriptor, "LocatePpi descriptor");
         C.WritePointer(V[4], P.Ppi, "LocatePpi PPI");
         return 0;
       });
  Slot(36, "NotifyPpi", {A::Natural, A::Natural},
       [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
         CheckServices(V[0], "NotifyPpi");
         using namespace HostPlatform;
         uint64_t D = V[1];
         for (unsigned I = 0; I < kMaxDescriptorList; ++I, D += 12) {
           const uint64_t Flags = C.ReadUint(D, 4, "notify descriptor");
           if (!IsNotifyDescriptor(Flags))
             return ToEfiStatus<uint32_t>(Status::InvalidParameter);
           EFI_GUID G;
           C.Read(C.ReadPointer(D + 4, "notify descriptor"), &G, 16,
                  "notify GUID");
           const Status S = Ppis_.RegisterNotify(
               G, D, C.ReadPointer(D + 8, "notify descriptor"));
           if (S != Status::Success || IsLastDescriptor(Flags))
             return ToEfiStatus<uint32_t>(S);
         }
         return ToEfiStatus<uint32_t>(Status::InvalidParameter);
       });
  Slot(72, "AllocatePages", {A::Natural, A::U32, A::Natural, A::Natural},
       [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
         CheckServices(V[0], "AllocatePages");
         ++AllocateCalls_;
         if (FailAllocFrom_ != 0 && AllocateCalls_ >= FailAllocFrom_)
           return 0x80000009u;
         if (V[2] == 0 || V[2] > kMaxAllocatePages) return 0x80000009u;
         const uint64_t P = C.MapFresh(V[2] * kPageSize, kProtRead | kProtWrite,
                                       "allocated pages");
         if (P == 0) return 0x80000009u;  // EFI_OUT_OF_RESOURCES
         AllocatedPages_ += V[2];
         C.WriteUint(V[3], P, 8, "AllocatePages Memory");
         return 0;
       });
  // CopyMem and SetMem work on guest memory in place; a range outside it is
  // the module's fault.
  auto Range = [](Machine &C, uint64_t Address, uint64_t Size, uint32_t Prot,
                  const char *What) {
    uint8_t *P = C.HostPointer(Address, Size, Prot);
    if (!P)
      throw GuestFault(std::string(What) + ": " + std::to_string(Size) +
                       " bytes at " + C.Describe(Address) + " are not " +
                       (Prot & kProtWrite ? "writable" : "readable") +
                       " guest memory");
    return P;
  };
  Slot(80, "CopyMem", {A::Natural, A::Natural, A::Natural},
       [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
         if (V[2] == 0) return 0;
         const uint8_t *From =
             Range(C, V[1], V[2], kProtRead, "CopyMem source");
         std::memmove(Range(C, V[0], V[2], kProtWrite, "CopyMem destination"),
                      From, V[2]);
         return 0;
       });
  Slot(84, "SetMem", {A::Natural, A::Natural, A::U8},
       [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
         if (V[1] == 0) return 0;
         std::memset(Range(C, V[0], V[1], kProtWrite, "SetMem buffer"),
                     static_cast<int>(V[2]), V[1]);
         return 0;
       });
}

// The members shared by every recovery block I/O PPI; This tells the disk.
void PeiPlatform::BuildBlockIoMembers() {
  Machine &M = Cpu_;
  using HostPlatform::ToEfiStatus;
  BlockIoMembers_[0] = M.AddService(
      "GetNumberOfBlockDevices", {A::Natural, A::Natural, A::Natural},
      [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
        CheckServices(V[0], "GetNumberOfBlockDevices");
        uint64_t Count = 0;
        const HostPlatform::Status S =
            BlockIoOfPpi(V[1]).GetNumberOfBlockDevices(&Count);
        if (S == HostPlatform::Status::Success)
          C.WritePointer(V[2], Count, "NumberBlockDevices");
        return ToEfiStatus<uint32_t>(S);
      });
  BlockIoMembers_[1] = M.AddService(
      "GetBlockDeviceMediaInfo",
      {A::Natural, A::Natural, A::Natural, A::Natural},
      [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
        CheckServices(V[0], "GetBlockDeviceMediaInfo");
        HostPlatform::MediaInfo Info;
        const HostPlatform::Status S =
            BlockIoOfPpi(V[1]).GetBlockDeviceMediaInfo(
                V[2], V[3] == 0 ? nullptr : &Info);
        if (S != HostPlatform::Status::Success) return ToEfiStatus<uint32_t>(S);
        uint8_t Media[ia32::kMediaSize] = {};
        const uint32_t Last =
            static_cast<uint32_t>(Info.LastBlock);  // the PPI's UINTN
        std::memcpy(Media + ia32::kMediaDeviceType, &Info.DeviceType, 4);
        Media[ia32::kMediaPresent] = Info.MediaPresent ? 1 : 0;
        std::memcpy(Media + ia32::kMediaLastBlock, &Last, 4);
        std::memcpy(Media + ia32::kMediaBlockSize, &Info.BlockSize, 4);
        C.Write(V[3], Media, sizeof Media, "GetBlockDeviceMediaInfo MediaInfo");
        return 0;
      });
  BlockIoMembers_[2] = M.AddService(
      "ReadBlocks",
      {A::Natural, A::Natural, A::Natural, A::U64, A::Natural, A::Natural},
      [=](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
        CheckServices(V[0], "ReadBlocks");
        // Device reads land straight in the guest buffer's host memory.
        uint8_t *Out = nullptr;
        if (V[4] != 0 && V[5] != 0) {
          Out = C.HostPointer(V[5], V[4], kProtWrite);
          if (!Out)
            throw GuestFault("ReadBlocks of " + std::to_string(V[4]) +
                             " bytes into " + C.Describe(V[5]) +
                             ", which is not writable guest memory");
        }
        return ToEfiStatus<uint32_t>(
            BlockIoOfPpi(V[1]).ReadBlocks(V[2], V[3], V[4], Out, V[0]));
      });
}

// The PCD PPI: GetPtr only; the other members report an unsupported call.
void PeiPlatform::BuildPcdPpi() {
  Machine &M = Cpu_;
  PcdPpi_ = M.AllocData(8 * 4, 4);
  for (unsigned I = 0; I < 8; ++I) {
    const std::string N = "PCD_PPI member " + std::to_string(I);
    M.WritePointer(
        PcdPpi_ + 4 * I,
        M.AddService(N, {},
                     [N](Machine &, const std::vector<uint64_t> &) -> uint64_t {
                       throw GuestFault(
                           "the module called " + N +
                           ", which this platform does not provide");
                     }),
        "PCD PPI");
  }
  M.WritePointer(
      PcdPpi_ + 20,
      M.AddService(
          "PCD_PPI.GetPtr", {A::Natural},
          [this](Machine &, const std::vector<uint64_t> &V) -> uint64_t {
            return V[0] == RECOVERY_PATH_PCD_TOKEN ? PcdPath_ : 0;
          }),
      "PCD PPI");
}

void PeiPlatform::SetRecoveryPath(const std::u16string &Path) {
  std::vector<uint8_t> Bytes((Path.size() + 1) * 2, 0);
  std::memcpy(Bytes.data(), Path.data(), Path.size() * 2);
  PcdPath_ = Cpu_.AllocBytes(Bytes.data(), Bytes.size(), 2);
}

HostPlatform::RecoveryBlockIo &PeiPlatform::BlockIoOfPpi(uint64_t This) {
  for (unsigned I = 0; I < DiskPpis_.size(); ++I) {
    if (DiskPpis_[I] == This) return *BlockIos_[I];
  }
  throw GuestFault("a recovery block I/O member was called with This " +
                   Cpu_.Describe(This) + ", which is no installed PPI");
}

uint64_t PeiPlatform::InstallPpiList(uint64_t List) {
  using namespace HostPlatform;
  Machine &C = Cpu_;
  std::vector<DueNotification> Due;
  uint64_t D = List;
  for (unsigned I = 0;; ++I, D += 12) {
    if (I == kMaxDescriptorList)
      return ToEfiStatus<uint32_t>(Status::InvalidParameter);
    const uint64_t Flags = C.ReadUint(D, 4, "PPI descriptor");
    if (!IsPpiDescriptor(Flags))
      return ToEfiStatus<uint32_t>(Status::InvalidParameter);
    EFI_GUID G;
    C.Read(C.ReadPointer(D + 4, "PPI descriptor"), &G, 16, "PPI GUID");
    const Status S =
        Ppis_.Install(G, D, C.ReadPointer(D + 8, "PPI descriptor"), &Due);
    if (S != Status::Success) return ToEfiStatus<uint32_t>(S);
    if (IsLastDescriptor(Flags)) break;
  }
  // Notifications run once the whole list is installed.
  for (const DueNotification &N : Due) {
    C.Call(N.Notify.Function,
           {{A::Natural, PeiServices_},
            {A::Natural, N.Notify.Descriptor},
            {A::Natural, N.Installed.Ppi}},
           "notify function");
  }
  return 0;
}

void PeiPlatform::InstallBlockIo(unsigned Index) {
  Machine &M = Cpu_;
  const uint64_t Ppi = M.AllocData(12, 4);
  for (unsigned I = 0; I < 3; ++I)
    M.WritePointer(Ppi + 4 * I, BlockIoMembers_[I], "block I/O PPI");
  DiskPpis_[Index] = Ppi;
  const uint64_t D = M.AllocData(12, 4);
  M.WriteUint(
      D, EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, 4,
      "descriptor");
  M.WritePointer(D + 4, BlockIoGuid_, "descriptor");
  M.WritePointer(D + 8, Ppi, "descriptor");
  InstallPpiList(D);
}

unsigned PeiPlatform::AddDisk(HostPlatform::BlockDevicePtr Device) {
  const unsigned Index = static_cast<unsigned>(BlockIos_.size());
  BlockIos_.push_back(std::make_unique<HostPlatform::RecoveryBlockIo>(
      std::vector<HostPlatform::BlockDevicePtr>{std::move(Device)}, Trace_,
      Index));
  DiskPpis_.push_back(0);
  InstallBlockIo(Index);
  return Index;
}

EFI_STATUS PeiPlatform::RunEntryPoint() {
  if (InstallPcd_) {
    const uint64_t Guid = Cpu_.AllocBytes(&kPcdGuid, 16, 8);
    const uint64_t D = Cpu_.AllocData(12, 4);
    Cpu_.WriteUint(
        D, EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
        4, "descriptor");
    Cpu_.WritePointer(D + 4, Guid, "descriptor");
    Cpu_.WritePointer(D + 8, PcdPpi_, "descriptor");
    InstallPpiList(D);
  }
  return Cpu_.Call(Entry_, {{A::Natural, 0}, {A::Natural, PeiServices_}},
                   "RecoveryModuleEntry");
}

bool PeiPlatform::RecoveryPpiInstalled() {
  return Ppis_.InstanceCount(kRecoveryGuid) != 0;
}

uint64_t PeiPlatform::RecoveryPpi() {
  for (const HostPlatform::InstalledPpi &P : Ppis_.Installed()) {
    if (HostPlatform::GuidEquals(P.Guid, kRecoveryGuid)) return P.Ppi;
  }
  throw std::runtime_error(
      "the module did not install the device recovery module PPI");
}

uint64_t PeiPlatform::Member(unsigned Index) {
  return Cpu_.ReadPointer(RecoveryPpi() + 4 * Index,
                          "device recovery module PPI");
}

EFI_STATUS PeiPlatform::GetNumberRecoveryCapsules(uint64_t *Count) {
  Cpu_.WriteUint(Scratch_, 0, 4, "scratch");
  const uint64_t S = Cpu_.Call(Member(0),
                               {{A::Natural, PeiServices_},
                                {A::Natural, RecoveryPpi()},
                                {A::Natural, Scratch_}},
                               "GetNumberRecoveryCapsules");
  *Count = Cpu_.ReadUint(Scratch_, 4, "scratch");
  return S;
}

EFI_STATUS PeiPlatform::GetRecoveryCapsuleInfo(uint64_t *Size, EFI_GUID *Type) {
  Cpu_.WriteUint(Scratch_, 0, 4, "scratch");
  std::vector<uint8_t> Zero(16, 0);
  Cpu_.Write(Scratch_ + 16, Zero.data(), 16, "scratch");
  const uint64_t S = Cpu_.Call(Member(1),
                               {{A::Natural, PeiServices_},
                                {A::Natural, RecoveryPpi()},
                                {A::Natural, 0},
                                {A::Natural, Scratch_},
                                {A::Natural, Scratch_ + 16}},
                               "GetRecoveryCapsuleInfo");
  *Size = Cpu_.ReadUint(Scratch_, 4, "scratch");
  Cpu_.Read(Scratch_ + 16, Type, 16, "scratch");
  return S;
}

EFI_STATUS PeiPlatform::LoadRecoveryCapsule(uint64_t Size, CapsuleBuffer *Out) {
  const uint64_t Mapped = RoundUpToPage(Size == 0 ? 1 : Size);
  const uint64_t Base =
      Cpu_.MapFresh(Mapped, kProtRead | kProtWrite, "capsule buffer");
  if (Base == 0)
    throw std::runtime_error(
        "no guest address space left for the capsule buffer");
  const uint64_t Buffer =
      Base + Mapped - Size;  // the guard page follows at once
  const uint64_t S = Cpu_.Call(Member(2),
                               {{A::Natural, PeiServices_},
                                {A::Natural, RecoveryPpi()},
                                {A::Natural, 0},
                                {A::Natural, Buffer}},
                               "LoadRecoveryCapsule");
  Out->GuestAddress = Buffer;
  Out->Size = Size;
  Out->Bytes = Cpu_.HostPointer(Base, Mapped, kProtRead) + (Mapped - Size);
  return S;
}

ContextView PeiPlatform::ReadContext() {
  using namespace ia32;
  const uint64_t Ctx = RecoveryPpi() - kContextRecoveryPpi;
  std::vector<uint8_t> B(kContextSize);
  Cpu_.Read(Ctx, B.data(), B.size(), "recovery context");
  auto U = [&](uint32_t Off, unsigned N) {
    uint64_t V = 0;
    for (unsigned I = 0; I < N; ++I)
      V |= static_cast<uint64_t>(B[Off + I]) << (8 * I);
    return V;
  };
  ContextView View;
  View.Signature = static_cast<uint32_t>(U(kContextSignature, 4));
  View.BlockDeviceCount = static_cast<uint32_t>(U(kContextBlockDeviceCount, 4));
  View.VolumeCount = static_cast<uint32_t>(U(kContextVolumeCount, 4));
  const uint32_t Rows =
      View.BlockDeviceCount < kMaxRows ? View.BlockDeviceCount : kMaxRows;
  for (uint32_t I = 0; I < Rows; ++I) {
    const uint32_t R = kContextBlockDevices + I * kRowSize;
    View.BlockDevices.push_back(
        {static_cast<uint32_t>(U(R + kRowBlockSize, 4)),
         U(R + kRowLastBlock, 8), U(R + kRowIsPartition, 1) != 0,
         U(R + kRowPartitionsScanned, 1) != 0, U(R + kRowStartOffset, 8),
         static_cast<uint32_t>(U(R + kRowParentIndex, 4))});
  }
  const uint32_t Volumes =
      View.VolumeCount < kMaxRows ? View.VolumeCount : kMaxRows;
  for (uint32_t I = 0; I < Volumes; ++I) {
    const uint32_t R = kContextVolumes + I * kVolumeSize;
    View.Volumes.push_back(
        {static_cast<uint32_t>(U(R, 4)), static_cast<uint32_t>(U(R + 4, 4))});
  }
  for (uint32_t I = 0; I < kMaxExtents; ++I) {
    const uint32_t E = kContextFileExtents + I * kExtentSize;
    const uint32_t Length = static_cast<uint32_t>(U(E + 8, 4));
    if (Length == 0) break;
    View.Extents.push_back({U(E, 8), Length});
  }
  return View;
}

}  // namespace emulator
