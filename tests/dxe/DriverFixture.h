// Shared fixture of the driver tests: a fresh simulated DXE environment per
// test, the driver's module-level values cleared, and helpers that build HOB
// lists and read back what the driver installed.
#ifndef TESTS_DXE_DRIVER_FIXTURE_H_
#define TESTS_DXE_DRIVER_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/dxe/HobList.h"
#include "host/dxe/SimulatedDxe.h"
#include "record_publisher_dxe/RecordPublisherDxe.h"

inline const EFI_GUID kRecordSourceHobGuid = RECORD_SOURCE_HOB_GUID;
inline const EFI_GUID kPublishedRecordProtocolGuid =
    PUBLISHED_RECORD_PROTOCOL_GUID;
inline const EFI_GUID kHobListGuid = EFI_HOB_LIST_GUID;
inline const EFI_GUID kLoadedImageProtocolGuid =
    EFI_LOADED_IMAGE_PROTOCOL_GUID;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The values persist across tests in one program; start each test as a
    // freshly loaded image would.
    DriverImageHandle = nullptr;
    DriverSystemTable = nullptr;
    DriverBootServices = nullptr;
    DriverRuntimeServices = nullptr;
    DriverHobList = nullptr;
  }

  // The HOB list of a well-formed boot: a hand-off HOB, the RecordSourceHob
  // with Flag, the end of the list.
  static std::vector<uint8_t> ListWithRecordSource(uint8_t Flag) {
    host_dxe::HobListBuilder Hobs;
    Hobs.AddHob(EFI_HOB_TYPE_HANDOFF, std::vector<uint8_t>(48, 0))
        .AddRecordSourceHob(Flag)
        .AddEndOfList();
    return Hobs.Bytes();
  }

  EFI_STATUS RunEntry() {
    return DriverEntry(Dxe.ImageHandle(), Dxe.SystemTable());
  }

  // The record installed under PublishedRecordProtocol on the image handle,
  // or nothing.
  std::vector<uint8_t> InstalledRecord() const {
    const auto *Record = static_cast<const uint8_t *>(
        Dxe.FindInterface(Dxe.ImageHandle(), kPublishedRecordProtocolGuid));
    if (Record == nullptr) return {};
    return std::vector<uint8_t>(Record, Record + sizeof(PublishedRecord));
  }

  static std::vector<uint8_t> RecordWithFlag(uint8_t HobFlag) {
    std::vector<uint8_t> Record(sizeof(PublishedRecord), 0);
    Record[1] = HobFlag;
    return Record;
  }

  host_dxe::SimulatedDxe Dxe;
};

#endif  // TESTS_DXE_DRIVER_FIXTURE_H_
