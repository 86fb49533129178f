// RecordPublisherDxe with the shipped settings (RequiredUefiRevision 0,
// BuildOptionFlag 0), run in the simulated DXE environment.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/dxe/DriverFixture.h"

using host_dxe::HobListBuilder;
using Calls = std::vector<std::string>;

static_assert(RequiredUefiRevision == 0 && BuildOptionFlag == 0,
              "linked with the shipped build");

namespace {

// kRecordSourceHobGuid with one bit changed in its first or its second half.
EFI_GUID NearMiss(bool SecondHalf) {
  EFI_GUID Guid = kRecordSourceHobGuid;
  if (SecondHalf) {
    Guid.Data4[7] ^= 1;
  } else {
    Guid.Data1 ^= 1;
  }
  return Guid;
}

EFI_GUID WithHobListGuidNearMiss(bool SecondHalf) {
  EFI_GUID Guid = kHobListGuid;
  if (SecondHalf) {
    Guid.Data4[7] ^= 1;
  } else {
    Guid.Data1 ^= 1;
  }
  return Guid;
}

}  // namespace

using ShippedDriver = DriverTest;

TEST_F(ShippedDriver, PublishesTwelveZeroBytesOnTheImageHandle) {
  void *List = Dxe.SetHobList(ListWithRecordSource(0));
  Dxe.SetRevision(0);  // the gate is off: any revision goes on

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);

  EXPECT_EQ(Dxe.CallNames(), (Calls{"AllocatePool", "InstallProtocolInterface"}));
  EXPECT_EQ(Dxe.Calls()[0].PoolType, EfiBootServicesData);
  EXPECT_EQ(Dxe.Calls()[0].PoolSize, 12u);
  EXPECT_EQ(Dxe.Calls()[1].Status, EFI_SUCCESS);
  EXPECT_EQ(InstalledRecord(), RecordWithFlag(0));
  EXPECT_EQ(DriverImageHandle, Dxe.ImageHandle());
  EXPECT_EQ(DriverSystemTable, Dxe.SystemTable());
  EXPECT_EQ(DriverBootServices, Dxe.BootServices());
  EXPECT_EQ(DriverRuntimeServices, Dxe.RuntimeServices());
  EXPECT_EQ(DriverHobList, List);
  EXPECT_EQ(Dxe.LoadedImage()->Unload, nullptr);
}

class ShippedDriverFlag : public DriverTest,
                          public ::testing::WithParamInterface<int> {};

TEST_P(ShippedDriverFlag, RecordIsZeroWhateverTheHobFlag) {
  Dxe.SetHobList(ListWithRecordSource(static_cast<uint8_t>(GetParam())));
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(InstalledRecord(), RecordWithFlag(0));
}

INSTANTIATE_TEST_SUITE_P(Flags, ShippedDriverFlag,
                         ::testing::Values(0x01, 0x80, 0xFF));

// The entry point's status and the services it called, for the ways the
// publication can end.
struct EntryCase {
  const char *Name;
  std::function<void(host_dxe::SimulatedDxe &)> Prepare;
  EFI_STATUS Status;
  Calls ServiceCalls;
  bool RecordInstalled;
};

class ShippedDriverEntry : public DriverTest,
                           public ::testing::WithParamInterface<EntryCase> {};

TEST_P(ShippedDriverEntry, ReturnsThePublicationStatus) {
  const EntryCase &Case = GetParam();
  Case.Prepare(Dxe);

  EXPECT_EQ(RunEntry(), Case.Status);

  EXPECT_EQ(Dxe.CallNames(), Case.ServiceCalls);
  EXPECT_EQ(!InstalledRecord().empty(), Case.RecordInstalled);
  // The start-up step ran in every case.
  EXPECT_EQ(DriverBootServices, Dxe.BootServices());
}

// Test names in listings carry the case's name rather than its bytes.
void PrintTo(const EntryCase &Case, std::ostream *Out) { *Out << Case.Name; }

const PublishedRecord kEarlierRecord = {0x11, 0x22, {0x33}};

INSTANTIATE_TEST_SUITE_P(
    Cases, ShippedDriverEntry,
    ::testing::Values(
        EntryCase{"NoHobListInTheConfigurationTable",
                  [](host_dxe::SimulatedDxe &) {}, EFI_NOT_FOUND, {}, false},
        EntryCase{"HobListWithoutTheRecordSourceHob",
                  [](host_dxe::SimulatedDxe &Dxe) {
                    Dxe.SetHobList(HobListBuilder().AddEndOfList().Bytes());
                  },
                  EFI_NOT_FOUND, {}, false},
        EntryCase{"PoolAllocationFails",
                  [](host_dxe::SimulatedDxe &Dxe) {
                    Dxe.SetHobList(
                        HobListBuilder().AddRecordSourceHob(0).AddEndOfList().Bytes());
                    Dxe.FailAllocatePool(true);
                  },
                  EFI_OUT_OF_RESOURCES, {"AllocatePool"}, false},
        EntryCase{"RecordAlreadyOnTheImageHandle",
                  [](host_dxe::SimulatedDxe &Dxe) {
                    Dxe.SetHobList(
                        HobListBuilder().AddRecordSourceHob(0).AddEndOfList().Bytes());
                    Dxe.Install(Dxe.ImageHandle(), kPublishedRecordProtocolGuid,
                                const_cast<PublishedRecord *>(&kEarlierRecord));
                  },
                  EFI_SUCCESS, {"AllocatePool", "InstallProtocolInterface"},
                  true}),
    [](const ::testing::TestParamInfo<EntryCase> &Info) {
      return std::string(Info.param.Name);
    });

TEST_F(ShippedDriver, SecondInstallationIsRefusedAndTheFirstRecordStays) {
  Dxe.SetHobList(HobListBuilder().AddRecordSourceHob(0).AddEndOfList().Bytes());
  Dxe.Install(Dxe.ImageHandle(), kPublishedRecordProtocolGuid,
              const_cast<PublishedRecord *>(&kEarlierRecord));

  EXPECT_EQ(RunEntry(), EFI_SUCCESS);

  ASSERT_EQ(Dxe.Calls().size(), 2u);
  EXPECT_EQ(Dxe.Calls()[1].Status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(Dxe.FindInterface(Dxe.ImageHandle(), kPublishedRecordProtocolGuid),
            &kEarlierRecord);
  EXPECT_EQ(Dxe.PoolAllocations(), 1u);  // allocated, never freed
}

TEST_F(ShippedDriver, ConfigurationTableFirstExactMatchWins) {
  const std::vector<uint8_t> WithHob =
      HobListBuilder().AddRecordSourceHob(0).AddEndOfList().Bytes();
  const std::vector<uint8_t> WithoutHob = HobListBuilder().AddEndOfList().Bytes();
  // GUIDs one bit away from the HOB list GUID, in either half, come first.
  Dxe.AddConfigurationTable(WithHobListGuidNearMiss(false), Dxe.StoreBytes(WithHob));
  Dxe.AddConfigurationTable(WithHobListGuidNearMiss(true), Dxe.StoreBytes(WithHob));
  void *First = Dxe.SetHobList(WithoutHob);
  Dxe.SetHobList(WithHob);

  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_EQ(DriverHobList, First);
  EXPECT_TRUE(Dxe.Calls().empty());
}

TEST_F(ShippedDriver, LookUpConfigurationTableMissLeavesNull) {
  DriverSystemTable = Dxe.SystemTable();
  Dxe.AddConfigurationTable(WithHobListGuidNearMiss(true), &Dxe);
  VOID *Table = &Dxe;
  EXPECT_EQ(LookUpConfigurationTable(&kHobListGuid, &Table), EFI_NOT_FOUND);
  EXPECT_EQ(Table, nullptr);
}

TEST(HobGuidsEqual, ComparesBothHalvesAtAnyAlignment) {
  uint8_t Bytes[2 * sizeof(EFI_GUID) + 3];
  for (bool SecondHalf : {false, true}) {
    const EFI_GUID Other = NearMiss(SecondHalf);
    std::memcpy(Bytes + 1, &kRecordSourceHobGuid, sizeof(EFI_GUID));
    std::memcpy(Bytes + 1 + sizeof(EFI_GUID) + 1, &Other, sizeof(EFI_GUID));
    EXPECT_TRUE(HobGuidsEqual(Bytes + 1, &kRecordSourceHobGuid));
    EXPECT_FALSE(HobGuidsEqual(Bytes + 1, Bytes + 2 + sizeof(EFI_GUID)))
        << "differs in the " << (SecondHalf ? "second" : "first") << " half";
  }
}

// HOB walks over well-formed and damaged lists: the status of the entry
// point, which is EFI_SUCCESS exactly when the walk found the HOB.
struct WalkCase {
  const char *Name;
  std::function<void(HobListBuilder &)> Build;
  EFI_STATUS Status;
};

class ShippedDriverHobWalk : public DriverTest,
                             public ::testing::WithParamInterface<WalkCase> {};

TEST_P(ShippedDriverHobWalk, FindsTheRecordSourceHobOrEnds) {
  HobListBuilder Hobs;
  GetParam().Build(Hobs);
  Dxe.SetHobList(Hobs.Bytes());
  EXPECT_EQ(RunEntry(), GetParam().Status);
}

void PrintTo(const WalkCase &Case, std::ostream *Out) { *Out << Case.Name; }

const std::vector<uint8_t> kGuidBody = host_dxe::GuidBytes(kRecordSourceHobGuid);

INSTANTIATE_TEST_SUITE_P(
    Lists, ShippedDriverHobWalk,
    ::testing::Values(
        WalkCase{"EndOfListFirst",
                 [](HobListBuilder &H) { H.AddEndOfList().AddRecordSourceHob(0); },
                 EFI_NOT_FOUND},
        WalkCase{"AfterOtherHobsOfOddLengths",
                 [](HobListBuilder &H) {
                   H.AddHob(EFI_HOB_TYPE_MEMORY_ALLOCATION, std::vector<uint8_t>(5))
                       .AddGuidHob(NearMiss(true), std::vector<uint8_t>(3))
                       .AddGuidHob(NearMiss(false), {})
                       .AddRecordSourceHob(0)
                       .AddEndOfList();
                 },
                 EFI_SUCCESS},
        // Bytes at offset 8 equal to the GUID do not make a GUID HOB.
        WalkCase{"GuidInAHobOfAnotherType",
                 [](HobListBuilder &H) {
                   H.AddHob(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, kGuidBody)
                       .AddHob(EFI_HOB_TYPE_UNUSED, kGuidBody)
                       .AddEndOfList();
                 },
                 EFI_NOT_FOUND},
        // Damaged lengths end the walk instead of stalling or running off.
        WalkCase{"FirstHobLengthZero",
                 [](HobListBuilder &H) {
                   H.AddHobWithLength(EFI_HOB_TYPE_HANDOFF, 0, std::vector<uint8_t>(8))
                       .AddRecordSourceHob(0)
                       .AddEndOfList();
                 },
                 EFI_NOT_FOUND},
        WalkCase{"LengthBelowTheHeader",
                 [](HobListBuilder &H) {
                   H.AddHob(EFI_HOB_TYPE_CPU, std::vector<uint8_t>(8))
                       .AddHobWithLength(EFI_HOB_TYPE_CPU, 7, {})
                       .AddRecordSourceHob(0)
                       .AddEndOfList();
                 },
                 EFI_NOT_FOUND},
        WalkCase{"RecordSourceHobWithLengthZero",
                 [](HobListBuilder &H) {
                   H.AddHobWithLength(EFI_HOB_TYPE_GUID_EXTENSION, 0, kGuidBody)
                       .AddEndOfList();
                 },
                 EFI_NOT_FOUND},
        // A GUID extension HOB of 16 bytes cannot hold its Name: the bytes
        // that would complete it belong to the next HOB (whose header is
        // then the GUID's second half, type 0x6797 and length 0x7E2F).
        WalkCase{"GuidHobShorterThanItsName",
                 [](HobListBuilder &H) {
                   H.AddHobWithLength(EFI_HOB_TYPE_GUID_EXTENSION, 16,
                                      std::vector<uint8_t>(kGuidBody.begin(),
                                                           kGuidBody.begin() + 8))
                       .AddRaw(std::vector<uint8_t>(kGuidBody.begin() + 8,
                                                    kGuidBody.end()))
                       .AddRaw(std::vector<uint8_t>(0x7E2F - 8, 0))
                       .AddEndOfList();
                 },
                 EFI_NOT_FOUND}),
    [](const ::testing::TestParamInfo<WalkCase> &Info) {
      return std::string(Info.param.Name);
    });
