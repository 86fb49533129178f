// The emulated DXE platform that runs the real RecordPublisherDxe image: a
// system table with boot services (AllocatePool, InstallProtocolInterface,
// HandleProtocol; every other slot reports an unsupported call), runtime
// services, a configuration table holding the HOB list, a loaded image
// protocol on the image handle and the protocol database. Everything the
// guest sees lies above 4 GiB, so a pointer truncated to 32 bits faults.
#ifndef EMULATOR_DXE_PLATFORM_H_
#define EMULATOR_DXE_PLATFORM_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "efi/Base.h"
#include "emulator/Machine.h"
#include "emulator/PeImage.h"
#include "host/dxe/ProtocolDatabase.h"

namespace emulator {

class DxePlatform {
 public:
  struct Settings {
    uint32_t Revision = (2u << 16) | 70;  // system table Hdr.Revision, 2.70
    std::vector<uint8_t> HobList;         // the HOB list's bytes
    bool FailAllocatePool = false;
    bool FailHandleProtocol = false;
    // A PublishedRecordProtocol interface (12 bytes) already on the image
    // handle before the driver runs.
    std::optional<std::vector<uint8_t>> PreinstalledRecord;
  };

  // Loads the image (throws std::runtime_error when it cannot) and builds
  // the tables.
  DxePlatform(const PeImage &Image, const std::string &Name, const Settings &S);

  Machine &Cpu() { return Cpu_; }
  host_dxe::ProtocolDatabase &Protocols() { return Protocols_; }
  uint64_t ImageHandle() const { return ImageHandle_; }

  // Calls the driver's entry point; returns its status.
  EFI_STATUS RunEntryPoint();
  // The 12 bytes of PublishedRecordProtocol on the image handle, if any.
  std::optional<std::vector<uint8_t>> InstalledRecord();
  // The Unload member of the image's loaded image protocol (0: none).
  uint64_t UnloadHandler();
  // Calls the unload handler with the image handle; returns its status.
  EFI_STATUS CallUnload();

  // Boot services calls made, by name, in order.
  const std::vector<std::string> &ServiceCalls() const { return Calls_; }

 private:
  Machine Cpu_;
  host_dxe::ProtocolDatabase Protocols_;
  uint64_t Entry_ = 0;
  uint64_t SystemTable_ = 0;
  uint64_t ImageHandle_ = 0;
  uint64_t LoadedImage_ = 0;
  std::vector<std::string> Calls_;
};

// The RecordSourceHob list the tool gives the driver: another GUID HOB, the
// RecordSourceHob with Flag (left out when Flag is empty), the end HOB.
std::vector<uint8_t> StandardHobList(std::optional<uint8_t> Flag);

}  // namespace emulator

#endif  // EMULATOR_DXE_PLATFORM_H_
