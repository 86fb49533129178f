// The emulated DXE platform; see DxePlatform.h.
#include "emulator/DxePlatform.h"

#include <cstring>

#include "efi/Dxe.h"
#include "host/dxe/HobList.h"
#include "record_publisher_dxe/RecordPublisherDxe.h"

namespace emulator {

namespace {

constexpr uint64_t kImageBase = 0x200000000ull;
// Handles are opaque: they lie in unmapped space, so using one as a pointer
// faults.
constexpr uint64_t kFirstHandle = 0x300001000ull;

const EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
const EFI_GUID kHobListGuid = EFI_HOB_LIST_GUID;
const EFI_GUID kRecordGuid = PUBLISHED_RECORD_PROTOCOL_GUID;
// Another configuration table entry ahead of the HOB list, so that the
// driver has to search: the ACPI 2.0 table's GUID.
const EFI_GUID kOtherTableGuid = {
    0x8868E871,
    0xE4F1,
    0x11D3,
    {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

using A = ArgType;

uint64_t Status64(host_dxe::ProtocolStatus S) {
  return host_dxe::EfiStatusOf(S, 64);
}

}  // namespace

std::vector<uint8_t> StandardHobList(std::optional<uint8_t> Flag) {
  host_dxe::HobListBuilder B;
  const EFI_GUID Other = {0x1B6E3E6E,
                          0x2C5B,
                          0x4C84,
                          {0x9A, 0x0C, 0x37, 0x52, 0x7D, 0x2E, 0x11, 0x40}};
  B.AddGuidHob(Other, std::vector<uint8_t>(40, 0x5A));
  if (Flag) B.AddRecordSourceHob(*Flag);
  B.AddEndOfList();
  return B.Bytes();
}

DxePlatform::DxePlatform(const PeImage &Image, const std::string &Name,
                         const Settings &S)
    : Cpu_(Arch::X64), Protocols_(kFirstHandle, 0x10) {
  if (Image.Machine != kMachineAmd64)
    throw std::runtime_error(Name + ": not an X64 (PE32+) image");
  Entry_ = Cpu_.LoadImage(Image, kImageBase, Name);
  Machine &M = Cpu_;

  // Boot services: every slot first reports an unsupported call.
  const uint64_t Bs = M.AllocData(sizeof(EFI_BOOT_SERVICES), 8);
  M.WriteUint(Bs, EFI_BOOT_SERVICES_SIGNATURE, 8, "boot services");
  M.WriteUint(Bs + 8, S.Revision, 4, "boot services");
  M.WriteUint(Bs + 12, sizeof(EFI_BOOT_SERVICES), 4, "boot services");
  for (uint64_t Off = sizeof(EFI_TABLE_HEADER); Off < sizeof(EFI_BOOT_SERVICES);
       Off += 8) {
    const std::string N = "boot service at offset " + std::to_string(Off);
    M.WritePointer(
        Bs + Off,
        M.AddService(N, {},
                     [N](Machine &, const std::vector<uint64_t> &) -> uint64_t {
                       throw GuestFault(
                           "the driver called the " + N +
                           ", which this platform does not provide");
                     }),
        "boot services");
  }
  const bool FailPool = S.FailAllocatePool, FailHandle = S.FailHandleProtocol;
  M.WritePointer(
      Bs + offsetof(EFI_BOOT_SERVICES, AllocatePool),
      M.AddService(
          "AllocatePool", {A::U32, A::Natural, A::Natural},
          [this, FailPool](Machine &C,
                           const std::vector<uint64_t> &V) -> uint64_t {
            Calls_.push_back("AllocatePool");
            if (FailPool) return EFI_OUT_OF_RESOURCES;
            const uint64_t P = C.MapFresh(V[1], kProtRead | kProtWrite, "pool");
            if (P == 0) return EFI_OUT_OF_RESOURCES;
            // The pool block ends where its page does, so an overrun faults.
            const uint64_t Block =
                P + RoundUpToPage(V[1] == 0 ? 1 : V[1]) - ((V[1] + 7) & ~7ull);
            C.WritePointer(V[2], Block, "AllocatePool Buffer");
            return EFI_SUCCESS;
          }),
      "boot services");
  M.WritePointer(
      Bs + offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface),
      M.AddService(
          "InstallProtocolInterface",
          {A::Natural, A::Natural, A::U32, A::Natural},
          [this](Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
            Calls_.push_back("InstallProtocolInterface");
            if (V[0] == 0 || V[1] == 0 || V[2] != EFI_NATIVE_INTERFACE)
              return EFI_INVALID_PARAMETER;
            uint64_t Handle =
                C.ReadPointer(V[0], "InstallProtocolInterface Handle");
            EFI_GUID G;
            C.Read(V[1], &G, 16, "InstallProtocolInterface Protocol");
            const host_dxe::ProtocolStatus R =
                Protocols_.Install(&Handle, G, V[3]);
            if (R == host_dxe::ProtocolStatus::Success)
              C.WritePointer(V[0], Handle, "InstallProtocolInterface Handle");
            return Status64(R);
          }),
      "boot services");
  M.WritePointer(
      Bs + offsetof(EFI_BOOT_SERVICES, HandleProtocol),
      M.AddService("HandleProtocol", {A::Natural, A::Natural, A::Natural},
                   [this, FailHandle](
                       Machine &C, const std::vector<uint64_t> &V) -> uint64_t {
                     Calls_.push_back("HandleProtocol");
                     if (FailHandle) return EFI_UNSUPPORTED;
                     if (V[1] == 0 || V[2] == 0) return EFI_INVALID_PARAMETER;
                     EFI_GUID G;
                     C.Read(V[1], &G, 16, "HandleProtocol Protocol");
                     uint64_t Interface = 0;
                     const host_dxe::ProtocolStatus R =
                         Protocols_.Lookup(V[0], G, &Interface);
                     if (R == host_dxe::ProtocolStatus::Success)
                       C.WritePointer(V[2], Interface,
                                      "HandleProtocol Interface");
                     return Status64(R);
                   }),
      "boot services");

  // Runtime services: the driver only records the table.
  const uint64_t Rs = M.AllocData(sizeof(EFI_RUNTIME_SERVICES), 8);
  M.WriteUint(Rs, EFI_RUNTIME_SERVICES_SIGNATURE, 8, "runtime services");
  M.WriteUint(Rs + 8, S.Revision, 4, "runtime services");
  M.WriteUint(Rs + 12, sizeof(EFI_RUNTIME_SERVICES), 4, "runtime services");
  for (uint64_t Off = sizeof(EFI_TABLE_HEADER);
       Off < sizeof(EFI_RUNTIME_SERVICES); Off += 8) {
    const std::string N = "runtime service at offset " + std::to_string(Off);
    M.WritePointer(
        Rs + Off,
        M.AddService(N, {},
                     [N](Machine &, const std::vector<uint64_t> &) -> uint64_t {
                       throw GuestFault(
                           "the driver called the " + N +
                           ", which this platform does not provide");
                     }),
        "runtime services");
  }

  // The HOB list in pages of its own, ending where its last page ends.
  uint64_t Hobs = 0;
  if (!S.HobList.empty()) {
    const uint64_t Base =
        M.MapFresh(S.HobList.size(), kProtRead | kProtWrite, "HOB list");
    Hobs = Base + RoundUpToPage(S.HobList.size()) -
           ((S.HobList.size() + 7) & ~7ull);
    M.Write(Hobs, S.HobList.data(), S.HobList.size(), "HOB list");
  }
  const uint64_t Config = M.AllocData(2 * sizeof(EFI_CONFIGURATION_TABLE), 8);
  M.Write(Config, &kOtherTableGuid, 16, "configuration table");
  M.WritePointer(Config + 16, M.AllocData(64, 8), "configuration table");
  M.Write(Config + 24, &kHobListGuid, 16, "configuration table");
  M.WritePointer(Config + 40, Hobs, "configuration table");

  const std::u16string Vendor = u"Emulated platform";
  const uint64_t VendorText =
      M.AllocBytes(Vendor.c_str(), (Vendor.size() + 1) * 2, 2);
  SystemTable_ = M.AllocData(sizeof(EFI_SYSTEM_TABLE), 8);
  M.WriteUint(SystemTable_, EFI_SYSTEM_TABLE_SIGNATURE, 8, "system table");
  M.WriteUint(SystemTable_ + 8, S.Revision, 4, "system table");
  M.WriteUint(SystemTable_ + 12, sizeof(EFI_SYSTEM_TABLE), 4, "system table");
  M.WritePointer(SystemTable_ + offsetof(EFI_SYSTEM_TABLE, FirmwareVendor),
                 VendorText, "system table");
  M.WriteUint(SystemTable_ + offsetof(EFI_SYSTEM_TABLE, FirmwareRevision),
              0x10000, 4, "system table");
  M.WritePointer(SystemTable_ + offsetof(EFI_SYSTEM_TABLE, RuntimeServices), Rs,
                 "system table");
  M.WritePointer(SystemTable_ + offsetof(EFI_SYSTEM_TABLE, BootServices), Bs,
                 "system table");
  M.WritePointer(
      SystemTable_ + offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries),
      Hobs ? 2 : 1, "system table");
  M.WritePointer(SystemTable_ + offsetof(EFI_SYSTEM_TABLE, ConfigurationTable),
                 Config, "system table");

  // The image handle with its loaded image protocol.
  ImageHandle_ = Protocols_.CreateHandle();
  LoadedImage_ = M.AllocData(sizeof(EFI_LOADED_IMAGE_PROTOCOL), 8);
  M.WriteUint(LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, Revision),
              EFI_LOADED_IMAGE_PROTOCOL_REVISION, 4, "loaded image");
  M.WritePointer(
      LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, SystemTable),
      SystemTable_, "loaded image");
  M.WritePointer(LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase),
                 kImageBase, "loaded image");
  M.WriteUint(LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize),
              Image.SizeOfImage, 8, "loaded image");
  M.WriteUint(LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType),
              EfiBootServicesCode, 4, "loaded image");
  M.WriteUint(LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageDataType),
              EfiBootServicesData, 4, "loaded image");
  uint64_t H = ImageHandle_;
  Protocols_.Install(&H, kLoadedImageGuid, LoadedImage_);
  if (S.PreinstalledRecord) {
    const uint64_t R = M.AllocBytes(S.PreinstalledRecord->data(),
                                    S.PreinstalledRecord->size(), 8);
    Protocols_.Install(&H, kRecordGuid, R);
  }
}

EFI_STATUS DxePlatform::RunEntryPoint() {
  return Cpu_.Call(Entry_,
                   {{A::Natural, ImageHandle_}, {A::Natural, SystemTable_}},
                   "DriverEntry");
}

std::optional<std::vector<uint8_t>> DxePlatform::InstalledRecord() {
  uint64_t Interface = 0;
  if (Protocols_.Lookup(ImageHandle_, kRecordGuid, &Interface) !=
      host_dxe::ProtocolStatus::Success)
    return std::nullopt;
  std::vector<uint8_t> Bytes(12);
  Cpu_.Read(Interface, Bytes.data(), 12, "PublishedRecord");
  return Bytes;
}

uint64_t DxePlatform::UnloadHandler() {
  return Cpu_.ReadPointer(
      LoadedImage_ + offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload),
      "loaded image");
}

EFI_STATUS DxePlatform::CallUnload() {
  return Cpu_.Call(UnloadHandler(), {{A::Natural, ImageHandle_}},
                   "DriverUnload");
}

}  // namespace emulator
