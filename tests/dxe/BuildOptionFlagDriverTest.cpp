// RecordPublisherDxe built with BuildOptionFlag 1: the unload handler is
// registered and the record carries the HOB's flag.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/dxe/DriverFixture.h"

using host_dxe::HobListBuilder;
using host_dxe::kRecordSourceHobDefaultLength;
using host_dxe::kRecordSourceHobFlagOffset;
using Calls = std::vector<std::string>;

static_assert(RequiredUefiRevision == 0 && BuildOptionFlag == 1,
              "linked with the BuildOptionFlag build");

using BuildOptionFlagDriver = DriverTest;

TEST_F(BuildOptionFlagDriver, RegistersUnloadThenPublishes) {
  Dxe.SetHobList(ListWithRecordSource(0x80));

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);

  EXPECT_EQ(Dxe.CallNames(),
            (Calls{"HandleProtocol", "AllocatePool", "InstallProtocolInterface"}));
  for (const host_dxe::ServiceCall &Call : Dxe.Calls()) {
    EXPECT_EQ(Call.Status, EFI_SUCCESS) << Call.Service;
  }
  EXPECT_EQ(InstalledRecord(), RecordWithFlag(1));
  ASSERT_EQ(Dxe.LoadedImage()->Unload, &DriverUnload);

  // Unloading succeeds and leaves the record installed.
  EXPECT_EQ(Dxe.LoadedImage()->Unload(Dxe.ImageHandle()), EFI_SUCCESS);
  EXPECT_EQ(InstalledRecord(), RecordWithFlag(1));
}

// A failing HandleProtocol: the entry point goes on and writes no unload
// handler, neither into the image's protocol nor through a pointer that a
// misbehaving core stored along with its error.
class BuildOptionFlagHandleProtocolFails
    : public DriverTest,
      public ::testing::WithParamInterface<bool> {};

TEST_P(BuildOptionFlagHandleProtocolFails, EntryGoesOnWithoutUnload) {
  const bool CoreStoresAPointer = GetParam();
  EFI_LOADED_IMAGE_PROTOCOL Decoy = {};
  Dxe.FailHandleProtocol(EFI_UNSUPPORTED,
                         CoreStoresAPointer ? &Decoy : nullptr);
  Dxe.SetHobList(ListWithRecordSource(1));

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);

  EXPECT_EQ(Dxe.CallNames(),
            (Calls{"HandleProtocol", "AllocatePool", "InstallProtocolInterface"}));
  EXPECT_EQ(Dxe.LoadedImage()->Unload, nullptr);
  EXPECT_EQ(Decoy.Unload, nullptr);
  EXPECT_EQ(InstalledRecord(), RecordWithFlag(1));
}

INSTANTIATE_TEST_SUITE_P(Cores, BuildOptionFlagHandleProtocolFails,
                         ::testing::Bool());

// The record's HobFlag for HOB lists given by Build.
struct FlagCase {
  const char *Name;
  void (*Build)(HobListBuilder &);
  uint8_t HobFlag;
};

class BuildOptionFlagRecord : public DriverTest,
                              public ::testing::WithParamInterface<FlagCase> {};

TEST_P(BuildOptionFlagRecord, CarriesTheFlagOfTheFirstRecordSourceHob) {
  HobListBuilder Hobs;
  GetParam().Build(Hobs);
  Dxe.SetHobList(Hobs.Bytes());

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(InstalledRecord(), RecordWithFlag(GetParam().HobFlag));
}

// Test names in listings carry the case's name rather than its bytes.
void PrintTo(const FlagCase &Case, std::ostream *Out) { *Out << Case.Name; }

// A HOB of another type laid out like a RecordSourceHob with flag 0x80.
std::vector<uint8_t> ImpostorBody() {
  std::vector<uint8_t> Body =
      host_dxe::GuidBytes(kRecordSourceHobGuid);
  Body.resize(kRecordSourceHobDefaultLength - 8, 0);
  Body[kRecordSourceHobFlagOffset - 8] = 0x80;
  return Body;
}

// A RecordSourceHob of Length bytes with flag 0x80 where it fits, followed by
// a HOB of 0xFF bytes: a flag read past a short HOB would find 0xFF or 0xFE.
void ShortHobThenFilledHob(HobListBuilder &Hobs, size_t Length) {
  Hobs.AddRecordSourceHob(0x80, Length)
      .AddHob(EFI_HOB_TYPE_UNUSED, std::vector<uint8_t>(0x480, 0xFF))
      .AddEndOfList();
}

INSTANTIATE_TEST_SUITE_P(
    Lists, BuildOptionFlagRecord,
    ::testing::Values(
        FlagCase{"FlagZero", [](HobListBuilder &H) { H.AddRecordSourceHob(0x00).AddEndOfList(); }, 0},
        FlagCase{"FlagOne", [](HobListBuilder &H) { H.AddRecordSourceHob(0x01).AddEndOfList(); }, 1},
        FlagCase{"Flag80", [](HobListBuilder &H) { H.AddRecordSourceHob(0x80).AddEndOfList(); }, 1},
        FlagCase{"FlagFF", [](HobListBuilder &H) { H.AddRecordSourceHob(0xFF).AddEndOfList(); }, 1},
        FlagCase{"FirstOfTwoIsClear",
                 [](HobListBuilder &H) {
                   H.AddRecordSourceHob(0x00).AddRecordSourceHob(0x80).AddEndOfList();
                 },
                 0},
        FlagCase{"FirstOfTwoIsSet",
                 [](HobListBuilder &H) {
                   H.AddRecordSourceHob(0x80).AddRecordSourceHob(0x00).AddEndOfList();
                 },
                 1},
        FlagCase{"HobOfAnotherTypeIsPassedOver",
                 [](HobListBuilder &H) {
                   H.AddHob(EFI_HOB_TYPE_MEMORY_ALLOCATION, ImpostorBody())
                       .AddRecordSourceHob(0x00)
                       .AddEndOfList();
                 },
                 0},
        FlagCase{"HobOfOnlyItsHeader",
                 [](HobListBuilder &H) { ShortHobThenFilledHob(H, 24); }, 0},
        FlagCase{"HobOneByteShortOfTheFlag",
                 [](HobListBuilder &H) { ShortHobThenFilledHob(H, 0x47A); }, 0},
        FlagCase{"HobJustHoldingTheFlag",
                 [](HobListBuilder &H) { ShortHobThenFilledHob(H, 0x47B); }, 1}),
    [](const ::testing::TestParamInfo<FlagCase> &Info) {
      return std::string(Info.param.Name);
    });
